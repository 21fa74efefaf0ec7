// Builds payload blocks from fuzzer texts and reads them back.
//
// Input layout: the first byte gives the count (0 to 255); the rest is split at zero bytes
// into texts, reused round-robin (or the empty text) when there are fewer than the count.
// Checked: the length is 1 + the sum of (text length + 1) when that stays within 1023 and
// the block is then never longer; otherwise the block is refused (0); the count byte; and
// the block parses back into the same texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "server/event_dispatch.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    int count = data[0];
    std::vector<std::string> pieces;
    size_t begin = 1;
    for (size_t k = 1; k <= size; ++k) {
        if (k == size || data[k] == 0) {
            pieces.emplace_back(reinterpret_cast<const char*>(data + begin), k - begin);
            begin = k + 1;
        }
    }
    std::vector<std::string> texts;
    for (int k = 0; k < count; ++k)
        texts.push_back(pieces[static_cast<size_t>(k) % pieces.size()]);
    std::vector<const char*> list;
    for (const auto& text : texts)
        list.push_back(text.c_str());

    // One byte of room on each side tells an overrun.
    uint8_t guarded[PAYLOAD_BLOCK_BUFFER + 2];
    std::memset(guarded, 0xA5, sizeof guarded);
    uint8_t* block = guarded + 1;
    int length = build_payload_block(count, list.data(), block);
    check(guarded[0] == 0xA5 && guarded[PAYLOAD_BLOCK_BUFFER + 1] == 0xA5);

    size_t expected = 1;
    for (const auto& text : texts)
        expected += text.size() + 1;
    if (expected > PAYLOAD_BLOCK_BUFFER - 1) {
        check(length == 0);
        return 0;
    }
    check(length == static_cast<int>(expected));
    check(block[0] == static_cast<uint8_t>(count));

    size_t position = 1;
    for (const auto& text : texts) {
        const void* zero = std::memchr(block + position, 0, static_cast<size_t>(length) - position);
        check(zero != nullptr);
        size_t end = static_cast<size_t>(static_cast<const uint8_t*>(zero) - block);
        check(std::string(reinterpret_cast<const char*>(block + position), end - position) == text);
        position = end + 1;
    }
    check(position == static_cast<size_t>(length));
    return 0;
}
