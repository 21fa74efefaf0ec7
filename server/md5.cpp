// MD5 as RFC 1321 defines it, written for this plug-in: the login digest must not depend on
// any library of the host system.
#include "server/md5.h"

#include <cstring>

namespace {

// Per-round shift amounts.
constexpr int S11 = 7, S12 = 12, S13 = 17, S14 = 22;
constexpr int S21 = 5, S22 = 9, S23 = 14, S24 = 20;
constexpr int S31 = 4, S32 = 11, S33 = 16, S34 = 23;
constexpr int S41 = 6, S42 = 10, S43 = 15, S44 = 21;

inline uint32_t rotate_left(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t f(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) | (~x & z);
}
inline uint32_t g(uint32_t x, uint32_t y, uint32_t z) {
    return (x & z) | (y & ~z);
}
inline uint32_t h(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t i(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

inline void ff(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + f(b, c, d) + x + ac, s) + b;
}
inline void gg(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + g(b, c, d) + x + ac, s) + b;
}
inline void hh(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + h(b, c, d) + x + ac, s) + b;
}
inline void ii(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + i(b, c, d) + x + ac, s) + b;
}

// Words are stored least significant byte first, whatever the machine's byte order.
void decode(uint32_t* out, const uint8_t* in, size_t words) {
    for (size_t k = 0; k < words; ++k) {
        const uint8_t* p = in + 4 * k;
        out[k] = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                 (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
}

void encode(uint8_t* out, const uint32_t* in, size_t words) {
    for (size_t k = 0; k < words; ++k) {
        out[4 * k] = static_cast<uint8_t>(in[k]);
        out[4 * k + 1] = static_cast<uint8_t>(in[k] >> 8);
        out[4 * k + 2] = static_cast<uint8_t>(in[k] >> 16);
        out[4 * k + 3] = static_cast<uint8_t>(in[k] >> 24);
    }
}

// Zeroing through a volatile pointer, so the compiler cannot drop it as a dead store: the
// buffers held text derived from the password.
void wipe(void* bytes, size_t length) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(bytes);
    while (length--)
        *p++ = 0;
}

void transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t x[16];
    decode(x, block, 16);

    // Round 1
    ff(a, b, c, d, x[0], S11, 0xd76aa478);
    ff(d, a, b, c, x[1], S12, 0xe8c7b756);
    ff(c, d, a, b, x[2], S13, 0x242070db);
    ff(b, c, d, a, x[3], S14, 0xc1bdceee);
    ff(a, b, c, d, x[4], S11, 0xf57c0faf);
    ff(d, a, b, c, x[5], S12, 0x4787c62a);
    ff(c, d, a, b, x[6], S13, 0xa8304613);
    ff(b, c, d, a, x[7], S14, 0xfd469501);
    ff(a, b, c, d, x[8], S11, 0x698098d8);
    ff(d, a, b, c, x[9], S12, 0x8b44f7af);
    ff(c, d, a, b, x[10], S13, 0xffff5bb1);
    ff(b, c, d, a, x[11], S14, 0x895cd7be);
    ff(a, b, c, d, x[12], S11, 0x6b901122);
    ff(d, a, b, c, x[13], S12, 0xfd987193);
    ff(c, d, a, b, x[14], S13, 0xa679438e);
    ff(b, c, d, a, x[15], S14, 0x49b40821);

    // Round 2
    gg(a, b, c, d, x[1], S21, 0xf61e2562);
    gg(d, a, b, c, x[6], S22, 0xc040b340);
    gg(c, d, a, b, x[11], S23, 0x265e5a51);
    gg(b, c, d, a, x[0], S24, 0xe9b6c7aa);
    gg(a, b, c, d, x[5], S21, 0xd62f105d);
    gg(d, a, b, c, x[10], S22, 0x02441453);
    gg(c, d, a, b, x[15], S23, 0xd8a1e681);
    gg(b, c, d, a, x[4], S24, 0xe7d3fbc8);
    gg(a, b, c, d, x[9], S21, 0x21e1cde6);
    gg(d, a, b, c, x[14], S22, 0xc33707d6);
    gg(c, d, a, b, x[3], S23, 0xf4d50d87);
    gg(b, c, d, a, x[8], S24, 0x455a14ed);
    gg(a, b, c, d, x[13], S21, 0xa9e3e905);
    gg(d, a, b, c, x[2], S22, 0xfcefa3f8);
    gg(c, d, a, b, x[7], S23, 0x676f02d9);
    gg(b, c, d, a, x[12], S24, 0x8d2a4c8a);

    // Round 3
    hh(a, b, c, d, x[5], S31, 0xfffa3942);
    hh(d, a, b, c, x[8], S32, 0x8771f681);
    hh(c, d, a, b, x[11], S33, 0x6d9d6122);
    hh(b, c, d, a, x[14], S34, 0xfde5380c);
    hh(a, b, c, d, x[1], S31, 0xa4beea44);
    hh(d, a, b, c, x[4], S32, 0x4bdecfa9);
    hh(c, d, a, b, x[7], S33, 0xf6bb4b60);
    hh(b, c, d, a, x[10], S34, 0xbebfbc70);
    hh(a, b, c, d, x[13], S31, 0x289b7ec6);
    hh(d, a, b, c, x[0], S32, 0xeaa127fa);
    hh(c, d, a, b, x[3], S33, 0xd4ef3085);
    hh(b, c, d, a, x[6], S34, 0x04881d05);
    hh(a, b, c, d, x[9], S31, 0xd9d4d039);
    hh(d, a, b, c, x[12], S32, 0xe6db99e5);
    hh(c, d, a, b, x[15], S33, 0x1fa27cf8);
    hh(b, c, d, a, x[2], S34, 0xc4ac5665);

    // Round 4
    ii(a, b, c, d, x[0], S41, 0xf4292244);
    ii(d, a, b, c, x[7], S42, 0x432aff97);
    ii(c, d, a, b, x[14], S43, 0xab9423a7);
    ii(b, c, d, a, x[5], S44, 0xfc93a039);
    ii(a, b, c, d, x[12], S41, 0x655b59c3);
    ii(d, a, b, c, x[3], S42, 0x8f0ccc92);
    ii(c, d, a, b, x[10], S43, 0xffeff47d);
    ii(b, c, d, a, x[1], S44, 0x85845dd1);
    ii(a, b, c, d, x[8], S41, 0x6fa87e4f);
    ii(d, a, b, c, x[15], S42, 0xfe2ce6e0);
    ii(c, d, a, b, x[6], S43, 0xa3014314);
    ii(b, c, d, a, x[13], S44, 0x4e0811a1);
    ii(a, b, c, d, x[4], S41, 0xf7537e82);
    ii(d, a, b, c, x[11], S42, 0xbd3af235);
    ii(c, d, a, b, x[2], S43, 0x2ad7d2bb);
    ii(b, c, d, a, x[9], S44, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;

    wipe(x, sizeof x);
}

}  // namespace

void md5_init(md5_context* context) {
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void md5_update(md5_context* context, const void* bytes, size_t length) {
    const uint8_t* input = static_cast<const uint8_t*>(bytes);
    size_t index = (context->count[0] >> 3) & 0x3F;  // bytes already in the buffer

    // The bit count is kept modulo 2^64 in two words: carry from the low word, and the high
    // bits of a length of 2^29 bytes or more go to the high word.
    uint64_t bits = static_cast<uint64_t>(length) << 3;
    uint32_t low = context->count[0] + static_cast<uint32_t>(bits);
    if (low < context->count[0])
        ++context->count[1];
    context->count[0] = low;
    context->count[1] += static_cast<uint32_t>(bits >> 32);

    size_t part = 64 - index;
    size_t done = 0;
    if (length >= part) {
        std::memcpy(context->buffer + index, input, part);
        transform(context->state, context->buffer);
        for (done = part; done + 63 < length; done += 64)
            transform(context->state, input + done);
        index = 0;
    }
    if (length > done)
        std::memcpy(context->buffer + index, input + done, length - done);
}

void md5_final(uint8_t digest[16], md5_context* context) {
    static const uint8_t padding[64] = {0x80};
    uint8_t bits[8];
    encode(bits, context->count, 2);

    // Pad to 56 bytes modulo 64, then append the bit count taken before the padding.
    size_t index = (context->count[0] >> 3) & 0x3F;
    size_t pad_length = index < 56 ? 56 - index : 120 - index;
    md5_update(context, padding, pad_length);
    md5_update(context, bits, 8);

    encode(digest, context->state, 4);
    wipe(context, sizeof *context);
}

void digest_hex(const char* text, char out[DIGEST_HEX_SIZE]) {
    static const char digits[] = "0123456789abcdef";
    md5_context context;
    uint8_t digest[16];
    md5_init(&context);
    md5_update(&context, text, std::strlen(text));
    md5_final(digest, &context);
    for (int k = 0; k < 16; ++k) {
        out[2 * k] = digits[digest[k] >> 4];
        out[2 * k + 1] = digits[digest[k] & 0x0F];
    }
    out[32] = '\0';
    wipe(digest, sizeof digest);
}
