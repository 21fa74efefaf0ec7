// MD5 (RFC 1321) in streaming form, and the text form of a digest used by the login.
//
// The context lives on the caller's stack for one digest; md5_final zeroes it. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct md5_context {
    uint32_t state[4];   // chaining words A, B, C, D
    uint32_t count[2];   // bit count, low word first
    uint8_t buffer[64];  // input not yet transformed
};

void md5_init(md5_context* context);
void md5_update(md5_context* context, const void* bytes, size_t length);
void md5_final(uint8_t digest[16], md5_context* context);

constexpr int DIGEST_HEX_SIZE = 33;  // 32 lowercase hex digits and a zero byte

// The digest of the text's bytes (without its terminator) as 32 lowercase hex digits.
void digest_hex(const char* text, char out[DIGEST_HEX_SIZE]);
