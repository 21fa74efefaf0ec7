// The line assembler of a logged-in connection.
//
// The pending text lives in one buffer, data[start, end). A returned line is handed out in
// place: its line feed becomes the terminator and start moves past it, so the line stays
// valid until the next call, which is all the contract promises. A chunk usually goes in
// with a single copy; only when the buffer must grow or a line may pass the cap is it taken
// line by line. The buffer grows geometrically and is compacted only when a chunk is
// appended; at that moment everything before start has been handed out, and what is left is
// at most the unfinished end of the previous chunk, so no byte is moved more than once per
// chunk. The bytes already searched for a line feed are remembered, so a long unfinished
// line is not searched again from its beginning with every chunk.
#include "server/line_assembler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/fail_countdown.h"

struct line_assembler {
    char* data = nullptr;
    size_t capacity = 0;
    size_t start = 0;     // first byte not yet handed out
    size_t end = 0;       // one past the last received byte
    size_t searched = 0;  // data[start, start + searched) holds no line feed
    // Set while the last call returned a line: the chunk of this receive has been appended.
    bool line_present = false;
    // Set while the rest of a dropped line is skipped, up to and including its line feed.
    bool discarding = false;
};

namespace {

constexpr size_t INITIAL_CAPACITY = 256;
// An emptied buffer larger than this is given back, so an idle connection that once received
// a long line does not keep its memory.
constexpr size_t RETAINED_CAPACITY_MAX = 16 * 1024;

platform::fail_countdown g_failing_allocations;

// Makes the buffer hold at least needed bytes; 0 when the memory cannot be had (the buffer
// is then unchanged).
int reserve(line_assembler* assembler, size_t needed) {
    if (needed <= assembler->capacity)
        return 1;
    size_t capacity =
        assembler->capacity < INITIAL_CAPACITY ? INITIAL_CAPACITY : assembler->capacity;
    while (capacity < needed && capacity <= SIZE_MAX / 2)
        capacity *= 2;
    if (capacity < needed)
        capacity = needed;
    if (g_failing_allocations.take())
        return 0;
    char* data = static_cast<char*>(std::realloc(assembler->data, capacity));
    if (!data)
        return 0;
    assembler->data = data;
    assembler->capacity = capacity;
    return 1;
}

void release_buffer(line_assembler* assembler) {
    std::free(assembler->data);
    assembler->data = nullptr;
    assembler->capacity = 0;
    assembler->start = assembler->end = assembler->searched = 0;
}

// Appends a chunk of length bytes. When it is called nothing pending holds a line feed
// (the call before returned nothing), so the pending text is one unfinished line. Each line
// is checked against the cap as it grows; a line that exceeds it, or whose memory cannot be
// had, is cut back to where it began and the rest of it is skipped.
__attribute__((noinline)) void append(line_assembler* assembler, const char* chunk, size_t length) {
    size_t position = 0;
    if (assembler->discarding) {
        const void* feed = std::memchr(chunk, '\n', length);
        if (!feed)
            return;
        position = static_cast<size_t>(static_cast<const char*>(feed) - chunk) + 1;
        assembler->discarding = false;
    }
    if (position == length)
        return;

    if (assembler->start > 0) {
        size_t rest = assembler->end - assembler->start;
        std::memmove(assembler->data, assembler->data + assembler->start, rest);
        assembler->start = 0;
        assembler->end = rest;
    }

    // Usually the rest of the chunk fits the buffer as it is and no line can pass the cap:
    // the unfinished line and the whole rest together stay within it. Then the rest goes in
    // with one copy, and the lines in it are found as they are handed out.
    size_t rest = length - position;
    if (assembler->end - assembler->start + rest <= LINE_ASSEMBLER_PENDING_MAX &&
        assembler->end + rest <= assembler->capacity) {
        std::memcpy(assembler->data + assembler->end, chunk + position, rest);
        assembler->end += rest;
        return;
    }

    size_t line_begin = assembler->start;
    while (position < length) {
        const void* feed = std::memchr(chunk + position, '\n', length - position);
        size_t segment =
            feed ? static_cast<size_t>(static_cast<const char*>(feed) - chunk) - position
                 : length - position;
        size_t copy = segment + (feed ? 1 : 0);
        size_t line_length = assembler->end - line_begin + segment;
        if (line_length > LINE_ASSEMBLER_PENDING_MAX ||
            !reserve(assembler, assembler->end + copy)) {
            assembler->end = line_begin;
            // What was searched of the cut line is gone; what follows is not searched yet.
            if (assembler->searched > line_begin - assembler->start) {
                assembler->searched = line_begin - assembler->start;
            }
            if (!feed) {
                assembler->discarding = true;
                break;
            }
        } else {
            std::memcpy(assembler->data + assembler->end, chunk + position, copy);
            assembler->end += copy;
            if (feed)
                line_begin = assembler->end;
        }
        position += copy;
    }
}

// The end of a receive's lines: the chunk is used up, and an emptied buffer starts again
// at its beginning (or is given back when it has grown large).
__attribute__((noinline)) void end_of_chunk(line_assembler* assembler, size_t pending) {
    assembler->line_present = false;
    assembler->searched = pending;
    if (pending == 0) {
        if (assembler->capacity > RETAINED_CAPACITY_MAX) {
            release_buffer(assembler);
        } else {
            assembler->start = assembler->end = 0;
        }
    }
}

}  // namespace

line_assembler* line_assembler_create() {
    if (g_failing_allocations.take())
        return nullptr;
    return new (std::nothrow) line_assembler{};
}

// Called once per line: appending and the end of a chunk stay out of its way.
const char* line_assembler_next(line_assembler* assembler, const char* chunk) {
    if (!assembler)
        return nullptr;
    if (chunk && !assembler->line_present)
        append(assembler, chunk, std::strlen(chunk));

    size_t pending = assembler->end - assembler->start;
    if (pending > assembler->searched) {
        char* from = assembler->data + assembler->start + assembler->searched;
        auto* feed = static_cast<char*>(std::memchr(from, '\n', pending - assembler->searched));
        if (feed) {
            *feed = '\0';
            const char* line = assembler->data + assembler->start;
            assembler->start = static_cast<size_t>(feed - assembler->data) + 1;
            assembler->searched = 0;
            assembler->line_present = true;
            return line;
        }
    }
    end_of_chunk(assembler, pending);
    return nullptr;
}

void line_assembler_destroy(line_assembler* assembler) {
    if (!assembler)
        return;
    std::free(assembler->data);
    delete assembler;
}

size_t line_assembler_pending_length(const line_assembler* assembler) {
    return assembler ? assembler->end - assembler->start : 0;
}

void line_assembler_fail_next_allocations(int count) {
    g_failing_allocations.arm(count);
}
