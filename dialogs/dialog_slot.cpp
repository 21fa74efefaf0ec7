#include "dialogs/dialog_slot.h"

#include <chrono>
#include <utility>

dialog_slot::open_claim dialog_slot::open(const open_request& request) {
    platform::thread_handle ended_thread;  // released after the lock
    std::unique_lock<std::mutex> hold(lock_);
    if ((window_.load() || starting_) && (ending_ || close_requested_)) {
        // The dialog is on its way out: let its run end, then decide, unless a close came.
        uint64_t run = run_;
        uint64_t closes = closes_;
        ++waiting_for_end_;
        run_ended_.wait_for(hold, std::chrono::milliseconds(ENDING_WAIT_MS),
                            [&] { return ended_run_ >= run || closes_ != closes; });
        --waiting_for_end_;
        if (closes_ != closes)
            return {open_state::closed, nullptr};
    }
    open_state state = open_state::open;
    if (!window_.load() && starting_) {
        state = open_state::starting;
    } else if (!window_.load()) {
        platform::thread_handle thread = platform::thread_start(request.body, request.argument);
        if (!thread)
            return {open_state::failed, nullptr};
        ended_thread = std::exchange(thread_, std::move(thread));
        starting_ = true;
        ending_ = false;
        close_requested_ = false;
        ++run_;
        state = open_state::started;
    }
    if (waiter* caller = request.caller) {
        caller->registered_ = true;
        caller->run_ = run_;
        caller->next_ = waiters_;
        waiters_ = caller;
    }
    if (request.store)
        request.store(request.context);
    return {state, window_.load()};
}

dialog_slot::result_text dialog_slot::wait_result(waiter& caller) {
    platform::thread_handle ended_thread;  // released after the lock
    std::unique_lock<std::mutex> hold(lock_);
    if (!caller.registered_)
        return result_text();
    run_ended_.wait(hold, [&] { return caller.done_; });
    caller.registered_ = false;
    if (caller.run_ == run_)
        ended_thread = std::move(thread_);
    return std::move(caller.result_);
}

bool dialog_slot::record_window(void* window) {
    std::lock_guard<std::mutex> hold(lock_);
    if (close_requested_)
        return false;
    window_.store(window);
    starting_ = false;
    ending_ = false;
    return true;
}

void dialog_slot::set_result(result_text result) {
    std::lock_guard<std::mutex> hold(lock_);
    std::swap(result_, result);  // the old one is released after the lock
}

void dialog_slot::mark_ending() {
    std::lock_guard<std::mutex> hold(lock_);
    if (window_.load())
        ending_ = true;
}

void dialog_slot::ended() {
    result_text unclaimed;  // released after the lock
    {
        std::lock_guard<std::mutex> hold(lock_);
        window_.store(nullptr);
        starting_ = false;
        ending_ = false;
        close_requested_ = false;
        ended_run_ = run_;
        waiter* opener = nullptr;
        for (waiter* each = waiters_; each; each = each->next_) {
            each->done_ = true;
            opener = each;
        }
        waiters_ = nullptr;
        if (opener)
            opener->result_ = std::move(result_);
        else
            unclaimed = std::move(result_);
        // Under the lock: a waiter returns only after this, so the slot may be gone (the
        // program ending) once a waiter has its result.
        run_ended_.notify_all();
    }
}

dialog_slot::close_claim dialog_slot::begin_close(bool take_thread) {
    std::lock_guard<std::mutex> hold(lock_);
    void* window = window_.load();
    bool active = window || starting_;
    if (!window && starting_)
        close_requested_ = true;
    ++closes_;
    run_ended_.notify_all();  // open requests waiting for an ending run give up
    platform::thread_handle thread;
    if (take_thread)
        thread = std::move(thread_);
    return {window, std::move(thread), active, run_};
}

bool dialog_slot::wait_ended(uint64_t run, uint32_t ms) {
    std::unique_lock<std::mutex> hold(lock_);
    return run_ended_.wait_for(hold, std::chrono::milliseconds(ms),
                               [&] { return ended_run_ >= run; });
}

bool dialog_slot::start_up_closed() {
    std::lock_guard<std::mutex> hold(lock_);
    return close_requested_;
}

int dialog_slot::requests_waiting_for_end() {
    std::lock_guard<std::mutex> hold(lock_);
    return waiting_for_end_;
}
