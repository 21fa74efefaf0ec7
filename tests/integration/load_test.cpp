// Many clients at once: every event arrives exactly once and in order per connection, and a
// stop with everybody connected or busy completes.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "module/settings.h"
#include "platform/thread.h"
#include "server/listener.h"
#include "tests/support/server_fixture.h"

namespace {

const std::string CLOSE_NOTICE("close\n\0", 7);

#if defined(_WIN32)
constexpr int CLIENTS = 200;
constexpr int EVENTS_PER_CLIENT = 500;
#else
constexpr int CLIENTS = 200;
constexpr int EVENTS_PER_CLIENT = 500;
#endif

// Each client from an address of its own: one address may have only a few logins under way.
std::string address_of(int id) {
    return "127.1." + std::to_string(id / 250) + "." + std::to_string(id % 250 + 1);
}

void stream_events(uint16_t port, int id, std::atomic<int>* failures) {
    test_client client;
    if (!client.connect(port, address_of(id).c_str()) || !client.log_in(TEST_PASSWORD)) {
        ++*failures;
        return;
    }
    std::string text;
    for (int seq = 0; seq < EVENTS_PER_CLIENT; ++seq) {
        text += "payload p" + std::to_string(seq) + "\n";
        text += "c" + std::to_string(id) + "-" + std::to_string(seq) + "\n";
        if (text.size() > 4000) {
            if (!client.send_text(text))
                ++*failures;
            text.clear();
        }
    }
    text += "close\n";
    if (!client.send_text(text) || !client.wait_closed(60000))
        ++*failures;
}

}  // namespace

class load_test : public server_test {};

TEST_F(load_test, every_event_of_many_clients_arrives_once_and_in_order) {
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int id = 0; id < CLIENTS; ++id)
        clients.emplace_back(stream_events, port(), id, &failures);
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(failures.load(), 0);

    std::map<int, int> next_seq;
    int client_events = 0, disconnects = 0;
    for (const recorded_event& event : recording_host_events()) {
        if (event.event_text == "Disconnect")
            ++disconnects;
        if (event.event_text[0] != 'c')
            continue;
        int id = 0, seq = 0;
        ASSERT_EQ(std::sscanf(event.event_text.c_str(), "c%d-%d", &id, &seq), 2);
        EXPECT_EQ(seq, next_seq[id]) << event.event_text;
        next_seq[id] = seq + 1;
        auto payloads = event.payloads();
        ASSERT_EQ(payloads.size(), 2u);
        EXPECT_EQ(payloads[0], address_of(id));
        EXPECT_EQ(payloads[1], "p" + std::to_string(seq));
        ++client_events;
    }
    EXPECT_EQ(client_events, CLIENTS * EVENTS_PER_CLIENT);
    EXPECT_EQ(disconnects, CLIENTS);
}

TEST_F(load_test, stop_with_every_client_connected_completes) {
    std::vector<std::unique_ptr<test_client>> clients;
    for (int i = 0; i < CLIENTS; ++i) {
        clients.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(clients.back()->connect(port()));
        ASSERT_TRUE(clients.back()->log_in(TEST_PASSWORD));
    }
    stop_server();
    for (auto& client : clients)
        EXPECT_EQ(client->receive_until_closed(), CLOSE_NOTICE);
    EXPECT_EQ(count_traces("One or more client threads did not exit"), 0u);
    EXPECT_EQ(count_traces("Server Stopped"), 1u);
}

// The stop comes while clients log in, stream, leave and stay. Each thread comes from an
// address of its own. What a broken stop would break: every client still logged in gets the
// close notice, the stop stays within its waits, every client thread ends, and every
// connection that was announced is ended with its "Disconnect".
TEST_F(load_test, stop_while_clients_log_in_stream_and_leave) {
    settings.disable_abuse_protection = 1;  // the failed logins must not block the others
    constexpr int THREADS = 12;
    std::atomic<bool> done{false};
    std::atomic<int> staying{0}, notices_missed{0};
    std::vector<std::thread> clients;
    for (int id = 0; id < THREADS; ++id) {
        clients.emplace_back([this, id, &done, &staying, &notices_missed] {
            std::string local = "127.0.2." + std::to_string(id + 1);
            for (int round = 0; !done.load(); ++round) {
                test_client client;
                if (!client.connect(port(), local.c_str()))
                    return;
                switch ((id + round) % 4) {
                    case 0:  // leaves during the login
                        client.greet();
                        break;
                    case 1:  // streams and says goodbye
                        if (client.log_in(TEST_PASSWORD))
                            client.send_text("payload x\nev\nclose\n");
                        break;
                    case 2:  // streams and drops the line
                        if (client.log_in(TEST_PASSWORD))
                            client.send_text("ev\nev\n");
                        client.reset();
                        break;
                    default:  // logs in and stays until the stop, however long that takes
                        if (client.log_in(TEST_PASSWORD)) {
                            ++staying;
                            if (client.receive_until_closed(120000) != CLOSE_NOTICE)
                                ++notices_missed;
                        }
                        break;
                }
            }
        });
    }
    // Every thread ends up staying after at most three rounds: stop when half of them have.
    EXPECT_TRUE(poll_until([&] { return staying.load() >= THREADS / 2; }, 60000));
    stop_server();
    done = true;
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(notices_missed.load(), 0);
    EXPECT_EQ(count_traces("Server Stopped"), 1u);
    EXPECT_EQ(count_traces("One or more client threads did not exit"), 0u);
    EXPECT_EQ(count_traces("TIMEOUT waiting for ListenThread"), 0u);
    ASSERT_TRUE(poll_until([] { return platform::threads_running() == 0; }, 30000));
    std::map<std::string, int> open_per_address;
    for (const recorded_event& event : recording_host_events()) {
        if (event.event_text == "Incoming connection")
            ++open_per_address[event.payloads().at(0)];
        if (event.event_text == "Disconnect")
            --open_per_address[event.payloads().at(0)];
    }
    // At least the clients that stayed were announced, each from its own address.
    EXPECT_GE(open_per_address.size(), static_cast<size_t>(THREADS / 2));
    for (const auto& [address, open] : open_per_address)
        EXPECT_EQ(open, 0) << address;
}
