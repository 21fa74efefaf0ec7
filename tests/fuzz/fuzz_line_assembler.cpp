// Feeds fuzzer bytes to a line assembler as a client would send them, and checks what comes
// out against the input.
//
// Input layout: the first byte chooses the chunk size (1 to 255 bytes, or 1024 when it is 0),
// the rest is the byte stream. When the low three bits of the first byte are all set, a run
// of bytes without a line feed that reaches past the cap is put between two copies of the
// stream, so that lines over the cap and the lines around them are exercised too. Each chunk
// is handed over zero-terminated and follows the calling rule. Checked: no returned line
// holds a line feed or exceeds the cap; after a null the pending text is within the cap;
// while lines come out it exceeds the cap by at most the chunk; the returned lines are
// exactly the input's lines that fit the cap, in order (the input as the assembler sees it:
// bytes after a zero byte of a chunk are not part of it).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "server/line_assembler.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    size_t chunk_size = data[0] == 0 ? 1024 : data[0];
    std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
    if ((data[0] & 7) == 7) {
        stream.append(LINE_ASSEMBLER_PENDING_MAX + 1, 'L');
        stream.append(reinterpret_cast<const char*>(data + 1), size - 1);
    }

    line_assembler* assembler = line_assembler_create();
    if (!assembler)
        return 0;

    std::string seen;  // the text the assembler is given: each chunk up to its zero byte
    std::vector<std::string> lines;
    std::vector<char> chunk(chunk_size + 1);
    for (size_t at = 0; at < stream.size(); at += chunk_size) {
        size_t length = std::min(chunk_size, stream.size() - at);
        std::memcpy(chunk.data(), stream.data() + at, length);
        chunk[length] = '\0';
        seen.append(chunk.data());
        size_t chunk_length = std::strlen(chunk.data());
        while (const char* line = line_assembler_next(assembler, chunk.data())) {
            size_t line_length = std::strlen(line);
            check(std::memchr(line, '\n', line_length) == nullptr);
            check(line_length <= LINE_ASSEMBLER_PENDING_MAX);
            check(line_assembler_pending_length(assembler) <=
                  LINE_ASSEMBLER_PENDING_MAX + chunk_length);
            lines.emplace_back(line, line_length);
            check(lines.size() <= seen.size());  // each line took at least its line feed
        }
        check(line_assembler_pending_length(assembler) <= LINE_ASSEMBLER_PENDING_MAX);
    }
    line_assembler_destroy(assembler);

    // Every line of the input that fits the cap comes out, in order; longer ones do not.
    std::vector<std::string> expected;
    size_t begin = 0;
    for (size_t feed; (feed = seen.find('\n', begin)) != std::string::npos; begin = feed + 1) {
        if (feed - begin <= LINE_ASSEMBLER_PENDING_MAX) {
            expected.push_back(seen.substr(begin, feed - begin));
        }
    }
    check(lines == expected);
    return 0;
}
