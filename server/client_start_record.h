// What the accept thread hands to each client thread. Made by the accept thread; owned by the
// client thread from its start, which releases it when the connection is finished. Its members
// go in reverse order: the connection's place among those waiting for their login or those
// being refused, then the socket library's use (the socket is closed by then), then the table.
#pragma once

#include <cstdint>

#include "platform/net.h"
#include "server/connection_id.h"
#include "server/connection_table.h"
#include "server/pending_logins.h"
#include "server/refusal_places.h"
#include "server/socket_claim.h"
#include "server/socket_library_use.h"

struct client_start_record {
    platform::socket_handle socket;
    platform::ipv4_address address;  // the peer's 4 address bytes as accept delivered them
    uint32_t accepted_tick = 0;  // when accept delivered it: the login deadline counts from here
    connection_id id = NO_CONNECTION;  // its name in the table
    connection_table_ref table;        // the table of the run that accepted the connection
    socket_library_ref library;        // the run's use of the socket library
    pending_login pending;             // counts the connection until its login succeeds or it ends
    refusal_place refused;             // set when admission refused it already: it is only told so
    socket_claim claim;                // lets the close notice take the socket away
};
