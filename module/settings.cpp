#include "module/settings.h"

#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "platform/fail_countdown.h"

settings_values settings;

namespace {
std::mutex g_password_lock;
std::unique_ptr<const std::string> g_password;  // null: no text yet
// Counts the changes of the password in force; read without the lock by those that only
// compare it.
std::atomic<uint32_t> g_password_generation{0};
platform::fail_countdown g_failing_sets;
}  // namespace

bool settings_password_copy(std::string* out, uint32_t* generation) {
    std::lock_guard<std::mutex> hold(g_password_lock);
    if (generation)
        *generation = g_password_generation.load(std::memory_order_relaxed);
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
        if (g_failing_sets.take())
            throw std::bad_alloc();
        replacement = std::make_unique<const std::string>(text ? text : "");
    } catch (const std::bad_alloc&) {
        // The password in force stays; the caller reports that the new one was not taken.
        return false;
    }
    std::unique_ptr<const std::string> old;
    {
        std::lock_guard<std::mutex> hold(g_password_lock);
        if (!g_password || *g_password != *replacement)
            g_password_generation.fetch_add(1, std::memory_order_release);
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
    if (g_password)
        g_password_generation.fetch_add(1, std::memory_order_release);
    old = std::move(g_password);
}

uint32_t settings_password_generation() {
    return g_password_generation.load(std::memory_order_acquire);
}

void settings_password_fail_next_sets(int count) {
    g_failing_sets.arm(count);
}
