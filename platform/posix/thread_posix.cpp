#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/event.h"
#include "platform/thread.h"

namespace platform {

namespace detail {
bool thread_start_should_fail();
unsigned run_thread_body(thread_body body, void* argument, bool own_stack);
void thread_counted();
void thread_uncounted();
}  // namespace detail

namespace {

// One per thread, shared by the thread itself and every handle of it; the last to let go
// frees it.
struct thread_state {
    std::atomic<int> references{1};
    std::mutex lock;
    std::condition_variable ended_changed;
    bool ended = false;
    thread_body body = nullptr;
    void* argument = nullptr;
    bool own_stack = false;
};

void release_state(thread_state* state) {
    if (state->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete state;
}

void* thread_trampoline(void* parameter) {
    auto* state = static_cast<thread_state*>(parameter);
    detail::run_thread_body(state->body, state->argument, state->own_stack);
    detail::thread_uncounted();
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->ended = true;
    }
    state->ended_changed.notify_all();
    release_state(state);
    return nullptr;
}

template <typename Predicate>
bool wait_for_ms(std::unique_lock<std::mutex>& hold, std::condition_variable& changed, uint32_t ms,
                 Predicate done) {
    if (ms == WAIT_FOREVER) {
        changed.wait(hold, done);
        return true;
    }
    // A poll: a timed condition wait with a deadline already passed still costs system calls
    // and a trip through the scheduler, and the accept loop polls once per connection.
    if (ms == 0)
        return done();
    return changed.wait_for(hold, std::chrono::milliseconds(ms), done);
}

// Sanitizers make every frame several times larger than the measured product's: their builds
// keep the default stacks.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool STACK_SIZES_HONOURED = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool STACK_SIZES_HONOURED = false;
#else
constexpr bool STACK_SIZES_HONOURED = true;
#endif
#else
constexpr bool STACK_SIZES_HONOURED = true;
#endif

}  // namespace

thread_handle thread_start(thread_body body, void* argument, uint32_t stack_reservation) {
    if (detail::thread_start_should_fail()) {
        errno = EAGAIN;
        return thread_handle();
    }
    auto* state = new (std::nothrow) thread_state;
    if (!state)
        return thread_handle();
    state->body = body;
    state->argument = argument;
    state->references.store(2);  // the handle returned here and the thread
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stack_reservation != 0 && STACK_SIZES_HONOURED) {
        size_t size = stack_reservation;
        if (size < static_cast<size_t>(PTHREAD_STACK_MIN))
            size = PTHREAD_STACK_MIN;
        state->own_stack = pthread_attr_setstacksize(&attributes, size) == 0;
    }
    pthread_t id;
    detail::thread_counted();
    int error = pthread_create(&id, &attributes, thread_trampoline, state);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        detail::thread_uncounted();
        delete state;
        errno = error;
        return thread_handle();
    }
    return thread_handle(state);
}

thread_handle thread_handle::duplicate() const {
    if (!raw_)
        return thread_handle();
    static_cast<thread_state*>(raw_)->references.fetch_add(1, std::memory_order_relaxed);
    return thread_handle(raw_);
}

bool thread_handle::wait(uint32_t ms) const {
    if (!raw_)
        return false;
    auto* state = static_cast<thread_state*>(raw_);
    std::unique_lock<std::mutex> hold(state->lock);
    return wait_for_ms(hold, state->ended_changed, ms, [state] { return state->ended; });
}

void thread_handle::close() {
    if (raw_)
        release_state(static_cast<thread_state*>(release()));
}

bool thread_stack_bounds(stack_bounds* bounds) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return false;
    void* low = nullptr;
    size_t size = 0;
    bool known = pthread_attr_getstack(&attributes, &low, &size) == 0;
    pthread_attr_destroy(&attributes);
    bounds->low = reinterpret_cast<uintptr_t>(low);
    bounds->high = bounds->low + size;
    return known && size > 0;
}

uint32_t last_system_error() {
    return static_cast<uint32_t>(errno);
}

void sleep_ms(uint32_t ms) {
    timespec delay{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

namespace {
struct event_state {
    std::mutex lock;
    std::condition_variable changed;
    bool is_set = false;
    int waiters = 0;
};
}  // namespace

manual_event::manual_event(bool initially_set) {
    auto* state = new (std::nothrow) event_state;
    if (state)
        state->is_set = initially_set;
    raw_ = state;
}

manual_event::~manual_event() {
    delete static_cast<event_state*>(raw_);
}

void manual_event::set() {
    auto* state = static_cast<event_state*>(raw_);
    if (!state)
        return;
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->is_set = true;
    }
    state->changed.notify_all();
}

void manual_event::reset() {
    auto* state = static_cast<event_state*>(raw_);
    if (!state)
        return;
    std::lock_guard<std::mutex> hold(state->lock);
    state->is_set = false;
}

bool manual_event::wait(uint32_t ms) {
    auto* state = static_cast<event_state*>(raw_);
    if (!state)
        return true;
    std::unique_lock<std::mutex> hold(state->lock);
    ++state->waiters;  // seen by others only while the lock is let go: asleep
    bool set = wait_for_ms(hold, state->changed, ms, [state] { return state->is_set; });
    --state->waiters;
    return set;
}

int manual_event::waiters() {
    auto* state = static_cast<event_state*>(raw_);
    if (!state)
        return 0;
    std::lock_guard<std::mutex> hold(state->lock);
    return state->waiters;
}

}  // namespace platform
