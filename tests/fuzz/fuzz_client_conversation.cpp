// Drives one whole client conversation over a loopback socket pair with fuzzer-chosen bytes
// in fuzzer-chosen chunks: either from the first byte on (greeting and login), or after a
// correct login (the command loop).
//
// Checked besides the sanitizers: "Incoming connection" comes first and exactly one
// "Disconnect" last; every block holds the address and at most nine payloads, back to back
// and terminated, in at most 1023 bytes; a conversation that never logged in raises at most
// "Incorrect Password" between the two, and only after the greeting; a logged-in one raises
// "Accepted connection" and then the events a plain model of the lines predicts. How the
// stream is cut into receives is the network's choice, and two rules depend on it (bytes after
// a zero byte in one receive are ignored; a receive of exactly "close" ends the conversation),
// so the model is compared in full only where the cut cannot matter, as a prefix where only
// an early "close" can, and up to the first zero byte's line where the ignored bytes begin.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "access/admission.h"
#include "module/host_record.h"
#include "module/module_state.h"
#include "module/settings.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "server/client_protocol.h"
#include "server/connection_table.h"
#include "server/line_assembler.h"
#include "tools/protocol_client.h"

namespace {

const char ADDRESS[] = "127.0.0.1";
const char GREETING[] = "vellumorchid";
constexpr size_t BLOCK_MAX = 1023;
constexpr size_t PAYLOADS_MAX = 9;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "conversation check failed: %s\n", what);
        std::abort();
    }
}

struct event {
    std::string text;
    std::vector<std::string> payloads;  // after the address
    bool operator==(const event& other) const {
        return text == other.text && payloads == other.payloads;
    }
};

std::mutex g_events_lock;
std::vector<event> g_events;

// The host: reads the block as the host would and checks its shape.
int32_t QVL_STDCALL record_event(const char* text, const uint8_t* block, int32_t length,
                                 int32_t device) {
    check(device == DEVICE_NUMBER, "device number");
    check(length >= 1 && static_cast<size_t>(length) <= BLOCK_MAX, "block length");
    size_t count = block[0];
    check(count >= 1 && count <= 1 + PAYLOADS_MAX, "text count");
    std::vector<std::string> texts;
    size_t position = 1;
    for (size_t k = 0; k < count; ++k) {
        const void* zero = std::memchr(block + position, 0, static_cast<size_t>(length) - position);
        check(zero != nullptr, "text terminated within the block");
        size_t end = static_cast<size_t>(static_cast<const uint8_t*>(zero) - block);
        texts.emplace_back(reinterpret_cast<const char*>(block + position), end - position);
        position = end + 1;
    }
    check(position == static_cast<size_t>(length), "no bytes after the last text");
    check(texts[0] == ADDRESS, "the address first");
    std::lock_guard<std::mutex> hold(g_events_lock);
    g_events.push_back({text, std::vector<std::string>(texts.begin() + 1, texts.end())});
    return 0;
}

// The events a logged-in conversation raises for the stream, as the protocol describes it:
// lines end at a line feed (an unfinished last one is no line, one longer than the
// assembler's cap is dropped whole); "close" ends; "payload TEXT" keeps TEXT for the next
// event, nine at most; any other line is an event with the address and the kept texts, and
// is dropped when they do not fit a block; the kept texts go with it either way.
std::vector<event> model_events(const std::string& stream) {
    std::vector<event> events;
    std::vector<std::string> kept;
    for (size_t begin = 0, feed; (feed = stream.find('\n', begin)) != std::string::npos;
         begin = feed + 1) {
        std::string line = stream.substr(begin, feed - begin);
        if (line.size() > LINE_ASSEMBLER_PENDING_MAX)
            continue;
        if (line == "close")
            break;
        if (line.compare(0, 8, "payload ") == 0) {
            if (kept.size() < PAYLOADS_MAX)
                kept.push_back(line.substr(8));
            continue;
        }
        size_t block = 1 + sizeof ADDRESS;
        for (const std::string& text : kept)
            block += text.size() + 1;
        if (block <= BLOCK_MAX)
            events.push_back({line, kept});
        kept.clear();
    }
    return events;
}

// True when a receive of exactly "close" can end the stream only where the model ends it too:
// every "close" in it is a whole line (or the unfinished end).
bool every_close_is_a_whole_line(const std::string& stream) {
    for (size_t at = stream.find("close"); at != std::string::npos;
         at = stream.find("close", at + 1)) {
        bool starts_line = at == 0 || stream[at - 1] == '\n';
        bool ends_line = at + 5 == stream.size() || stream[at + 5] == '\n';
        if (!starts_line || !ends_line)
            return false;
    }
    return true;
}

void check_events(bool after_login, const std::string& stream, const std::string& first_chunk) {
    std::vector<event> events;
    {
        std::lock_guard<std::mutex> hold(g_events_lock);
        events.swap(g_events);
    }
    const event incoming{"Incoming connection", {}};
    const event disconnect{"Disconnect", {}};
    check(events.size() >= 2, "at least two events");
    check(events.front() == incoming, "\"Incoming connection\" first");
    check(events.back() == disconnect, "\"Disconnect\" last");
    const event accepted{"Accepted connection", {}};
    if (!after_login) {
        // The cookie is new with every connection: guessing its answer is out of reach, but
        // should it ever happen the rest is not modelled here.
        if (events.size() > 2 && events[1] == accepted)
            return;
        const event refused{"Incorrect Password", {}};
        bool greeted = stream.compare(0, sizeof GREETING - 1, GREETING) == 0;
        // A first send that holds the whole greeting line is in the first receive.
        char after =
            first_chunk.size() > sizeof GREETING - 1 ? first_chunk[sizeof GREETING - 1] : 'x';
        bool surely_greeted = greeted && (after == '\r' || after == '\n' || after == '\0');
        if (events.size() == 3) {
            check(events[1] == refused && greeted, "only a greeted client's login fails");
        } else {
            check(events.size() == 2 && !surely_greeted, "a greeted client's login fails");
        }
        return;
    }
    check(events[1] == accepted, "\"Accepted connection\" second");
    // A client's own "Disconnect" line is an event like any other: the model tells them apart.
    std::vector<event> raised(events.begin() + 2, events.end() - 1);
    // The receive that holds the first zero byte ignores a part of the stream after it that
    // the cut decides: every line that ends before the zero byte is raised all the same, and
    // what follows it is not modelled.
    size_t zero = stream.find('\0');
    std::string before_zero = stream.substr(0, zero);
    bool cut_short = zero != std::string::npos;
    std::vector<event> expected =
        model_events(cut_short ? before_zero.substr(0, before_zero.rfind('\n') + 1) : stream);
    size_t common = std::min(raised.size(), expected.size());
    check(std::equal(raised.begin(), raised.begin() + static_cast<std::ptrdiff_t>(common),
                     expected.begin()),
          "the events the lines describe");
    if (every_close_is_a_whole_line(before_zero)) {
        check(cut_short ? raised.size() >= expected.size() : raised.size() == expected.size(),
              "every event the lines describe");
    } else if (!cut_short) {
        check(raised.size() <= expected.size(), "no more events than the lines describe");
    }
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
        host_record_compose(record, nullptr, record_event);
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
    check(make_pair(&server_side, &client_side), "a loopback socket pair");
    constexpr connection_id ID = 1;
    conn_table_add(*table, ID, server_side, ADDRESS);
    auto* record = new client_start_record{
        server_side, {{127, 0, 0, 1}}, platform::tick_count(), ID, table, {}, {}, {}, {}};
    platform::thread_handle thread = platform::thread_start(run_client, record);
    check(static_cast<bool>(thread), "the client thread starts");
    conn_table_set_thread(*table, ID, thread.duplicate());

    // What was sent, in one piece, and the first send of it.
    std::string stream, first_chunk;
    if (after_login)
        check(client_log_in(client_side, "fuzz") == 1, "a correct login is accepted");
    // Chunks: a length byte, then up to that many bytes.
    while (size > 0) {
        size_t chunk = 1 + data[0] % 64;
        ++data;
        --size;
        if (chunk > size)
            chunk = size;
        // A send fails only once the server has ended the conversation and closed.
        if (chunk > 0 && !client_send_all(client_side, data, chunk))
            break;
        if (stream.empty())
            first_chunk.assign(reinterpret_cast<const char*>(data), chunk);
        stream.append(reinterpret_cast<const char*>(data), chunk);
        data += chunk;
        size -= chunk;
    }
    platform::net_shutdown_send(client_side);
    char discard[256];
    platform::net_set_recv_timeout(client_side, 5000);
    while (platform::net_recv(client_side, discard, sizeof discard) > 0) {
    }
    platform::net_close(client_side);
    thread.wait(platform::WAIT_FOREVER);
    conn_table_teardown(*table);
    check_events(after_login, stream, first_chunk);
    return 0;
}
