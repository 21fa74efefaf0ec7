// The wire protocol as a client sees it, against the real server on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "access/admission.h"
#include "module/settings.h"
#include "tests/support/server_fixture.h"

using lines = std::vector<std::string>;

class client_protocol_test : public server_test {};

TEST_F(client_protocol_test, payload_lines_attach_to_the_next_event_and_close_ends) {
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.log_in(TEST_PASSWORD));
    ASSERT_TRUE(client.send_text("payload a\npayload b\nev\nsecond\nclose\nnot raised\n"));
    EXPECT_TRUE(client.wait_closed());
    EXPECT_EQ(wait_event_lines(5),
              (lines{"Incoming connection|127.0.0.1", "Accepted connection|127.0.0.1",
                     "ev|127.0.0.1|a|b", "second|127.0.0.1", "Disconnect|127.0.0.1"}));
}

TEST_F(client_protocol_test, payload_table_keeps_nine_and_odd_lines_are_events) {
    std::string text;
    for (int i = 1; i <= 11; ++i)
        text += "payload p" + std::to_string(i) + "\n";
    text += "ev\npayload\nPayload x\nclose\r\n\nlast\nclose";
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.log_in(TEST_PASSWORD));
    ASSERT_TRUE(client.send_text(text));
    recording_host_wait_for_events(8, TEST_READ_TIMEOUT_MS);
    lines events = event_lines();
    ASSERT_GE(events.size(), 7u);
    EXPECT_EQ(events[2], "ev|127.0.0.1|p1|p2|p3|p4|p5|p6|p7|p8|p9");
    EXPECT_EQ(events[3], "payload|127.0.0.1");
    EXPECT_EQ(events[4], "Payload x|127.0.0.1");
    EXPECT_EQ(events[5], "close\r|127.0.0.1");
    EXPECT_EQ(events[6], "|127.0.0.1");  // an empty line is an empty event
    // "close" without a line end stays pending here: it is not a five-byte send of its own.
    client.close();
    EXPECT_EQ(wait_event_lines(9).back(), "Disconnect|127.0.0.1");
}

// The address "127.0.0.1" takes 10 of the block's 1023 bytes for texts, one of which stays
// free: a payload of 1011 characters fits, one of 1012 drops its event, and the next event
// starts afresh with the address and its own payloads only.
TEST_F(client_protocol_test, payloads_fill_the_block_to_its_edge_and_a_dropped_event_leaves_none) {
    std::string fits(1011, 'f'), too_long(1012, 't');
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.log_in(TEST_PASSWORD));
    ASSERT_TRUE(client.send_text("payload " + fits + "\nfull\npayload " + too_long +
                                 "\npayload after\ndropped\npayload x\nnext\nplain\nclose\n"));
    EXPECT_TRUE(client.wait_closed());
    EXPECT_EQ(wait_event_lines(6),
              (lines{"Incoming connection|127.0.0.1", "Accepted connection|127.0.0.1",
                     "full|127.0.0.1|" + fits, "next|127.0.0.1|x", "plain|127.0.0.1",
                     "Disconnect|127.0.0.1"}));
}

TEST_F(client_protocol_test, a_bare_five_byte_close_ends_the_conversation) {
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.log_in(TEST_PASSWORD));
    ASSERT_TRUE(client.send_text("close"));
    EXPECT_TRUE(client.wait_closed());
    EXPECT_EQ(wait_event_lines(3).back(), "Disconnect|127.0.0.1");
}

TEST_F(client_protocol_test, greeting_with_cr_lf_and_upper_case_digest_are_accepted) {
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    std::string cookie = client.greet("vellumorchid\r\n");
    ASSERT_EQ(cookie.size(), 4u);
    EXPECT_EQ(cookie.find_first_not_of("0123456789abcdef"), std::string::npos);
    std::string answer = login_answer(cookie, TEST_PASSWORD);
    for (char& c : answer)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(client.send_text(answer + "\r\n"));
    EXPECT_EQ(client.receive_once(), "accept\n");
}

TEST_F(client_protocol_test, capitalised_greeting_gets_no_cookie) {
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.send_text("Vellumorchid\n"));
    EXPECT_EQ(client.receive_until_closed(), "");
    EXPECT_EQ(wait_event_lines(2),
              (lines{"Incoming connection|127.0.0.1", "Disconnect|127.0.0.1"}));
}

TEST_F(client_protocol_test, wrong_password_closes_without_reply_and_counts) {
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    EXPECT_FALSE(client.log_in("wrong"));
    EXPECT_TRUE(client.wait_closed());
    EXPECT_EQ(wait_event_lines(3), (lines{"Incoming connection|127.0.0.1",
                                          "Incorrect Password|127.0.0.1", "Disconnect|127.0.0.1"}));
}

TEST_F(client_protocol_test, an_event_in_the_digest_receive_is_lost) {
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    std::string cookie = client.greet();
    ASSERT_FALSE(cookie.empty());
    ASSERT_TRUE(client.send_text(login_answer(cookie, TEST_PASSWORD) + "\nlost\n"));
    EXPECT_EQ(client.receive_once(), "accept\n");
    ASSERT_TRUE(client.send_text("kept\n"));
    EXPECT_EQ(wait_event_lines(3).back(), "kept|127.0.0.1");
}

TEST_F(client_protocol_test, disconnect_after_cookie_is_a_failed_login_and_blocks_the_address) {
    {
        test_client client;
        ASSERT_TRUE(client.connect(port(), "127.0.0.7"));
        ASSERT_FALSE(client.greet().empty());
    }
    EXPECT_EQ(wait_event_lines(3), (lines{"Incoming connection|127.0.0.7",
                                          "Incorrect Password|127.0.0.7", "Disconnect|127.0.0.7"}));
    recording_host_clear();
    // The offender is refused at once: no bytes, only "Blocked connection".
    test_client again;
    ASSERT_TRUE(again.connect(port(), "127.0.0.7"));
    EXPECT_EQ(again.receive_until_closed(), "");
    EXPECT_EQ(wait_event_lines(1), (lines{"Blocked connection|127.0.0.7"}));
    // Another address is still welcome, and its success lifts the block.
    test_client other;
    ASSERT_TRUE(other.connect(port(), "127.0.0.8"));
    EXPECT_TRUE(other.log_in(TEST_PASSWORD));
    test_client third;
    ASSERT_TRUE(third.connect(port(), "127.0.0.7"));
    EXPECT_TRUE(third.log_in(TEST_PASSWORD));
}

TEST_F(client_protocol_test, a_refused_address_gets_no_bytes_and_no_disconnect) {
    settings.allow_all = 0;  // and the access list is empty
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    EXPECT_EQ(client.receive_until_closed(), "");
    EXPECT_EQ(wait_event_lines(1), (lines{"Blocked connection|127.0.0.1"}));
    stop_server();
    EXPECT_EQ(event_lines(), (lines{"Blocked connection|127.0.0.1"}));
}

TEST_F(client_protocol_test, over_long_line_is_dropped_and_the_connection_goes_on) {
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.log_in(TEST_PASSWORD));
    ASSERT_TRUE(client.send_text(std::string(200000, 'x') + "\nafter\n"));
    EXPECT_EQ(wait_event_lines(3).back(), "after|127.0.0.1");
}

TEST_F(client_protocol_test, cookies_differ_between_clients_of_the_same_moment) {
    // Each failed login blocks only its own address, so every client comes from another one.
    std::vector<std::string> cookies;
    for (int i = 1; i <= 8; ++i) {
        test_client client;
        std::string local = "127.0.1." + std::to_string(i);
        ASSERT_TRUE(client.connect(port(), local.c_str()));
        cookies.push_back(client.greet());
        ASSERT_EQ(cookies.back().size(), 4u);
    }
    std::sort(cookies.begin(), cookies.end());
    EXPECT_GT(std::unique(cookies.begin(), cookies.end()) - cookies.begin(), 4);
}
