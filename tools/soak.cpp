// Soak run: clients connect, log in (some with a wrong password), stream events and leave,
// while the host starts and stops the plug-in every few seconds. At the end it reports the
// events sent and received, and the process's resident memory at the start and the end.
// Every event of a connection that the client ended with its own "close" (and that the
// server did not end with its close notice) must have arrived, once and in order.
//
//   soak [SECONDS [CLIENTS [CYCLE_MS]]]     defaults: 300 8 3000
//
// Exit code 0 when nothing was lost, 1 otherwise.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "module/host_record.h"
#include "module/settings.h"
#include "platform/net.h"
#include "platform/process_memory.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "plugin/entry_points.h"
#include "tools/protocol_client.h"

namespace {

constexpr int MAX_CLIENTS = 64;

struct client_slot {
    uint32_t round = 0;
    uint32_t received = 0;
    uint32_t out_of_order = 0;
};

std::mutex g_slots_lock;
client_slot g_slots[MAX_CLIENTS];
std::atomic<uint64_t> g_events_raised{0};

int32_t QVL_STDCALL soak_trigger(const char* text, const uint8_t*, int32_t, int32_t) {
    ++g_events_raised;
    unsigned client, round, seq;
    if (std::sscanf(text, "c%u-%u-%u", &client, &round, &seq) != 3 || client >= MAX_CLIENTS) {
        return 0;
    }
    std::lock_guard<std::mutex> hold(g_slots_lock);
    client_slot& slot = g_slots[client];
    // A conversation the stop cut short may still raise the rest of its last chunk after the
    // client has moved on to its next one: such late events are not the new round's.
    if (round < slot.round)
        return 0;
    if (round > slot.round)
        slot = client_slot{round, 0, 0};
    if (seq != slot.received)
        ++slot.out_of_order;
    ++slot.received;
    return 0;
}

struct totals {
    std::atomic<uint64_t> connections{0}, refused{0}, wrong_passwords{0}, completed{0}, noticed{0},
        events_sent{0}, events_expected{0}, events_missing{0}, out_of_order{0};
};

std::atomic<uint16_t> g_port{0};

// One connection; returns when it is over.
void one_connection(int client, uint32_t round, totals& sum) {
    platform::socket_handle socket = platform::net_tcp_socket();
    uint8_t local_last = static_cast<uint8_t>(10 + client);  // each client its own address
    platform::net_bind(socket, platform::ipv4_address{{127, 0, 0, local_last}}, 0);
    platform::net_set_recv_timeout(socket, 15000);
    if (!platform::net_connect(socket, platform::ipv4_address{{127, 0, 0, 1}}, g_port.load())) {
        ++sum.refused;
        platform::net_close(socket);
        platform::sleep_ms(50);
        return;
    }
    ++sum.connections;
    bool wrong = (round % 10) == 3;
    if (client_log_in(socket, wrong ? "not-the-password" : "soak-pw")) {
        uint32_t count = 1 + (round * 7919u + client) % 200;
        std::string text;
        for (uint32_t seq = 0; seq < count; ++seq) {
            text += "payload p" + std::to_string(seq) + "\nc" + std::to_string(client) + "-" +
                    std::to_string(round) + "-" + std::to_string(seq) + "\n";
        }
        text += "close\n";
        sum.events_sent += count;
        bool sent = client_send_all(socket, text.data(), text.size());
        std::string rest;
        char buffer[256];
        int received;
        while ((received = platform::net_recv(socket, buffer, sizeof buffer)) > 0) {
            rest.append(buffer, static_cast<size_t>(received));
        }
        // The server ends a conversation it finished with an orderly close and nothing
        // sent; a stop sends its notice, or resets the connection when it closes a socket
        // with unread data, which may swallow the notice.
        bool ended_by_client = sent && received == 0 && rest.empty();
        if (!ended_by_client) {
            ++sum.noticed;  // the server stopped during the conversation
        } else {
            ++sum.completed;
            sum.events_expected += count;
            std::lock_guard<std::mutex> hold(g_slots_lock);
            const client_slot& slot = g_slots[client];
            uint32_t arrived = slot.round == round ? slot.received : 0;
            if (arrived < count)
                sum.events_missing += count - arrived;
            sum.out_of_order += slot.round == round ? slot.out_of_order : 0;
        }
    } else if (wrong) {
        ++sum.wrong_passwords;
    }
    platform::net_close(socket);
}

uint16_t free_port() {
    platform::socket_handle probe = platform::net_tcp_socket();
    platform::net_bind(probe, platform::ipv4_address{{127, 0, 0, 1}}, 0);
    uint16_t port = platform::net_local_port(probe);
    platform::net_close(probe);
    return port;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t seconds = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 300;
    int clients = argc > 2 ? std::atoi(argv[2]) : 8;
    uint32_t cycle_ms = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 3000;
    if (clients < 1 || clients > MAX_CLIENTS)
        clients = 8;
    uint16_t granted;
    platform::net_startup(0x0202, &granted);

    uint8_t record[HOST_RECORD_SIZE];
    host_record_compose(record, nullptr, soak_trigger);
    if (qvl_open(0, 0, 0, record) != 1)
        return 1;
    settings_password_set("soak-pw");
    settings.port = free_port();
    g_port = static_cast<uint16_t>(settings.port.load());

    totals sum;
    std::atomic<bool> done{false};
    std::vector<std::thread> workers;
    for (int client = 0; client < clients; ++client) {
        workers.emplace_back([client, &sum, &done] {
            for (uint32_t round = 1; !done.load(); ++round)
                one_connection(client, round, sum);
        });
    }

    uint32_t started = platform::tick_count();
    uint64_t memory_start = 0;
    int cycles = 0;
    while (platform::tick_count() - started < seconds * 1000u) {
        if (qvl_start() != 1)
            std::fprintf(stderr, "start failed\n");
        platform::sleep_ms(cycle_ms);
        qvl_stop();
        ++cycles;
        if (cycles == 1)
            memory_start = platform::process_resident_bytes();
        platform::sleep_ms(200);
    }
    done = true;
    for (auto& worker : workers)
        worker.join();
    qvl_close();
    uint64_t memory_end = platform::process_resident_bytes();

    std::printf("soak: %u s, %d clients, %d start/stop cycles\n", seconds, clients, cycles);
    std::printf("connections %llu (refused while stopped %llu), wrong passwords %llu\n",
                static_cast<unsigned long long>(sum.connections.load()),
                static_cast<unsigned long long>(sum.refused.load()),
                static_cast<unsigned long long>(sum.wrong_passwords.load()));
    std::printf("conversations ended by the client %llu, ended by the stop %llu\n",
                static_cast<unsigned long long>(sum.completed.load()),
                static_cast<unsigned long long>(sum.noticed.load()));
    std::printf(
        "events sent %llu, raised %llu; of client-ended conversations: expected %llu, "
        "missing %llu, out of order %llu\n",
        static_cast<unsigned long long>(sum.events_sent.load()),
        static_cast<unsigned long long>(g_events_raised.load()),
        static_cast<unsigned long long>(sum.events_expected.load()),
        static_cast<unsigned long long>(sum.events_missing.load()),
        static_cast<unsigned long long>(sum.out_of_order.load()));
    std::printf("resident memory after the first cycle %.1f MiB, at the end %.1f MiB\n",
                memory_start / 1048576.0, memory_end / 1048576.0);
    return sum.events_missing == 0 && sum.out_of_order == 0 ? 0 : 1;
}
