#include "dialogs/dialog_slot.h"

#include <utility>

dialog_slot::open_claim dialog_slot::open(platform::thread_body body, void* argument) {
    bool waited = false;
    for (;;) {
        platform::thread_handle ending_thread;
        {
            platform::thread_handle ended_thread;  // released after the lock
            std::lock_guard<std::mutex> hold(lock_);
            void* window = window_.load();
            if (window && (!ending_ || waited))
                return {open_state::open, window, thread_.duplicate(), run_};
            if (window) {
                ending_thread = thread_.duplicate();
            } else if (starting_) {
                return {open_state::starting, nullptr, thread_.duplicate(), run_};
            } else {
                platform::thread_handle thread = platform::thread_start(body, argument);
                bool ok = static_cast<bool>(thread);
                ended_thread = std::exchange(thread_, std::move(thread));
                starting_ = ok;
                close_requested_ = false;
                ++run_;
                result_claimed_ = false;
                return {ok ? open_state::started : open_state::failed, nullptr, thread_.duplicate(),
                        run_};
            }
        }
        // The dialog is on its way out: let its thread finish, then look again (once).
        ending_thread.wait(ENDING_WAIT_MS);
        waited = true;
    }
}

void dialog_slot::mark_ending() {
    std::lock_guard<std::mutex> hold(lock_);
    if (window_.load())
        ending_ = true;
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

void dialog_slot::ended() {
    std::lock_guard<std::mutex> hold(lock_);
    window_.store(nullptr);
    starting_ = false;
    ending_ = false;
    close_requested_ = false;
}

dialog_slot::close_claim dialog_slot::begin_close(bool take_thread) {
    std::lock_guard<std::mutex> hold(lock_);
    void* window = window_.load();
    bool active = window || starting_;
    if (!window && starting_)
        close_requested_ = true;
    if (take_thread)
        return {window, std::move(thread_)};
    return {window, active ? thread_.duplicate() : platform::thread_handle()};
}

bool dialog_slot::claim_result(uint64_t run) {
    platform::thread_handle released;
    std::lock_guard<std::mutex> hold(lock_);
    if (run != run_ || result_claimed_)
        return false;
    result_claimed_ = true;
    released = std::move(thread_);
    return true;
}
