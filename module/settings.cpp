#include "module/settings.h"

#include <memory>
#include <mutex>
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
    *out = *g_password;
    return true;
}

void settings_password_set(const std::string& text) {
    auto replacement = std::make_unique<const std::string>(text);
    std::unique_ptr<const std::string> old;
    {
        std::lock_guard<std::mutex> hold(g_password_lock);
        old = std::exchange(g_password, std::move(replacement));
    }
}

void settings_password_forget() {
    std::unique_ptr<const std::string> old;
    std::lock_guard<std::mutex> hold(g_password_lock);
    old = std::move(g_password);
}
