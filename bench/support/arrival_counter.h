// The count of event arrivals at the server under test, shared by the counting host of the
// real server and by the baseline server, so both are timed by the same code.
//
// arrivals_reset(target) sets the count to 0 and arms the target: the arrival that makes the
// count reach the target records the moment (bench_now_ns) once. arrivals_add(n) counts n
// arrivals; any thread may call it at any time. arrivals_arm(target) re-arms the target
// without resetting the count (the latency measure arms the next event's arrival before it
// sends it). arrivals_wait_target(timeout_ms) waits, yielding, until the armed target has been
// reached and its moment recorded; false when the time-out passed first.
// arrivals_target_time_ns() is the recorded moment, 0 while the target has not been reached.
#pragma once

#include <cstdint>

// Nanoseconds of a monotonic clock; only differences mean anything.
int64_t bench_now_ns();

void arrivals_reset(uint64_t target);
void arrivals_arm(uint64_t target);
void arrivals_add(uint64_t count);
uint64_t arrivals_count();
bool arrivals_wait_target(uint32_t timeout_ms);
int64_t arrivals_target_time_ns();
