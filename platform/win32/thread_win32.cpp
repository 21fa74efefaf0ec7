#include <windows.h>

#include <cstddef>
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

struct thread_start_block {
    thread_body body;
    void* argument;
    HMODULE module;  // the reference this thread holds on the plug-in's module
    bool own_stack;  // started with a stack reservation of its own
};

DWORD WINAPI thread_trampoline(LPVOID parameter) {
    thread_start_block block = *static_cast<thread_start_block*>(parameter);
    delete static_cast<thread_start_block*>(parameter);
    unsigned code = detail::run_thread_body(block.body, block.argument, block.own_stack);
    detail::thread_uncounted();
    // Ends the thread and drops its module reference in one step, so the code that runs
    // after the release is not in the module any more.
    FreeLibraryAndExitThread(block.module, code);
    return code;
}

}  // namespace

thread_handle thread_start(thread_body body, void* argument, uint32_t stack_reservation) {
    if (detail::thread_start_should_fail()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return thread_handle();
    }
    auto* block =
        new (std::nothrow) thread_start_block{body, argument, nullptr, stack_reservation != 0};
    if (!block)
        return thread_handle();
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&thread_trampoline), &block->module)) {
        delete block;
        return thread_handle();
    }
    detail::thread_counted();
    // A reservation, not a commit: the stack costs address space only, and memory only as
    // far as the thread really goes down.
    HANDLE handle =
        CreateThread(nullptr, stack_reservation, thread_trampoline, block,
                     stack_reservation != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
    if (!handle) {
        DWORD error = GetLastError();
        detail::thread_uncounted();
        FreeLibrary(block->module);
        delete block;
        SetLastError(error);
        return thread_handle();
    }
    return thread_handle(handle);
}

thread_handle thread_handle::duplicate() const {
    if (!raw_)
        return thread_handle();
    HANDLE copy = nullptr;
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, static_cast<HANDLE>(raw_), self, &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return thread_handle();
    }
    return thread_handle(copy);
}

bool thread_handle::wait(uint32_t ms) const {
    if (!raw_)
        return false;
    return WaitForSingleObject(static_cast<HANDLE>(raw_), ms) == WAIT_OBJECT_0;
}

void thread_handle::close() {
    if (raw_)
        CloseHandle(static_cast<HANDLE>(release()));
}

bool thread_stack_bounds(stack_bounds* bounds) {
    // The top is the StackBase of the thread's information block, which FS points to on
    // 32-bit Windows; the bottom is where the reservation that holds the stack begins (the
    // block's StackLimit only says how far it is committed yet).
    static_assert(offsetof(NT_TIB, StackBase) == 4, "the 32-bit thread information block");
    uintptr_t top;
    asm("movl %%fs:4, %0" : "=r"(top));
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(&region, &region, sizeof region) != sizeof region)
        return false;
    bounds->low = reinterpret_cast<uintptr_t>(region.AllocationBase);
    bounds->high = top;
    return bounds->low < bounds->high;
}

uint32_t last_system_error() {
    return GetLastError();
}

void sleep_ms(uint32_t ms) {
    Sleep(ms);
}

// The event lives in the process: a slim lock, a condition variable and a flag. Setting,
// resetting and polling it then need no trip into the kernel (under Wine, no round trip to
// its server), which the accept loop and the connection table do for every connection.
namespace {
struct event_state {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
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
    AcquireSRWLockExclusive(&state->lock);
    state->is_set = true;
    ReleaseSRWLockExclusive(&state->lock);
    WakeAllConditionVariable(&state->changed);
}

void manual_event::reset() {
    auto* state = static_cast<event_state*>(raw_);
    if (!state)
        return;
    AcquireSRWLockExclusive(&state->lock);
    state->is_set = false;
    ReleaseSRWLockExclusive(&state->lock);
}

bool manual_event::wait(uint32_t ms) {
    auto* state = static_cast<event_state*>(raw_);
    if (!state)
        return true;
    ULONGLONG deadline = GetTickCount64() + ms;
    AcquireSRWLockExclusive(&state->lock);
    ++state->waiters;  // seen by others only while the lock is let go: asleep
    while (!state->is_set && ms != 0) {
        DWORD slice = INFINITE;
        if (ms != WAIT_FOREVER) {
            ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                break;
            slice = static_cast<DWORD>(deadline - now);
        }
        SleepConditionVariableSRW(&state->changed, &state->lock, slice, 0);
    }
    --state->waiters;
    bool result = state->is_set;
    ReleaseSRWLockExclusive(&state->lock);
    return result;
}

int manual_event::waiters() {
    auto* state = static_cast<event_state*>(raw_);
    if (!state)
        return 0;
    AcquireSRWLockShared(&state->lock);
    int count = state->waiters;
    ReleaseSRWLockShared(&state->lock);
    return count;
}

}  // namespace platform
