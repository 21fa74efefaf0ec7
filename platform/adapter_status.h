// The hardware address of a remote machine's network adapter.
//
// adapter_status_query asks the machine at address_text (dotted IPv4 text) for its adapter
// status: on Windows the NetBIOS reset and adapter-status exchange on LANA 0 (NETAPI32
// Netbios); natively the query always fails. Returns 1 and fills the 6 bytes of the adapter
// address, or 0 when the query fails, including an answer that reports success but carries
// fewer than six bytes of status. Blocks for as long as the exchange takes. Any thread.
//
// Tests answer the query themselves with adapter_status_set_override: while an override is
// set, it is called instead of the platform and its answer is used.
#pragma once

#include <cstdint>

namespace platform {

int adapter_status_query(const char* address_text, uint8_t adapter_address[6]);

using adapter_status_override = int (*)(const char* address_text, uint8_t adapter_address[6]);
void adapter_status_set_override(adapter_status_override override_fn);

namespace detail {
int system_adapter_status_query(const char* address_text, uint8_t adapter_address[6]);
}

}  // namespace platform
