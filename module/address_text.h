// address_text: an IPv4 address as dotted decimal text, the four bytes in order, each in
// decimal without leading zeros (as inet_ntoa writes it), at most 15 characters. Written into
// a caller's buffer, so any thread may call it.
#pragma once

#include "platform/net.h"

constexpr int ADDRESS_TEXT_SIZE = 16;

void format_address_text(platform::ipv4_address address, char out[ADDRESS_TEXT_SIZE]);
