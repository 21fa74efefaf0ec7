#include "module/address_text.h"

namespace {

// Writes one byte in decimal without leading zeros; returns the position after it.
char* put_decimal(char* out, unsigned value) {
    if (value >= 100)
        *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10)
        *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

}  // namespace

// Every connection formats its address more than once; a formatted print costs far more
// than these few digits.
void format_address_text(platform::ipv4_address address, char out[ADDRESS_TEXT_SIZE]) {
    char* at = out;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            *at++ = '.';
        at = put_decimal(at, address.bytes[i]);
    }
    *at = '\0';
}
