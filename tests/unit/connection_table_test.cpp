// The connection table: its count and all-closed signal, socket ownership between the stop
// and the client threads, and the close-all walk.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/thread.h"
#include "server/connection_table.h"
#include "tests/support/test_client.h"

namespace {

const std::string CLOSE_NOTICE("close\n\0", 7);

std::string read_all(platform::socket_handle socket) {
    std::string all;
    char buffer[64];
    platform::net_set_recv_timeout(socket, 5000);
    for (int received; (received = platform::net_recv(socket, buffer, sizeof buffer)) > 0;) {
        all.append(buffer, static_cast<size_t>(received));
    }
    return all;
}

// A client thread stand-in: waits until its socket is woken, then removes its entry and
// closes what it owns, as the real one does.
struct fake_client {
    connection_table_ref table;
    platform::socket_handle socket;
    std::atomic<int> owner{-1};
};

unsigned fake_client_main(void* argument) {
    auto* client = static_cast<fake_client*>(argument);
    char buffer[16];
    while (platform::net_recv(client->socket, buffer, sizeof buffer) > 0) {
    }
    socket_owner owner = conn_table_remove(*client->table, client->socket);
    if (owner != socket_owner::none)
        platform::net_close(client->socket);
    client->owner = static_cast<int>(owner);
    return 0;
}

}  // namespace

TEST(connection_table, the_all_closed_signal_follows_the_count) {
    connection_table_ref table = conn_table_create();
    platform::manual_event* all_closed = conn_table_init(*table);
    ASSERT_NE(all_closed, nullptr);
    EXPECT_TRUE(all_closed->wait(0));
    EXPECT_EQ(conn_table_init(*table), all_closed);  // a second init changes nothing

    ASSERT_EQ(conn_table_add(*table, 101, "10.0.0.1"), 1);
    ASSERT_EQ(conn_table_add(*table, 102, "10.0.0.2"), 1);
    EXPECT_FALSE(all_closed->wait(0));
    EXPECT_EQ(conn_table_remove(*table, 999), socket_owner::none);  // not listed: nothing
    EXPECT_EQ(conn_table_count(*table), 2u);
    EXPECT_EQ(conn_table_remove(*table, 101), socket_owner::client);
    EXPECT_FALSE(all_closed->wait(0));
    EXPECT_EQ(conn_table_remove(*table, 102), socket_owner::client);
    EXPECT_TRUE(all_closed->wait(0));
    EXPECT_EQ(conn_table_remove(*table, 102), socket_owner::none);

    conn_table_teardown(*table);
    conn_table_teardown(*table);  // a second teardown does nothing
}

TEST(connection_table, close_all_on_an_empty_table_waits_for_nothing) {
    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    conn_table_close_all(*table);
    EXPECT_EQ(conn_table_count(*table), 0u);
    conn_table_teardown(*table);
}

TEST(connection_table, a_connection_without_thread_gets_the_notice_and_stays_listed) {
    connection_table_ref table = conn_table_create();
    platform::manual_event* all_closed = conn_table_init(*table);
    platform::socket_handle server_side, client_side;
    ASSERT_TRUE(make_connected_pair(&server_side, &client_side));
    ASSERT_EQ(conn_table_add(*table, server_side, "127.0.0.1"), 1);

    conn_table_close_all(*table);
    EXPECT_EQ(read_all(client_side), CLOSE_NOTICE);  // the notice, then the close
    EXPECT_EQ(conn_table_count(*table), 1u);
    EXPECT_FALSE(all_closed->wait(0));
    conn_table_teardown(*table);
    platform::net_close(client_side);
}

TEST(connection_table, close_all_wakes_client_threads_and_each_socket_is_closed_once) {
    connection_table_ref table = conn_table_create();
    platform::manual_event* all_closed = conn_table_init(*table);
    constexpr int COUNT = 4;
    fake_client clients[COUNT];
    platform::socket_handle peers[COUNT];
    for (int i = 0; i < COUNT; ++i) {
        ASSERT_TRUE(make_connected_pair(&clients[i].socket, &peers[i]));
        clients[i].table = table;
        ASSERT_EQ(conn_table_add(*table, clients[i].socket, "127.0.0.1"), 1);
        conn_table_set_thread(*table, clients[i].socket,
                              platform::thread_start(fake_client_main, &clients[i]));
    }
    conn_table_close_all(*table);
    EXPECT_TRUE(all_closed->wait(5000));
    conn_table_teardown(*table);
    for (int i = 0; i < COUNT; ++i) {
        EXPECT_EQ(read_all(peers[i]), CLOSE_NOTICE);
        // The thread either finds the socket closed by the notice or closes it itself.
        while (clients[i].owner.load() < 0)
            platform::sleep_ms(5);
        EXPECT_NE(clients[i].owner.load(), static_cast<int>(socket_owner::client));
        platform::net_close(peers[i]);
    }
}

TEST(connection_table, a_removal_after_teardown_touches_nothing_destroyed) {
    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    ASSERT_EQ(conn_table_add(*table, 7, "127.0.0.1"), 1);
    conn_table_teardown(*table);
    EXPECT_EQ(conn_table_remove(*table, 7), socket_owner::none);
    EXPECT_EQ(conn_table_count(*table), 1u);  // teardown leaves the count; init resets it
    conn_table_init(*table);
    EXPECT_EQ(conn_table_count(*table), 0u);
}
