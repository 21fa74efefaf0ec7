#include "platform/net.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<int> g_fail_countdown{-1};
thread_local bool t_exempt = false;
std::atomic<net_close_hook> g_close_hook{nullptr};
std::atomic<net_wake_hook> g_wake_hook{nullptr};
std::atomic<int> g_library_uses{0};
}  // namespace

int net_library_uses() {
    return g_library_uses.load();
}

void net_fail_after(int n) {
    g_fail_countdown.store(n < 0 ? -1 : n);
}

bool net_fail_pending() {
    return g_fail_countdown.load() >= 0;
}

void net_fail_exempt_this_thread(bool exempt) {
    t_exempt = exempt;
}

void net_set_close_hook(net_close_hook hook) {
    g_close_hook.store(hook, std::memory_order_release);
}

void net_set_wake_hook(net_wake_hook hook) {
    g_wake_hook.store(hook, std::memory_order_release);
}

namespace detail {

bool net_should_fail() {
    if (t_exempt)
        return false;
    int pending = g_fail_countdown.load(std::memory_order_relaxed);
    while (pending >= 0) {
        if (g_fail_countdown.compare_exchange_weak(pending, pending - 1))
            return pending == 0;
    }
    return false;
}

void net_library_started() {
    g_library_uses.fetch_add(1);
}

void net_library_ended() {
    g_library_uses.fetch_sub(1);
}

void net_closing(socket_handle socket) {
    net_close_hook hook = g_close_hook.load(std::memory_order_acquire);
    if (hook)
        hook(socket);
}

bool net_waking(socket_handle socket) {
    net_wake_hook hook = g_wake_hook.load(std::memory_order_acquire);
    return !hook || hook(socket);
}

}  // namespace detail

}  // namespace platform
