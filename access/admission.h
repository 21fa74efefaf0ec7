// Admission: whether a new client connection may go on to the login, decided from its
// address alone before anything is read from it.
//
// admit_client returns 1 (admitted) or 0 (refused), in this order:
//   1. unless disable_abuse_protection is set, the abuse block (see abuse_state.h) and the
//      repeat-offender record (repeat_offenders.h): the last offender stays refused inside its
//      window, and an address under refusal stays refused, even while allow_all is set;
//   2. allow_all set: admitted;
//   3. the access list: a matching rule admits; the rules that look nothing up (addresses,
//      subnets) are tried before those that look up a host name or a hardware address, which
//      may take seconds;
//   4. otherwise refused (an empty list refuses everyone while allow_all is off).
// One answer serves every refusal. A refusal changes nothing; the caller reports logins
// to both records.
//
// Called by the client threads, several at once, while the dialog and host threads change
// the settings and the list. The switches are read as they are at the moment of the call;
// the rule texts are copied under the list's lock and matched outside it, so host-name and
// hardware-address lookups hold no lock. When memory for that copy cannot be had the client
// is refused. Nothing throws.
#pragma once

#include "access/abuse_state.h"
#include "platform/net.h"

int admit_client(platform::ipv4_address address);

// The same decision as far as it can be taken without a look-up, for the accept thread, which
// must not wait: look_up when only a host-name or hardware-address rule could still admit.
enum class admission_verdict { refused, admitted, look_up };
admission_verdict admit_client_without_lookup(platform::ipv4_address address);
