// The abuse block: the address of the most recent failed login is refused for
// failure_count x ABUSE_BLOCK_STEP_MS milliseconds after that failure. One offender at most
// is remembered; the count covers failures from any address since the last successful login
// from any address. Module-wide, empty at load, not persisted, untouched by server start and
// stop.
//
// The record has a small lock of its own, held only to compare or replace its fields: the
// offender, the count and the tick of one failure always change together, and a reader never
// meets a half-replaced offender. Any thread may call any function here. The tick is read
// under that lock too, so a check never measures against a failure newer than its own tick.
//
// Windows are measured with the 32-bit wrapping tick count (platform::tick_count) in
// unsigned arithmetic, so a wrap of the counter inside a window does not shorten it. The
// window saturates at the largest 32-bit value instead of wrapping round to a short one after
// some 860,000 failures without a success, and the count stops at its largest value.
#pragma once

#include <cstdint>

#include "module/address_text.h"

constexpr uint32_t ABUSE_BLOCK_STEP_MS = 5000;

struct abuse_state {
    // The offender's address text, "" for none. Kept in the record rather than on the heap:
    // remembering a failure can never run out of memory.
    char last_offender[ADDRESS_TEXT_SIZE];
    uint32_t failure_count;
    uint32_t last_failure_tick;
};

// A login from address_text (dotted address text) has failed: it becomes the offender, the
// count grows by one and the window restarts now. Runs whatever disable_abuse_protection says.
// A text longer than an address text can be is counted but remembered as no offender: no
// client's address could ever equal it.
void abuse_note_failure(const char* address_text);

// A login has succeeded, from whatever address: no offender, count 0.
void abuse_note_success();

// 1 when address_text is the offender and its window is still running. Does not look at
// disable_abuse_protection; admission decides whether to ask.
int abuse_block_refuses(const char* address_text);

// A consistent copy of the record, for tests and displays.
abuse_state abuse_state_copy();

// Back to the state at load. For tests.
void abuse_state_reset();
