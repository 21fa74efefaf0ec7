#include <atomic>
#include <cstdio>
#include <cstring>

#include "access/rule_matching.h"
#include "module/address_text.h"

namespace {

std::atomic<host_lookup> g_lookup{nullptr};

struct host_name_search {
    const char* address_text;
};

bool resolved_address_equals_client(platform::ipv4_address resolved, void* context) {
    auto* search = static_cast<host_name_search*>(context);
    char text[ADDRESS_TEXT_SIZE];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", resolved.bytes[0], resolved.bytes[1],
                  resolved.bytes[2], resolved.bytes[3]);
    return std::strcmp(text, search->address_text) == 0;
}

}  // namespace

int match_host_name(platform::ipv4_address address, const char* rule_text) {
    // The name is everything after the leading '/'; a further '/' belongs to the name.
    const char* name = rule_text + 1;
    char address_text[ADDRESS_TEXT_SIZE];
    format_address_text(address, address_text);
    host_name_search search{address_text};
    host_lookup lookup = g_lookup.load(std::memory_order_acquire);
    if (!lookup)
        lookup = platform::net_resolve_ipv4;
    return lookup(name, resolved_address_equals_client, &search) ? 1 : 0;
}

void match_host_name_set_lookup(host_lookup lookup) {
    g_lookup.store(lookup, std::memory_order_release);
}
