// Who may still use an accepted socket: its client thread, until the close notice claims it.
//
// The client thread brackets every receive and send on its socket with begin_use/end_use;
// begin_use fails once the socket is claimed, and the thread then treats the call as failed
// without touching the socket. claim() is the close notice's: from then on the thread starts
// no new call on the socket, and the result says whether it was inside one at that moment. A
// thread that was not can have its socket closed at once, even while it waits seconds for a
// host-name or adapter lookup, without ever sending to or receiving from a handle that the
// system may already have given to another socket. A thread inside a call has to be woken
// (net_wake_receiver), and its socket stays open until it has left the call: still_in_call()
// tells a waker whether it has. One client thread uses it; the notice may claim from any
// thread.
#pragma once

#include <atomic>

class socket_claim {
  public:
    bool begin_use() {
        int expected = IDLE;
        return state_.compare_exchange_strong(expected, IN_CALL, std::memory_order_acq_rel);
    }
    // True when the call ended before any claim; false when the notice claimed the socket
    // while the owner was inside the call (it was, or is being, woken).
    bool end_use() {
        int expected = IN_CALL;
        if (state_.compare_exchange_strong(expected, IDLE, std::memory_order_acq_rel))
            return true;
        // Claimed inside the call: only this thread moves the state on from here.
        state_.store(CLAIMED, std::memory_order_release);
        return false;
    }
    // True when the owner was inside a call on the socket when it was claimed.
    bool claim() {
        int seen = state_.load(std::memory_order_acquire);
        for (;;) {
            if (seen == CLAIMED || seen == CLAIMED_IN_CALL)
                return seen == CLAIMED_IN_CALL;
            int next = seen == IN_CALL ? CLAIMED_IN_CALL : CLAIMED;
            if (state_.compare_exchange_weak(seen, next, std::memory_order_acq_rel))
                return next == CLAIMED_IN_CALL;
        }
    }
    bool claimed() const { return state_.load(std::memory_order_acquire) >= CLAIMED; }
    // True after a claim while the owner has not yet left the call it was in.
    bool still_in_call() const { return state_.load(std::memory_order_acquire) == CLAIMED_IN_CALL; }

  private:
    enum : int { IDLE, IN_CALL, CLAIMED, CLAIMED_IN_CALL };
    std::atomic<int> state_{IDLE};
};
