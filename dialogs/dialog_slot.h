// The one dialog of a kind: its thread, its window while it exists, and who may wait for it.
//
// At most one dialog of a kind exists. A slot is Closed, Starting (a thread was started but
// its dialog has not recorded its window yet), or Open (window recorded). Its lock is held
// only to read or change these fields and to start a thread, never while a window is sent to
// or a thread waited for, so the dialog thread may take it at any time.
//
// Ending: once the dialog's window is being destroyed (mark_ending, on the dialog thread) and
// until its thread has cleared the record, the dialog is on its way out. An open request then
// waits (up to ENDING_WAIT_MS) for that thread to end and starts a new dialog, instead of
// bringing a dying window to the front and showing nothing.
//
// Start-up: an open request during Starting does not start a second thread (open says
// `starting`). A close request during Starting marks the start-up closed: the dialog then
// declines to record its window (record_window answers false) and ends at once, and the
// closer waits for its thread as for an open dialog. So a close never leaves a dialog behind.
//
// Thread handles: the slot owns the handle of the most recent dialog thread until someone
// takes it (begin_close, claim_result) or a new start replaces it; an ended thread's handle
// is therefore released at the latest by the next open or close. A waiter never waits on the
// slot's handle itself but on a duplicate of its own (open_claim::waiter), which stays valid
// however the slot's handle is released meanwhile.
//
// Any thread may call any function.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/thread.h"

class dialog_slot {
  public:
    static constexpr uint32_t ENDING_WAIT_MS = 4000;

    enum class open_state {
        open,      // a dialog is open: bring `window` to the front
        starting,  // a dialog thread is starting: it will show the dialog
        started,   // a new dialog thread was started
        failed     // the thread could not be started; no dialog exists
    };
    struct open_claim {
        open_state state;
        void* window;  // when open
        // The run this request started or joined: a handle of the caller's own to wait on
        // for its thread (empty when there is none), and its number for claim_result.
        platform::thread_handle waiter;
        uint64_t run;
    };
    // An open request: starts body(argument) as the dialog thread only when the slot is
    // Closed (under the slot's lock, so a waiter always finds the thread of the run it joins).
    // The handle of an earlier, ended thread is released. A failed start counts as a run
    // without a dialog, whose result goes to the caller that tried (claim_result).
    open_claim open(platform::thread_body body, void* argument);

    // On the dialog thread, as the dialog initialises: records the window and answers true,
    // or answers false when a close came during start-up (the dialog must end at once).
    bool record_window(void* window);
    // On the dialog thread, as its window is destroyed: the dialog is ending.
    void mark_ending();
    // On the dialog thread, after the dialog has ended: forgets the window; Closed.
    void ended();

    // The recorded window, or null. Any thread, no lock; a window read here may be ending.
    void* window() const { return window_.load(); }

    struct close_claim {
        void* window;                    // the window to send the close request to, or null
        platform::thread_handle thread;  // a handle to wait on, or empty
    };
    // For a close request: Open gives the window; Starting marks the start-up closed.
    // With take_thread the slot's own handle is handed out (also that of an ended thread when
    // Closed), else a duplicate of it (Open and Starting only).
    close_claim begin_close(bool take_thread);

    // After waiting: true for exactly one caller per run (the first to ask), which also
    // releases the slot's handle of that run; false for any other.
    bool claim_result(uint64_t run);

  private:
    std::mutex lock_;
    std::atomic<void*> window_{nullptr};
    bool starting_ = false;
    bool ending_ = false;
    bool close_requested_ = false;  // a close came while Starting
    platform::thread_handle thread_;
    uint64_t run_ = 0;  // counts starts, failed ones included
    bool result_claimed_ = true;
};
