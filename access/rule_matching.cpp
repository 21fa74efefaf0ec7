#include "access/rule_matching.h"

#include <cstring>

#include "module/address_text.h"

int match_access_entry(platform::ipv4_address address, const char* rule_text) {
    char address_text[ADDRESS_TEXT_SIZE];
    format_address_text(address, address_text);
    return match_access_rule(address, address_text, rule_text);
}

int rule_needs_lookup(const char* rule_text) {
    return rule_text && (rule_text[0] == '/' || std::strchr(rule_text, ':')) ? 1 : 0;
}

int match_access_rule(platform::ipv4_address address, const char* address_text,
                      const char* rule_text) {
    if (!rule_text || rule_text[0] == '\0')
        return 0;
    if (rule_text[0] == '/')
        return match_host_name(address, rule_text);
    // A rule with both ':' and a later '/' is a hardware-address rule, compared whole.
    if (std::strchr(rule_text, ':'))
        return match_mac_address(address_text, rule_text);
    if (std::strchr(rule_text, '/'))
        return match_subnet(rule_text, address_text);
    return std::strcmp(rule_text, address_text) == 0 ? 1 : 0;
}
