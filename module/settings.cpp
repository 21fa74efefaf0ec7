#include "module/settings.h"

#include <memory>
#include <mutex>
#include <new>
#include <utility>

settings_values settings;

namespace {
std::mutex g_password_lock;
std::unique_ptr<const std::string> g_password;  // null: no text yet
}  // namespace

bool settings_password_copy(std::string* out) {
    std::lock_guard<std::mutex> hold(g_password_lock);
    if (!g_password)
        return false;
    try {
        *out = *g_password;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool settings_password_set(const char* text) {
    std::unique_ptr<const std::string> replacement;
    try {
        replacement = std::make_unique<const std::string>(text ? text : "");
    } catch (const std::bad_alloc&) {
        // Without memory for the new text there is no password at all rather than a stale
        // one: every login is refused until a password can be stored.
        settings_password_forget();
        return false;
    }
    std::unique_ptr<const std::string> old;
    {
        std::lock_guard<std::mutex> hold(g_password_lock);
        old = std::exchange(g_password, std::move(replacement));
    }
    return true;
}

bool settings_password_set(const std::string& text) {
    return settings_password_set(text.c_str());
}

void settings_password_forget() {
    std::unique_ptr<const std::string> old;
    std::lock_guard<std::mutex> hold(g_password_lock);
    old = std::move(g_password);
}
