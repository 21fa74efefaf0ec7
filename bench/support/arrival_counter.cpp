#include "bench/support/arrival_counter.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<uint64_t> g_count{0};
std::atomic<uint64_t> g_target{UINT64_MAX};
std::atomic<int64_t> g_target_time{0};

}  // namespace

int64_t bench_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void arrivals_reset(uint64_t target) {
    g_count.store(0);
    arrivals_arm(target);
}

void arrivals_arm(uint64_t target) {
    g_target_time.store(0);
    g_target.store(target);
}

void arrivals_add(uint64_t count) {
    uint64_t before = g_count.fetch_add(count, std::memory_order_acq_rel);
    uint64_t target = g_target.load(std::memory_order_acquire);
    if (before < target && before + count >= target)
        g_target_time.store(bench_now_ns());
}

uint64_t arrivals_count() {
    return g_count.load(std::memory_order_acquire);
}

bool arrivals_wait_target(uint32_t timeout_ms) {
    int64_t deadline = bench_now_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (unsigned spins = 0;; ++spins) {
        if (g_target_time.load(std::memory_order_acquire) != 0)
            return true;
        // The clock is read only now and then: under Wine it is not free.
        if ((spins & 63) == 63 && bench_now_ns() >= deadline)
            return false;
        std::this_thread::yield();
    }
}

int64_t arrivals_target_time_ns() {
    return g_target_time.load(std::memory_order_acquire);
}
