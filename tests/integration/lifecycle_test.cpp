// The host's view of the plug-in: open, start, stop, info and close, through the entry points.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "access/access_list.h"
#include "module/host_record.h"
#include "module/settings.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "plugin/entry_points.h"
#include "server/listener.h"
#include "server/login_cookies.h"
#include "tests/support/recording_host.h"
#include "tests/support/test_client.h"

namespace {

const char* const MAIN_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador";
const char* const LIST_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador\\AccessList";

int g_message_boxes = 0;
int count_message_box(const char*, const char*) {
    ++g_message_boxes;
    return 1;
}

class lifecycle_test : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::message_box_set_hook(count_message_box);
        g_message_boxes = 0;
        platform::registry_delete_key(LIST_KEY);
        platform::registry_delete_key(MAIN_KEY);
        recording_host_build_record(record_);
        settings.port = free_loopback_port();
    }
    void TearDown() override {
        qvl_close();
        platform::registry_delete_key(LIST_KEY);
        platform::registry_delete_key(MAIN_KEY);
        platform::message_box_set_hook(nullptr);
    }
    // Opens the plug-in; the empty registry leaves the port chosen in SetUp.
    void open() {
        int32_t port = settings.port;
        ASSERT_EQ(qvl_open(0, 0, 0, record_), 1);
        settings.port = port;
    }
    uint8_t record_[HOST_RECORD_SIZE];
};

}  // namespace

TEST_F(lifecycle_test, a_refused_record_loads_nothing) {
    settings_password_forget();
    int32_t size = 111;
    std::memcpy(record_, &size, sizeof size);
    EXPECT_EQ(qvl_open(0, 0, 0, record_), 0);
    std::string password;
    EXPECT_FALSE(settings_password_copy(&password));
}

TEST_F(lifecycle_test, open_loads_the_defaults_and_start_serves_with_them) {
    open();
    std::string password;
    ASSERT_TRUE(settings_password_copy(&password));
    EXPECT_EQ(password, "ChgThisPw");
    ASSERT_EQ(qvl_start(), 1);
    test_client client;
    ASSERT_TRUE(client.connect(static_cast<uint16_t>(settings.port.load())));
    EXPECT_TRUE(client.log_in("ChgThisPw"));
}

TEST_F(lifecycle_test, a_second_start_is_a_no_op_and_stop_is_always_fine) {
    open();
    EXPECT_EQ(qvl_stop(), 1);  // not running: nothing to do
    ASSERT_EQ(qvl_start(), 1);
    uint16_t port = server_listening_port();
    EXPECT_EQ(qvl_start(), 1);
    EXPECT_EQ(server_listening_port(), port);
    EXPECT_EQ(qvl_stop(), 1);
    EXPECT_EQ(server_listening_port(), 0);
    EXPECT_EQ(qvl_stop(), 1);
}

TEST_F(lifecycle_test, a_start_on_a_taken_port_fails_and_a_later_one_succeeds) {
    open();
    // The holder takes a port the system picks, so no other program can have it already.
    platform::socket_handle holder = platform::net_tcp_socket();
    ASSERT_TRUE(platform::net_bind_any(holder, 0));
    ASSERT_TRUE(platform::net_listen(holder));
    settings.port = platform::net_local_port(holder);
    ASSERT_NE(settings.port.load(), 0);
    EXPECT_EQ(qvl_start(), 0);
    EXPECT_EQ(g_message_boxes, 0);
    platform::net_close(holder);
    EXPECT_EQ(qvl_start(), 1);
}

TEST_F(lifecycle_test, info_is_always_fine) {
    open();
    EXPECT_EQ(qvl_info(4, 0, 0), 1);
    EXPECT_EQ(qvl_info(0, 1, 2), 1);
}

TEST_F(lifecycle_test, close_stops_the_server_empties_the_list_and_allows_a_new_open) {
    open();
    ASSERT_NE(access_list_append("10.0.0.1"), nullptr);
    ASSERT_EQ(qvl_start(), 1);
    test_client client;
    ASSERT_TRUE(client.connect(static_cast<uint16_t>(settings.port.load())));
    ASSERT_TRUE(client.log_in("ChgThisPw"));
    EXPECT_EQ(qvl_close(), 1);
    EXPECT_EQ(client.receive_until_closed(), std::string("close\n\0", 7));
    access_rules_copy rules;
    ASSERT_EQ(access_list_copy_rules(&rules), 1);
    EXPECT_EQ(rules.count(), 0u);

    open();
    ASSERT_EQ(qvl_start(), 1);
    test_client again;
    ASSERT_TRUE(again.connect(static_cast<uint16_t>(settings.port.load())));
    EXPECT_TRUE(again.log_in("ChgThisPw"));
}

// The cookie of a login that succeeded is not sent again after a restart of the host: the
// close keeps the used cookies in the registry, and the next open takes them back; a close
// with nothing remembered leaves them as they are.
TEST_F(lifecycle_test, used_cookies_outlive_the_process) {
    login_cookies_reset();
    open();
    ASSERT_EQ(qvl_start(), 1);
    test_client client;
    ASSERT_TRUE(client.connect(server_listening_port()));
    ASSERT_TRUE(client.log_in(DEFAULT_PASSWORD));
    client.close();
    std::vector<uint16_t> used(USED_COOKIES_REMEMBERED);
    used.resize(used_cookies_export(used.data(), USED_COOKIES_REMEMBERED));
    ASSERT_EQ(used.size(), 1u);
    qvl_close();
    login_cookies_reset();  // as in a new process
    qvl_close();            // one that closes before its open (or after a refused one)
    open();
    std::vector<uint16_t> restored(USED_COOKIES_REMEMBERED);
    restored.resize(used_cookies_export(restored.data(), USED_COOKIES_REMEMBERED));
    EXPECT_EQ(restored, used);
    login_cookies_reset();
}
