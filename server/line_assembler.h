// Splits a client's byte stream into lines ended by a line feed.
//
// Calling rule: after each receive, call line_assembler_next with the same zero-terminated
// chunk again and again until it returns null, then receive the next chunk; the chunk is
// appended only on the first of these calls. The returned line belongs to the assembler and
// stays valid until the next call or line_assembler_destroy. A carriage return is an
// ordinary character; bytes after a zero byte in a chunk are ignored.
//
// The pending text is capped at LINE_ASSEMBLER_PENDING_MAX bytes: a longer line (its line
// feed not counted) is dropped whole, up to and including its line feed, and the lines after
// it come out as usual.
// When memory for the pending text cannot be had, the unfinished line is dropped the same
// way, and the lines after it still come out.
// One assembler per connection, used by one thread. line_assembler_create returns null when
// memory cannot be had; line_assembler_next and line_assembler_destroy accept null.
//
// line_assembler_pending_length: the bytes received but not yet returned as lines. After a
// call that returned null it is at most LINE_ASSEMBLER_PENDING_MAX; while lines are being
// handed out it may exceed that by at most the length of the last chunk.
//
// Tests can make allocations fail: line_assembler_fail_next_allocations(n) makes the next n
// allocations of any assembler fail (creation included).
#pragma once

#include <cstddef>

struct line_assembler;

constexpr size_t LINE_ASSEMBLER_PENDING_MAX = 64 * 1024;

line_assembler* line_assembler_create();
const char* line_assembler_next(line_assembler* assembler, const char* chunk);
void line_assembler_destroy(line_assembler* assembler);
size_t line_assembler_pending_length(const line_assembler* assembler);

void line_assembler_fail_next_allocations(int count);
