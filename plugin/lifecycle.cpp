// The life-cycle entry points through which the host drives the plug-in.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "access/access_list.h"
#include "dialogs/learn_dialog.h"
#include "dialogs/settings_dialog.h"
#include "module/host_record.h"
#include "module/settings.h"
#include "plugin/entry_points.h"
#include "server/listener.h"
#include "server/login_cookies.h"
#include "settings/settings_store.h"

namespace {
// True exactly while the listener runs on behalf of qvl_start. The host's threads call the
// life-cycle entry points one at a time.
std::atomic<bool> g_server_running{false};

constexpr int32_t INFO_CLOSE_SETTINGS_DIALOG = 4;

// The used login cookies outlive the host's process in the registry, so that a login recorded
// before a restart of the host is not replayed after it.
void restore_used_cookies() {
    std::unique_ptr<uint16_t[]> cookies(new (std::nothrow) uint16_t[USED_COOKIES_REMEMBERED]);
    if (cookies)
        used_cookies_restore(cookies.get(),
                             used_cookies_load(cookies.get(), USED_COOKIES_REMEMBERED));
}

// A memory that holds nothing has learnt nothing since the load: written, it would only wipe
// what is stored (a close after a refused open, say).
void keep_used_cookies() {
    std::unique_ptr<uint16_t[]> cookies(new (std::nothrow) uint16_t[USED_COOKIES_REMEMBERED]);
    uint32_t count = cookies ? used_cookies_export(cookies.get(), USED_COOKIES_REMEMBERED) : 0;
    if (count != 0)
        used_cookies_save(cookies.get(), count);
}
}  // namespace

extern "C" {

int32_t QVL_STDCALL qvl_open(int32_t, int32_t, int32_t, const void* host_record) {
    if (!host_record_store(host_record))
        return 0;
    settings_load();
    restore_used_cookies();
    return 1;
}

int32_t QVL_STDCALL qvl_start() {
    if (g_server_running.load())
        return 1;
    bool started = server_start(settings.port.load()) == 1;
    g_server_running.store(started);
    return started ? 1 : 0;
}

int32_t QVL_STDCALL qvl_stop() {
    if (g_server_running.load()) {
        server_stop();
        g_server_running.store(false);
        keep_used_cookies();
    }
    return 1;
}

int32_t QVL_STDCALL qvl_close() {
    settings_dialog_close();
    learn_dialog_close();
    if (g_server_running.load())
        qvl_stop();  // keeps the used cookies
    else
        keep_used_cookies();
    access_list_clear();
    return 1;
}

int32_t QVL_STDCALL qvl_info(int32_t code, int32_t, int32_t) {
    if (code == INFO_CLOSE_SETTINGS_DIALOG)
        settings_dialog_close();
    return 1;
}

int32_t QVL_STDCALL qvl_config() {
    return settings_dialog_open();
}

int32_t QVL_STDCALL qvl_learn_event(const char* current, char* out, int32_t size) {
    char title[TRANSLATED_TEXT_MAX];
    char prompt[TRANSLATED_TEXT_MAX];
    host_translate_label("Enter EventString", title);
    host_translate_label("Enter the eventstring that you will send over the Internet", prompt);
    learn_text result = learn_dialog_run(title, prompt, current ? current : "");
    if (!result)
        return 0;
    if (size > 0)
        std::strncpy(out, result.get(), static_cast<size_t>(size));
    return 1;
}
}
