// The dotted address text, checked against the C library's formatting for every byte value
// in every position.
#include <gtest/gtest.h>

#include <cstdio>

#include "module/address_text.h"

TEST(AddressText, EveryByteInEveryPositionAsDottedDecimal) {
    for (int position = 0; position < 4; ++position) {
        for (int value = 0; value < 256; ++value) {
            platform::ipv4_address address{{1, 20, 255, 0}};
            address.bytes[position] = static_cast<uint8_t>(value);
            char expected[32];
            std::snprintf(expected, sizeof expected, "%u.%u.%u.%u", address.bytes[0],
                          address.bytes[1], address.bytes[2], address.bytes[3]);
            char text[ADDRESS_TEXT_SIZE];
            format_address_text(address, text);
            ASSERT_STREQ(text, expected) << position << " " << value;
        }
    }
    char widest[ADDRESS_TEXT_SIZE];
    format_address_text(platform::ipv4_address{{255, 255, 255, 255}}, widest);
    EXPECT_STREQ(widest, "255.255.255.255");
}
