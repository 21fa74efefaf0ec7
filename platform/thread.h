// Threads of the plug-in.
//
// thread_start() runs body(argument) on a new thread and returns the one owning handle of
// it, or an empty handle when the thread cannot be created (then body never runs and the
// argument stays the caller's). On Windows every such thread holds a reference on the module
// that contains the plug-in until it has ended, so the host may unload the DLL right after
// qvl_close even while a thread it could not wait for is still finishing.
//
// thread_handle owns one handle: it is closed by close() or the destructor, exactly once.
// duplicate() gives a second, independent handle of the same thread, so a waiter can keep
// its own handle valid while the first one is closed by somebody else.
// wait(ms) returns true when the thread has ended within ms milliseconds (WAIT_FOREVER: no
// limit). Any thread may wait; one handle must not be closed while another thread waits on it.
//
// Nothing escapes a thread body: an exception that would is caught where the thread starts
// and ends the thread quietly.
//
// stack_reservation, when not 0, is the address space reserved for the new thread's stack in
// bytes: on Windows a reservation that is committed only as the stack grows (the system rounds
// it up to its allocation granularity, and Wine to at least 1 MiB); natively the thread's
// stack size, at least the system's minimum. Sanitizer builds keep the default, as their
// instrumentation makes every frame several times larger. 0 is the platform's default (the
// host program's on Windows).
//
// Tests can make thread creation fail: thread_start_fail_next(n) makes the next n starts fail.
// threads_running() counts the threads thread_start has started whose body has not returned
// yet, so a test can wait for every thread of a stop to end instead of guessing a pause.
//
// thread_stack_bounds() gives the calling thread's whole stack reservation, from its lowest
// address to the address just above its highest (the top, where the stack starts): on
// Windows from the thread's information block and the reservation's allocation base. false
// when the platform cannot tell.
//
// Stack measurement, for tests: while thread_stack_measure(true) holds, every thread started
// with a stack reservation fills the untouched part of its stack with a pattern before its
// body runs and, when the body has returned, finds the deepest byte that was overwritten;
// thread_stack_deepest() is the deepest use so far in bytes below the top of the stack (0
// when nothing was measured, as in a build that keeps default stacks). Switching on starts
// afresh.
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t WAIT_FOREVER = 0xFFFFFFFFu;

using thread_body = unsigned (*)(void* argument);

class thread_handle {
  public:
    thread_handle() = default;
    explicit thread_handle(void* raw) : raw_(raw) {}
    thread_handle(const thread_handle&) = delete;
    thread_handle& operator=(const thread_handle&) = delete;
    thread_handle(thread_handle&& other) noexcept : raw_(other.release()) {}
    thread_handle& operator=(thread_handle&& other) noexcept;
    ~thread_handle() { close(); }

    explicit operator bool() const { return raw_ != nullptr; }
    thread_handle duplicate() const;
    bool wait(uint32_t ms) const;
    void close();
    void* release() {
        void* raw = raw_;
        raw_ = nullptr;
        return raw;
    }

  private:
    void* raw_ = nullptr;
};

thread_handle thread_start(thread_body body, void* argument, uint32_t stack_reservation = 0);

// The system's last error code of the calling thread (GetLastError on Windows, errno here).
uint32_t last_system_error();

void thread_start_fail_next(int count);
int threads_running();

struct stack_bounds {
    uintptr_t low = 0;
    uintptr_t high = 0;
};
bool thread_stack_bounds(stack_bounds* bounds);

void thread_stack_measure(bool on);
uint32_t thread_stack_deepest();

// Sleep the calling thread.
void sleep_ms(uint32_t ms);

}  // namespace platform
