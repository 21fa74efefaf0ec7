// The one dialog of a kind: its thread, its window while it exists, the callers waiting for
// it, and the result it hands them.
//
// At most one dialog of a kind exists. A slot is Closed, Starting (a thread was started but
// its dialog has not recorded its window yet), or Open (window recorded). Each started
// thread is a run of the slot; a run ends when its thread calls ended(), and a new run starts
// only after that. The lock is held only to read or change these fields, to start a thread
// and to store a request's texts, never while a window is sent to or a thread waited for, so
// the dialog thread may take it at any time.
//
// Ending: from the moment the dialog posts its quit (mark_ending, on the dialog thread) until
// its thread has called ended(), the dialog is on its way out; so is a dialog whose start-up
// was closed. An open request then waits (up to ENDING_WAIT_MS) for that run to end and
// starts a new dialog, instead of joining a dialog that will never show it. A close request
// (begin_close) ends the open requests waiting so from before it: they start nothing (open
// says `closed`), so no dialog appears after the close has returned.
//
// Start-up: an open request during Starting does not start a second thread (open says
// `starting`). A close request during Starting marks the start-up closed: the dialog then
// declines to record its window (record_window answers false) and ends at once, and the
// closer waits for the run as for an open dialog. So a close never leaves a dialog behind.
//
// Results: a request that wants the dialog's result registers a waiter, decided under the
// lock together with the run it starts or joins. When the run ends, the result the dialog
// stored (set_result) goes to the first waiter registered in that run, the opener; the other
// waiters of the run get none, and a run that stored nothing (cancelled, closed, never
// shown) gives none to all. A result therefore never reaches a caller of another run. Two of
// these are deliberate and kept so:
// - The result goes to the caller that opened the dialog. The later requests only
//   re-targeted the dialog the user was already answering; one confirmation is one answer,
//   given to the caller that asked first, not to whichever caller came last.
// - A dialog whose window could not be created ends its run unshown and gives none: the user
//   confirmed nothing, so no caller's text comes back as if it had been chosen. (Only a
//   dialog thread that could not be started at all hands its caller its own text back, and
//   that is the dialog's own answer, outside the slot.)
//
// Thread handles: the slot owns the handle of the most recent dialog thread until someone
// takes it (begin_close with take_thread, a waiter back from its run) or a new start
// replaces it; an ended thread's handle is therefore released at the latest by the next open
// or close. Waits for a run use the slot's own record of ended runs, never a handle.
//
// Any thread may call any function.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/thread.h"

class dialog_slot {
  public:
    static constexpr uint32_t ENDING_WAIT_MS = 4000;
    using result_text = std::unique_ptr<char[]>;

    // A caller waiting for a run: registered by open, done when the run ends. It must stay
    // alive (on the caller's stack) until wait_result has returned.
    class waiter {
      public:
        waiter() = default;
        waiter(const waiter&) = delete;
        waiter& operator=(const waiter&) = delete;

      private:
        friend class dialog_slot;
        bool registered_ = false;
        bool done_ = false;
        uint64_t run_ = 0;
        result_text result_;
        waiter* next_ = nullptr;
    };

    enum class open_state {
        open,      // a dialog is open: bring `window` to the front
        starting,  // a dialog thread is starting: it will show the dialog
        started,   // a new dialog thread was started
        failed,    // the thread could not be started; no dialog exists
        closed     // it waited for an ending run, and a close came meanwhile: nothing started
    };
    struct open_request {
        platform::thread_body body;  // the dialog thread, started only when the slot is Closed
        void* argument;
        waiter* caller;                // registered with the run, or null
        void (*store)(void* context);  // called with context once decided, or null
        void* context;
    };
    struct open_claim {
        open_state state;
        void* window;  // when open
    };
    // An open request. Once the slot has decided which run the request starts or joins (not
    // for `failed` and `closed`), still under the lock, it registers the caller and calls
    // store: what a request hands its dialog is then in place before that dialog's thread
    // reads it (the thread reads only after record_window, which takes the lock), and after
    // the previous run's thread has finished with its own. The handle of an earlier, ended
    // thread is released.
    open_claim open(const open_request& request);

    // Blocks until the waiter's run has ended; then that run's result if it is the first
    // waiter of its run, else none. None at once for a waiter that open did not register.
    result_text wait_result(waiter& caller);

    // On the dialog thread, as the dialog initialises: records the window and answers true,
    // or answers false when a close came during start-up (the dialog must end at once).
    bool record_window(void* window);
    // On the dialog thread, while it is open: the run's result (replacing an earlier one).
    void set_result(result_text result);
    // On the dialog thread, as it posts its quit (and again as its window is destroyed).
    void mark_ending();
    // On the dialog thread, after the dialog has ended: forgets the window, hands the result
    // to the run's waiters; Closed.
    void ended();

    // The recorded window, or null. Any thread, no lock; a window read here may be ending.
    void* window() const { return window_.load(); }

    struct close_claim {
        void* window;                    // the window to send the close request to, or null
        platform::thread_handle thread;  // with take_thread: the slot's handle, or empty
        bool active;                     // a dialog was open or starting: wait for `run`
        uint64_t run;
    };
    // For a close request: Open gives the window; Starting marks the start-up closed; open
    // requests waiting for an ending run give up. With take_thread the slot's own handle is
    // handed out (also that of an ended thread).
    close_claim begin_close(bool take_thread);
    // Waits up to ms milliseconds for the run to end; true when it has.
    bool wait_ended(uint64_t run, uint32_t ms);

    // For tests: a close came during start-up; open requests waiting for an ending run.
    bool start_up_closed();
    int requests_waiting_for_end();

  private:
    std::mutex lock_;
    std::condition_variable run_ended_;
    std::atomic<void*> window_{nullptr};
    bool starting_ = false;
    bool ending_ = false;
    bool close_requested_ = false;  // a close came while Starting
    uint64_t closes_ = 0;           // counts close requests
    platform::thread_handle thread_;
    uint64_t run_ = 0;           // counts started threads
    uint64_t ended_run_ = 0;     // the last run whose thread called ended()
    waiter* waiters_ = nullptr;  // of the current run, the latest registered first
    result_text result_;         // the current run's result
    int waiting_for_end_ = 0;
};
