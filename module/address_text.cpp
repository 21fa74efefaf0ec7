#include "module/address_text.h"

#include <cstdio>

void format_address_text(platform::ipv4_address address, char out[ADDRESS_TEXT_SIZE]) {
    std::snprintf(out, ADDRESS_TEXT_SIZE, "%u.%u.%u.%u", address.bytes[0], address.bytes[1],
                  address.bytes[2], address.bytes[3]);
}
