// What the accept thread hands to each client thread. Made by the accept thread; owned by the
// client thread from its start, which releases it when the connection is finished.
#pragma once

#include "platform/net.h"
#include "server/connection_table.h"
#include "server/socket_claim.h"

struct client_start_record {
    platform::socket_handle socket;
    platform::ipv4_address address;  // the peer's 4 address bytes as accept delivered them
    connection_table_ref table;      // the table of the run that accepted the connection
    socket_claim claim;              // lets the close notice take the socket away
};
