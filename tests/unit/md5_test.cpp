// The login digest: MD5 against the RFC 1321 test suite and against digests computed by an
// independent implementation (the expected values were produced once with md5sum).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "server/md5.h"

namespace {

std::string hex(const uint8_t digest[16]) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int k = 0; k < 16; ++k) {
        text += digits[digest[k] >> 4];
        text += digits[digest[k] & 0x0F];
    }
    return text;
}

// Digest of the bytes, fed in pieces of at most step bytes (0: all at once).
std::string digest_of(const std::vector<uint8_t>& bytes, size_t step = 0) {
    md5_context context;
    md5_init(&context);
    if (step == 0)
        step = bytes.size() ? bytes.size() : 1;
    for (size_t at = 0; at < bytes.size(); at += step) {
        md5_update(&context, bytes.data() + at, std::min(step, bytes.size() - at));
    }
    uint8_t digest[16];
    md5_final(digest, &context);
    return hex(digest);
}

std::string digest_text(const std::string& text) {
    char out[DIGEST_HEX_SIZE];
    std::memset(out, 'X', sizeof out);
    digest_hex(text.c_str(), out);
    EXPECT_EQ(out[32], '\0');
    return std::string(out);
}

// The generator the expected values below were made with: xorshift32.
uint32_t next_random(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

std::vector<uint8_t> random_input(uint32_t seed) {
    uint32_t state = seed;
    size_t length = next_random(state) % 5000;
    std::vector<uint8_t> bytes(length);
    for (auto& byte : bytes)
        byte = static_cast<uint8_t>(next_random(state) & 0xFF);
    return bytes;
}

std::vector<uint8_t> pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t k = 0; k < length; ++k)
        bytes[k] = static_cast<uint8_t>(k * 7 + 3);
    return bytes;
}

TEST(Md5, Rfc1321TestSuite) {
    struct {
        const char* text;
        const char* digest;
    } const cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
         "0",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(digest_text(c.text), c.digest) << '"' << c.text << '"';
}

// From 56 bytes on, the padding byte and the bit count no longer fit the last block.
TEST(Md5, LengthsAroundTheBlockBoundary) {
    struct {
        size_t length;
        const char* letters;  // digest of that many 'a'
        const char* bytes;    // digest of pattern(length)
    } const cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65", "52c0e574e1198de5fe3f8f11440dcb1b"},
        {56, "3b0c8ac703f828b04c6c197006d17218", "46c9907fc908ee68b1e7b8e71286a518"},
        {63, "b06521f39153d618550606be297466d5", "a62f6d59e837867693f042f5b8f5a236"},
        {64, "014842d480b571495a4a0363793f7367", "7160b8fb5e9e4023d549c3971fbaeead"},
        {65, "c743a45e0d2e6a95cb859adae0248435", "70bd662e7aefbda85a0f7244167b7897"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digest_text(std::string(c.length, 'a')), c.letters) << c.length;
        EXPECT_EQ(digest_of(pattern(c.length)), c.bytes) << c.length;
    }
}

TEST(Md5, OneMillionBytes) {
    EXPECT_EQ(digest_text(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, RandomInputsMatchAnIndependentImplementation) {
    struct {
        uint32_t seed;
        size_t length;
        const char* digest;
    } const cases[] = {
        {1, 369, "0bd02405487a8f3991c26874ca7ca04b"},
        {7, 2583, "7901ef3bd706d8f53fc0084c5cc2cd8d"},
        {42, 432, "dc5d3c0bf6c1cabc609cd91abead7d61"},
        {1000, 2694, "10c25dd2222382c125dd87799ecfef61"},
        {31337, 1375, "9be30811c5b0e0550fbe22d0c9297889"},
        {65537, 4137, "90e3caf53748d4571442775b860b3a52"},
        {123456789, 2881, "5b8a7ecaf7404c174dc0329fe02da933"},
        {2024, 1350, "926f6495f5180e422e1dd00eee2129f5"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = random_input(c.seed);
        ASSERT_EQ(bytes.size(), c.length) << "seed " << c.seed;
        EXPECT_EQ(digest_of(bytes), c.digest) << "seed " << c.seed;
    }
}

// Any split of the input into updates gives the one-shot digest: the buffer carries the rest
// of a block correctly from one update to the next.
TEST(Md5, PiecewiseUpdatesEqualOneShot) {
    for (uint32_t seed : {1u, 7u, 65537u}) {
        std::vector<uint8_t> bytes = random_input(seed);
        std::string whole = digest_of(bytes);
        for (size_t step : {1, 3, 55, 63, 64, 65, 127, 1000}) {
            EXPECT_EQ(digest_of(bytes, step), whole) << "seed " << seed << " step " << step;
        }
    }
}

TEST(Md5, EmptyUpdatesChangeNothing) {
    md5_context context;
    md5_init(&context);
    md5_update(&context, "ab", 2);
    md5_update(&context, "", 0);
    md5_update(&context, "c", 1);
    uint8_t digest[16];
    md5_final(digest, &context);
    EXPECT_EQ(hex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, BitCountCarriesIntoTheHighWord) {
    md5_context context;
    md5_init(&context);
    context.count[0] = 0xFFFFFFF8u;  // one byte short of the low word's wrap
    md5_update(&context, "x", 1);
    EXPECT_EQ(context.count[0], 0u);
    EXPECT_EQ(context.count[1], 1u);
}

TEST(Md5, FinalZeroesTheContext) {
    md5_context context;
    md5_init(&context);
    md5_update(&context, "secret password", 15);
    uint8_t digest[16];
    md5_final(digest, &context);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&context);
    for (size_t k = 0; k < sizeof context; ++k)
        ASSERT_EQ(bytes[k], 0) << "byte " << k;
}

TEST(Md5, DigestHexIsLowercaseWithLeadingZeros) {
    // The login text "%04x:%s" of cookie 0x21 and the default password; its first digest
    // byte is below 16.
    std::string text = digest_text("0021:ChgThisPw");
    EXPECT_EQ(text, "0ac8e7135d0f3565b4d384ac607a8bce");
    EXPECT_EQ(digest_text("002a:ChgThisPw"), "9486b0a471852645c5fff01c0e8ef304");
    for (char c : text)
        EXPECT_TRUE(std::isdigit(c) || (c >= 'a' && c <= 'f')) << c;
}

TEST(Md5, DigestHexStopsAtTheTerminator) {
    const char text[] = "abc\0def";
    char out[DIGEST_HEX_SIZE];
    digest_hex(text, out);
    EXPECT_STREQ(out, "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
