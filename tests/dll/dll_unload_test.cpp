// The plug-in as the host loads it: the DLL can be unloaded right after qvl_close even while
// a client thread is still draining its connection, and loaded again afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "module/calling_convention.h"
#include "module/host_record.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "tests/support/recording_host.h"
#include "tests/support/server_fixture.h"
#include "tests/support/test_client.h"

namespace {

const char* g_plugin_path = nullptr;
const char* const MAIN_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador";
const char* const LIST_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador\\AccessList";

using open_fn = int32_t(QVL_STDCALL*)(int32_t, int32_t, int32_t, const void*);
using void_fn = int32_t(QVL_STDCALL*)();

uint16_t configure_free_port() {
    uint16_t port = free_loopback_port();
    platform::registry_key list, main;
    platform::registry_create(LIST_KEY, &list);
    platform::registry_create(MAIN_KEY, &main);
    uint32_t value = port;  // stored little-endian, as the plug-in reads it
    platform::registry_set(main, "Port", platform::REGISTRY_BINARY, &value, sizeof value);
    return port;
}

struct loaded_plugin {
    void* library = platform::library_load(g_plugin_path);
    open_fn open = library
                       ? reinterpret_cast<open_fn>(platform::library_symbol(library, "qvl_open"))
                       : nullptr;
    void_fn start = library
                        ? reinterpret_cast<void_fn>(platform::library_symbol(library, "qvl_start"))
                        : nullptr;
    void_fn close = library
                        ? reinterpret_cast<void_fn>(platform::library_symbol(library, "qvl_close"))
                        : nullptr;
};

}  // namespace

TEST(plugin_dll, unloads_while_a_client_drain_runs_and_loads_again) {
    uint16_t port = configure_free_port();
    for (int round = 0; round < 2; ++round) {
        recording_host_clear();
        loaded_plugin plugin;
        ASSERT_NE(plugin.library, nullptr) << platform::library_error();
        ASSERT_TRUE(plugin.open && plugin.start && plugin.close);
        uint8_t record[HOST_RECORD_SIZE];
        recording_host_build_record(record);
        ASSERT_EQ(plugin.open(0, 0, 0, record), 1);
        ASSERT_EQ(plugin.start(), 1);

        test_client client;
        ASSERT_TRUE(client.connect(port));
        ASSERT_TRUE(client.log_in("ChgThisPw"));
        // "close" ends the conversation; the client stays, so the server drains its socket.
        ASSERT_TRUE(client.send_text("ev\nclose\n"));
        ASSERT_TRUE(recording_host_wait_for_events(4, TEST_READ_TIMEOUT_MS));
        EXPECT_EQ(recording_host_events().back().event_text, "Disconnect");
        // The drain begins by shutting down the server's sending side: once the client sees
        // that end, the connection has left the table and its thread is draining, which the
        // close below does not cut short.
        ASSERT_TRUE(client.wait_closed());

        EXPECT_EQ(plugin.close(), 1);
        platform::library_free(plugin.library);
        // The draining thread still holds the module; it lets go when its drain ends, which
        // the client's close brings about.
        EXPECT_TRUE(platform::library_is_loaded("Sendrel.dll"));
        client.close();
        EXPECT_TRUE(poll_until([] { return !platform::library_is_loaded("Sendrel.dll"); },
                               TEST_READ_TIMEOUT_MS));
    }
    platform::registry_delete_key(LIST_KEY);
    platform::registry_delete_key(MAIN_KEY);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PLUGIN-DLL\n", argv[0]);
        return 2;
    }
    g_plugin_path = argv[1];
    return RUN_ALL_TESTS();
}
