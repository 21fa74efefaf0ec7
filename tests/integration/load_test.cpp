// Many clients at once: every event arrives exactly once and in order per connection, and a
// stop with everybody connected or busy completes.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "module/settings.h"
#include "server/listener.h"
#include "tests/support/server_fixture.h"

namespace {

#if defined(_WIN32)
constexpr int CLIENTS = 200;
constexpr int EVENTS_PER_CLIENT = 500;
#else
constexpr int CLIENTS = 200;
constexpr int EVENTS_PER_CLIENT = 500;
#endif

void stream_events(uint16_t port, int id, std::atomic<int>* failures) {
    test_client client;
    if (!client.connect(port) || !client.log_in(TEST_PASSWORD)) {
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
        EXPECT_EQ(payloads[0], "127.0.0.1");
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
        EXPECT_EQ(client->receive_until_closed(), std::string("close\n\0", 7));
    EXPECT_EQ(count_traces("One or more client threads did not exit"), 0u);
    EXPECT_EQ(count_traces("Server Stopped"), 1u);
}

TEST_F(load_test, stop_while_clients_log_in_stream_and_leave) {
    settings.disable_abuse_protection = 1;  // the failed logins must not block the others
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int id = 0; id < 12; ++id) {
        clients.emplace_back([this, id, &done] {
            for (int round = 0; !done.load(); ++round) {
                test_client client;
                if (!client.connect(port()))
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
                    default:  // logs in and stays until the stop
                        if (client.log_in(TEST_PASSWORD))
                            client.receive_until_closed(5000);
                        break;
                }
            }
        });
    }
    platform::sleep_ms(400);
    stop_server();
    done = true;
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(count_traces("Server Stopped"), 1u);
}
