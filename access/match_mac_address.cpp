#include <cstdio>

#include "access/rule_matching.h"
#include "platform/adapter_status.h"

namespace {

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_ascii_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b))
            return false;
    }
    return *a == *b;
}

}  // namespace

int match_mac_address(const char* address_text, const char* rule_text) {
    uint8_t adapter[6];
    // A failed query leaves no adapter text, and no text equals a rule.
    if (!platform::adapter_status_query(address_text, adapter))
        return 0;
    char adapter_text[18];
    std::snprintf(adapter_text, sizeof adapter_text, "%02x:%02x:%02x:%02x:%02x:%02x", adapter[0],
                  adapter[1], adapter[2], adapter[3], adapter[4], adapter[5]);
    return equal_ignoring_ascii_case(adapter_text, rule_text) ? 1 : 0;
}
