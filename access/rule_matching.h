// Judging one client address against one access rule.
//
// A rule is a text; its form alone selects its kind, tested in this order:
//   empty                       never matches
//   first character '/'         host name: the name after the '/' is resolved (anew on every
//                               call) and each resolved address compared as dotted text
//   ':' anywhere                hardware address: the client machine's adapter address,
//                               asked for over NetBIOS, compared ignoring ASCII letter case
//   '/' anywhere (not first)    subnet: textual cut of dot-separated parts for /0, /8, /16,
//                               /24, /32, then an exact comparison
//   anything else               exact: equal to the client's address text byte for byte
//
// Every function returns 1 for a match and 0 otherwise; a lookup that fails is a plain 0.
// Nothing throws. They keep no state and write nothing shared, so any number of threads may
// match at once; they take rule texts, not entries, so callers copy the texts out of the
// access list first and hold no lock here. Host-name and hardware-address rules block the
// calling thread for as long as the lookup takes (seconds, with no limit of our own).
//
// address is the client's IPv4 address in network order; address_text its dotted form as
// format_address_text writes it.
#pragma once

#include "platform/net.h"

int match_access_entry(platform::ipv4_address address, const char* rule_text);

// The same for a caller that has formed the address text already (admission forms it once
// for all the rules it tries).
int match_access_rule(platform::ipv4_address address, const char* address_text,
                      const char* rule_text);

// 1 for the rule kinds that look something up (host name, hardware address): matching them
// may block for seconds.
int rule_needs_lookup(const char* rule_text);

// The rule kinds that need more than one comparison. rule_text is the whole rule.
int match_host_name(platform::ipv4_address address, const char* rule_text);
// Works on copies of TEXT_FIELD_MAX bytes: a rule longer than TEXT_FIELD_MAX - 1 (199)
// characters never matches. Such a rule cannot come from the dialog or the registry, and
// cutting it short could leave a different prefix length (even /0, which admits everyone).
int match_subnet(const char* rule_text, const char* address_text);
int match_mac_address(const char* address_text, const char* rule_text);

// Host-name rules resolve through platform::net_resolve_ipv4. Tests and the fuzzer may put
// a lookup of their own in its place (nullptr restores the platform's); swapped atomically.
using host_lookup = int (*)(const char* name, platform::address_visitor found, void* context);
void match_host_name_set_lookup(host_lookup lookup);
