// The login cookie: a 15-bit random value r, scaled to 16 bits as (r * 65535) / 32767.
//
// r comes from the operating system's cryptographic random source, so a cookie cannot be
// foretold from the cookies seen before it. What a 16-bit cookie does and does not protect:
// a (cookie, answer) pair recorded from one real login is worth nothing for the next login,
// which gets an unpredictable cookie; but there are only 32768 cookies, so whoever replays a
// recorded answer by reconnecting until its cookie comes round succeeds after 32768 attempts
// on average, each of them a failed login that the abuse block and the repeat-offender
// refusal count.
//
// Should the source ever fail, r comes from the run-time library's classic generator, seeded
// from the millisecond tick count mixed with a process-wide counter (predictable, but never
// the same for two connections accepted in the same millisecond), and a trace line says so.
// Any thread.
#pragma once

#include <cstdint>

uint16_t login_cookie();
