// What the settings dialog's live connection list costs the server: logins per second with
// 200 idle clients connected, the settings dialog closed and open by turns, in one run. Each
// login adds a connection and its end removes it, and both rebuild the whole list (201 lines)
// on the dialog thread while the connection table's lock is held.
//
// Windows only, with a display: the real plug-in file is loaded as the host loads it.
//   WINEPREFIX=/tmp/bench-prefix scripts/wine-display-run.sh
//       out/win32/bench/bench_dialog_logins.exe out/win32/Sendrel.dll [LOGINS] [IDLE]
#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/support/load_client.h"
#include "module/calling_convention.h"
#include "module/host_record.h"
#include "platform/library.h"
#include "platform/registry.h"

#ifdef _WIN32
namespace {

using open_fn = int32_t(QVL_STDCALL*)(int32_t, int32_t, int32_t, const void*);
using void_fn = int32_t(QVL_STDCALL*)();
using info_fn = int32_t(QVL_STDCALL*)(int32_t, int32_t, int32_t);

int32_t QVL_STDCALL quiet_trigger(const char*, const uint8_t*, int32_t, int32_t) {
    return 1;
}

int32_t QVL_STDCALL copy_translate(const char* text, char* out, int32_t size) {
    std::snprintf(out, static_cast<size_t>(size), "%s", text);
    return 1;
}

uint16_t configure_port() {
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    uint16_t port = static_cast<uint16_t>(20000 + now % 20000);
    platform::registry_key list, main;
    platform::registry_create("Software\\Quorvel3\\HardPlugins\\Plexador\\AccessList", &list);
    platform::registry_create("Software\\Quorvel3\\HardPlugins\\Plexador", &main);
    uint32_t value = port;
    platform::registry_set(main, "Port", platform::REGISTRY_BINARY, &value, sizeof value);
    value = 1;
    platform::registry_set(main, "AllowAll", platform::REGISTRY_BINARY, &value, sizeof value);
    const char* password = "ChgThisPw";
    platform::registry_set(main, "Password", platform::REGISTRY_SZ, password, 10);
    return port;
}

// Logins per second over `count` logins, each connection closed right after its login.
double logins_per_second(uint16_t port, int count) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        platform::socket_handle socket = load_connect(port);
        if (socket == platform::INVALID_SOCKET_HANDLE || !load_log_in(socket, "ChgThisPw")) {
            std::fprintf(stderr, "login %d failed\n", i);
            std::exit(1);
        }
        load_close(socket);
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return count / elapsed.count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PLUGIN [LOGINS] [IDLE]\n", argv[0]);
        return 2;
    }
    int logins = argc > 2 ? std::atoi(argv[2]) : 300;
    int idle_count = argc > 3 ? std::atoi(argv[3]) : 200;
    uint16_t port = configure_port();
    void* library = platform::library_load(argv[1]);
    if (!library) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    auto find = [&](const char* name) { return platform::library_symbol(library, name); };
    auto open = reinterpret_cast<open_fn>(find("qvl_open"));
    auto start = reinterpret_cast<void_fn>(find("qvl_start"));
    auto close = reinterpret_cast<void_fn>(find("qvl_close"));
    auto config = reinterpret_cast<void_fn>(find("qvl_config"));
    auto info = reinterpret_cast<info_fn>(find("qvl_info"));
    uint8_t record[HOST_RECORD_SIZE];
    host_record_compose(record, copy_translate, quiet_trigger);
    if (!open || !open(0, 0, 0, record) || !start()) {
        std::fprintf(stderr, "the plug-in did not start on port %u\n", port);
        return 1;
    }
    std::vector<platform::socket_handle> idle;
    for (int i = 0; i < idle_count; ++i) {
        platform::socket_handle socket = load_connect(port);
        if (socket == platform::INVALID_SOCKET_HANDLE || !load_log_in(socket, "ChgThisPw")) {
            std::fprintf(stderr, "idle client %d failed\n", i);
            return 1;
        }
        idle.push_back(socket);
    }
    std::printf("%d idle clients, %d logins per phase\n", idle_count, logins);
    double sums[2] = {0, 0};
    for (int round = 0; round < 2; ++round) {
        for (int open_dialog = 0; open_dialog < 2; ++open_dialog) {
            if (open_dialog) {
                config();
                for (int i = 0; i < 2000 && !FindWindowA(nullptr, "Sendrel"); ++i)
                    Sleep(5);
                if (!FindWindowA(nullptr, "Sendrel")) {
                    std::fprintf(stderr, "the settings dialog did not show\n");
                    return 1;
                }
            }
            double rate = logins_per_second(port, logins);
            sums[open_dialog] += rate;
            std::printf("round %d, dialog %s: %.1f logins/s\n", round + 1,
                        open_dialog ? "open  " : "closed", rate);
            std::fflush(stdout);
            if (open_dialog)
                info(4, 0, 0);
        }
    }
    std::printf("ratio open/closed: %.2f\n", sums[1] / sums[0]);
    for (platform::socket_handle socket : idle)
        load_close(socket);
    close();
    platform::library_free(library);
    return 0;
}
#else
int main() {
    std::printf("bench_dialog_logins: needs the Windows build and a display\n");
    return 0;
}
#endif
