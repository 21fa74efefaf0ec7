// The repeat-offender record: an address whose logins keep failing is refused for a while,
// whatever the one-offender abuse block (abuse_state.h) says, which stays as it is beside it.
//
// An address with REPEAT_OFFENDER_FAILURES failed logins within REPEAT_OFFENDER_WINDOW_MS is
// refused for REPEAT_OFFENDER_REFUSAL_MS after the last of them. Each address is counted on
// its own, so two or more addresses that fail in turn (which the one-offender block lets
// through, as each failure moves the block to the address that failed last) get
// REPEAT_OFFENDER_FAILURES answers each per window, not hundreds a second. Fewer failures
// change nothing: one address failing up to four times, or two failing in turn a few times,
// meet only the abuse block, as before.
//
// An answer is counted against its address before it is compared, and taken back when it
// matches: so parallel connections of one address cannot overtake the count, and at most
// REPEAT_OFFENDER_FAILURES answers of an address are ever compared per window. Every login
// that reaches its answer counts, an empty or missing answer included, as for the abuse block.
// A successful login from an address clears its record.
//
// At most REPEAT_OFFENDER_TABLE_SIZE addresses are remembered. When the table is full, an
// address with no failure left inside its window is forgotten first, then the one with the
// fewest failures and the oldest last failure; an address under refusal is kept until its
// refusal is served, unless every address is under refusal. So any number of other addresses
// failing once each never frees a refused one before its time. Module-wide, empty at load, not
// persisted, untouched by server start and stop. Times are measured with the wrapping 32-bit
// tick count in unsigned arithmetic, so the counter's wrap does not cut a window short (a
// record left untouched for the 49.7 days of a whole wrap may look fresh again: at worst one
// more refusal of REPEAT_OFFENDER_REFUSAL_MS).
//
// Nothing here reads disable_abuse_protection: admission and the login decide whether a
// refusal applies. Any thread; a small lock is held only to read or change the table. The
// table is looked at only while it holds anything, so a server that sees no failed logins
// pays one lock for each connection.
#pragma once

#include <cstdint>

#include "platform/net.h"

constexpr uint32_t REPEAT_OFFENDER_FAILURES = 5;
constexpr uint32_t REPEAT_OFFENDER_WINDOW_MS = 10 * 60 * 1000;
constexpr uint32_t REPEAT_OFFENDER_REFUSAL_MS = 10 * 60 * 1000;
constexpr uint32_t REPEAT_OFFENDER_TABLE_SIZE = 4096;

// An answer from address is about to be compared: it is counted as a failure. Returns false,
// counting nothing, when the address is under refusal: the answer must not be compared.
bool repeat_offenders_count_answer(platform::ipv4_address address);

// The answer just counted matched: it is not a failure after all.
void repeat_offenders_take_back(platform::ipv4_address address);

// A login from address succeeded: its record is cleared.
void repeat_offenders_note_success(platform::ipv4_address address);

// True while address is under refusal.
bool repeat_offenders_refuse(platform::ipv4_address address);

// The failures of address inside the window, REPEAT_OFFENDER_FAILURES while it is under
// refusal, 0 when it is not remembered; for tests and figures.
uint32_t repeat_offenders_failures(platform::ipv4_address address);

// Addresses remembered; for tests and figures.
uint32_t repeat_offenders_remembered();

// Back to the state at load. For tests.
void repeat_offenders_reset();
