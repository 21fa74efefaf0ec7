// The countdown behind the "make the next n calls fail" test seams: arm(n) makes the next n
// calls of take() answer true, then it answers false again. Any thread; taking costs one
// atomic load while nothing is armed.
#pragma once

#include <atomic>

namespace platform {

class fail_countdown {
  public:
    void arm(int count) { left_.store(count > 0 ? count : 0); }
    bool take() {
        int left = left_.load(std::memory_order_relaxed);
        while (left > 0) {
            if (left_.compare_exchange_weak(left, left - 1))
                return true;
        }
        return false;
    }

  private:
    std::atomic<int> left_{0};
};

}  // namespace platform
