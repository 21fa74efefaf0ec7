// Drives one whole client conversation over a loopback socket pair with fuzzer-chosen bytes
// in fuzzer-chosen chunks: either from the first byte on (greeting and login), or after a
// correct login (the command loop).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "access/admission.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "module/host_record.h"
#include "module/settings.h"
#include "server/client_protocol.h"
#include "server/connection_table.h"
#include "tools/protocol_client.h"

namespace {

int32_t QVL_STDCALL count_event(const char* text, const uint8_t* block, int32_t length, int32_t) {
    // Touch everything the host would read, so the sanitizers see a bad block.
    volatile size_t sum = std::strlen(text);
    for (int32_t i = 0; i < length; ++i)
        sum = sum + block[i];
    return 0;
}

bool make_pair(platform::socket_handle* server_side, platform::socket_handle* client_side) {
    platform::socket_handle listener = platform::net_tcp_socket();
    platform::ipv4_address loopback{{127, 0, 0, 1}};
    bool ok = platform::net_bind(listener, loopback, 0) && platform::net_listen(listener);
    uint16_t port = platform::net_local_port(listener);
    *client_side = platform::net_tcp_socket();
    ok = ok && platform::net_connect(*client_side, loopback, port);
    platform::ipv4_address peer;
    *server_side = ok ? platform::net_accept(listener, &peer) : platform::INVALID_SOCKET_HANDLE;
    platform::net_close(listener);
    return ok && *server_side != platform::INVALID_SOCKET_HANDLE;
}

unsigned run_client(void* argument) {
    return client_main(static_cast<client_start_record*>(argument));
}

struct set_up_once {
    set_up_once() {
        uint16_t granted;
        platform::net_startup(0x0202, &granted);
        uint8_t record[HOST_RECORD_SIZE];
        host_record_compose(record, nullptr, count_event);
        host_record_store(record);
        settings_password_set("fuzz");
        settings.allow_all = 1;
        settings.disable_abuse_protection = 1;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static set_up_once once;
    if (size < 1)
        return 0;
    bool after_login = data[0] & 1;
    ++data;
    --size;

    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    platform::socket_handle server_side, client_side;
    if (!make_pair(&server_side, &client_side))
        return 0;
    conn_table_add(*table, server_side, "127.0.0.1");
    auto* record = new client_start_record{server_side, {{127, 0, 0, 1}}, table, {}};
    platform::thread_handle thread = platform::thread_start(run_client, record);
    conn_table_set_thread(*table, server_side, thread.duplicate());

    if (!after_login || client_log_in(client_side, "fuzz")) {
        // Chunks: a length byte, then up to that many bytes.
        while (size > 0) {
            size_t chunk = 1 + data[0] % 64;
            ++data;
            --size;
            if (chunk > size)
                chunk = size;
            if (chunk > 0 && platform::net_send(client_side, data, static_cast<int>(chunk)) <= 0)
                break;
            data += chunk;
            size -= chunk;
        }
    }
    platform::net_shutdown_send(client_side);
    char discard[256];
    platform::net_set_recv_timeout(client_side, 5000);
    while (platform::net_recv(client_side, discard, sizeof discard) > 0) {
    }
    platform::net_close(client_side);
    thread.wait(platform::WAIT_FOREVER);
    conn_table_teardown(*table);
    return 0;
}
