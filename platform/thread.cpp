#include "platform/thread.h"

#include <atomic>

#include "platform/fail_countdown.h"

namespace platform {

namespace {
fail_countdown g_failing_starts;
std::atomic<int> g_running{0};
std::atomic<bool> g_measuring{false};
std::atomic<uint32_t> g_deepest{0};

constexpr unsigned char STACK_PATTERN = 0xA5;
// Left alone at the bottom of a stack: Windows keeps its last pages as the guard that turns an
// overflow into an exception, and they must not be touched.
constexpr uintptr_t STACK_FLOOR_MARGIN = 16 * 1024;
// Left alone below the filling function's own locals.
constexpr uintptr_t STACK_FILL_GAP = 256;

// Fills the stack from just below this frame down to the floor, byte after byte downwards: on
// Windows each page is touched right after the one above it, so the guard page lets the stack
// grow into it.
__attribute__((noinline)) void fill_stack(const stack_bounds& bounds) {
    volatile unsigned char here = 0;
    auto* next = reinterpret_cast<volatile unsigned char*>(reinterpret_cast<uintptr_t>(&here) -
                                                           STACK_FILL_GAP);
    auto* floor = reinterpret_cast<volatile unsigned char*>(bounds.low + STACK_FLOOR_MARGIN);
    while (next > floor)
        *--next = STACK_PATTERN;
}

// How far below the top of the stack the deepest byte that no longer holds the pattern lies.
uint32_t deepest_use(const stack_bounds& bounds) {
    auto* byte = reinterpret_cast<const volatile unsigned char*>(bounds.low + STACK_FLOOR_MARGIN);
    auto* top = reinterpret_cast<const volatile unsigned char*>(bounds.high);
    while (byte < top && *byte == STACK_PATTERN)
        ++byte;
    return static_cast<uint32_t>(bounds.high - reinterpret_cast<uintptr_t>(byte));
}

unsigned run_body_quietly(thread_body body, void* argument) {
    // The plug-in's code does not throw; should anything escape all the same, it ends this
    // thread quietly instead of the host's whole process.
    try {
        return body(argument);
    } catch (...) {
        return 0;
    }
}

void note_deepest(uint32_t depth) {
    uint32_t deepest = g_deepest.load();
    while (depth > deepest && !g_deepest.compare_exchange_weak(deepest, depth)) {
    }
}
}  // namespace

void thread_stack_measure(bool on) {
    g_deepest.store(0);
    g_measuring.store(on);
}

uint32_t thread_stack_deepest() {
    return g_deepest.load();
}

void thread_start_fail_next(int count) {
    g_failing_starts.arm(count);
}

int threads_running() {
    return g_running.load();
}

namespace detail {
// True when the test seam asks this start to fail.
bool thread_start_should_fail() {
    return g_failing_starts.take();
}

// Counted before the thread is created (and uncounted if that fails), so the thread can never
// be uncounted first.
void thread_counted() {
    g_running.fetch_add(1);
}
void thread_uncounted() {
    g_running.fetch_sub(1);
}

unsigned run_thread_body(thread_body body, void* argument, bool own_stack) {
    stack_bounds bounds;
    if (!own_stack || !g_measuring.load() || !thread_stack_bounds(&bounds))
        return run_body_quietly(body, argument);
    fill_stack(bounds);
    unsigned code = run_body_quietly(body, argument);
    note_deepest(deepest_use(bounds));
    return code;
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
