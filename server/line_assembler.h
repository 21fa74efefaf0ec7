// Splits a client's byte stream into lines ended by a line feed.
//
// Calling rule: after each receive, call line_assembler_next with the same zero-terminated
// chunk again and again until it returns null, then receive the next chunk; the chunk is
// appended only on the first of these calls. The returned line belongs to the assembler and
// stays valid until the next call or line_assembler_destroy. A carriage return is an
// ordinary character; bytes after a zero byte in a chunk are ignored.
//
// The pending text is capped at LINE_ASSEMBLER_PENDING_MAX bytes: a longer line is dropped
// whole, up to and including its line feed, and the lines after it come out as usual.
// One assembler per connection, used by one thread. line_assembler_create returns null when
// memory cannot be had.
#pragma once

#include <cstddef>

struct line_assembler;

constexpr size_t LINE_ASSEMBLER_PENDING_MAX = 64 * 1024;

line_assembler* line_assembler_create();
const char* line_assembler_next(line_assembler* assembler, const char* chunk);
void line_assembler_destroy(line_assembler* assembler);
