#include "platform/thread.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<int> g_fail_next{0};
std::atomic<int> g_running{0};
}  // namespace

void thread_start_fail_next(int count) {
    g_fail_next.store(count);
}

int threads_running() {
    return g_running.load();
}

namespace detail {
// True when the test seam asks this start to fail.
bool thread_start_should_fail() {
    int pending = g_fail_next.load();
    while (pending > 0) {
        if (g_fail_next.compare_exchange_weak(pending, pending - 1))
            return true;
    }
    return false;
}

// Counted before the thread is created (and uncounted if that fails), so the thread can never
// be uncounted first.
void thread_counted() {
    g_running.fetch_add(1);
}
void thread_uncounted() {
    g_running.fetch_sub(1);
}

unsigned run_thread_body(thread_body body, void* argument) {
    // The plug-in's code does not throw; should anything escape all the same, it ends this
    // thread quietly instead of the host's whole process.
    try {
        return body(argument);
    } catch (...) {
        return 0;
    }
}

}  // namespace detail

thread_handle& thread_handle::operator=(thread_handle&& other) noexcept {
    if (this != &other) {
        close();
        raw_ = other.release();
    }
    return *this;
}

}  // namespace platform
