// login_replay: what whoever watches the owner's logins on the network, or shares the owner's
// network, can do with them, against a running server (scripts/flood.sh starts it). Every mode
// prints one summary line of figures.
//
//   login_replay replay PORT PASSWORD RECORDED TRIES   the owner logs in RECORDED times while
//                      its cookies and answers are recorded; then TRIES connections from fresh
//                      addresses greet, and answer with the recorded answer whenever the server
//                      sends a recorded cookie (closing otherwise): how often a recorded cookie
//                      came, and how often its answer got in
//   login_replay sharing PORT PASSWORD HELD LOGINS   HELD connections from fresh addresses
//                      each hold an unanswered cookie while the owner logs in LOGINS times:
//                      how many of the owner's cookies one of them held
//   login_replay forgotten PORT OLD NEW   17 addresses log in with the password OLD, then wait
//                      for a line on standard input (sent once the host's password is NEW);
//                      the owner logs in with NEW, the 17 each hold 32 silent connections, and
//                      then 5 times a fresh address and 5 times the owner log in with NEW: how
//                      many got in
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "bench/support/load_client.h"
#include "server/md5.h"
#include "tools/protocol_client.h"

namespace {

std::string answer_to(const char* cookie, const char* password) {
    char digest[DIGEST_HEX_SIZE];
    digest_hex((std::string(cookie) + ":" + password).c_str(), digest);
    return std::string(digest) + "\n";
}

// One login from `from` with the password, as whoever watches the network records it: *cookie
// gets the cookie's digits ("" when none came) and *answer the answer line sent. 1 when it got
// in.
int log_in_from(uint16_t port, platform::ipv4_address from, const char* password,
                std::string* cookie = nullptr, std::string* answer = nullptr) {
    platform::socket_handle socket = load_connect(port, &from);
    if (socket == platform::INVALID_SOCKET_HANDLE)
        return 0;
    char digits[CLIENT_COOKIE_SIZE] = {};
    std::string line;
    int in = 0;
    if (client_greet(socket, digits)) {
        line = answer_to(digits, password);
        in = load_send_all(socket, line.data(), line.size()) && client_read_acceptance(socket);
    }
    load_close(socket);
    if (cookie)
        *cookie = digits;
    if (answer)
        *answer = line;
    return in;
}

// Connections held open until the end of a run.
struct held_connections {
    std::vector<platform::socket_handle> sockets;
    ~held_connections() {
        for (platform::socket_handle socket : sockets)
            load_close(socket);
    }
};

int run_replay(uint16_t port, const char* password, int recorded, int tries) {
    std::vector<std::string> answers(65536);
    const platform::ipv4_address owner{{127, 0, 251, 4}};
    std::set<std::string> distinct;
    for (int i = 0; i < recorded; ++i) {
        std::string cookie, answer;
        if (log_in_from(port, owner, password, &cookie, &answer)) {
            answers[std::strtoul(cookie.c_str(), nullptr, 16)] = answer;
            distinct.insert(cookie);
        }
    }
    int came = 0, got_in = 0, greeted = 0;
    for (int i = 0; i < tries; ++i) {
        platform::ipv4_address from = load_loopback_number(60000 + i);
        platform::socket_handle socket = load_connect(port, &from);
        char cookie[CLIENT_COOKIE_SIZE];
        if (socket != platform::INVALID_SOCKET_HANDLE && client_greet(socket, cookie)) {
            ++greeted;
            const std::string& answer = answers[std::strtoul(cookie, nullptr, 16)];
            if (!answer.empty()) {
                ++came;
                got_in += load_send_all(socket, answer.data(), answer.size()) &&
                          client_read_acceptance(socket);
            }
        }
        if (socket != platform::INVALID_SOCKET_HANDLE)
            load_close(socket);
    }
    std::printf(
        "replay: %d logins recorded (%zu cookies); %d tries from fresh addresses, %d got a "
        "cookie: a recorded cookie came %d times, its recorded answer got in %d times\n",
        recorded, distinct.size(), tries, greeted, came, got_in);
    return 0;
}

int run_sharing(uint16_t port, const char* password, int held, int logins) {
    held_connections holders;
    std::set<std::string> held_cookies;
    for (int i = 0; i < held; ++i) {
        platform::ipv4_address from = load_loopback_number(70000 + i);
        platform::socket_handle socket = load_connect(port, &from);
        if (socket == platform::INVALID_SOCKET_HANDLE)
            continue;
        holders.sockets.push_back(socket);
        char cookie[CLIENT_COOKIE_SIZE];
        if (client_greet(socket, cookie))
            held_cookies.insert(cookie);
    }
    const platform::ipv4_address owner{{127, 0, 251, 5}};
    int shared = 0, in = 0;
    for (int i = 0; i < logins; ++i) {
        std::string cookie;
        in += log_in_from(port, owner, password, &cookie);
        shared += static_cast<int>(held_cookies.count(cookie));
    }
    std::printf(
        "sharing: %zu connections held distinct unanswered cookies; of the owner's %d logins (%d "
        "in), %d had a cookie one of them held\n",
        held_cookies.size(), logins, in, shared);
    return 0;
}

int run_forgotten(uint16_t port, const char* old_password, const char* new_password) {
    constexpr int ADDRESSES = 17, EACH = 32, TRIES = 5;
    auto former = [](int n) { return platform::ipv4_address{{127, 0, 253, uint8_t(1 + n)}}; };
    int known = 0;
    for (int n = 0; n < ADDRESSES; ++n)
        known += log_in_from(port, former(n), old_password);
    std::printf("ready: %d addresses logged in with the old password\n", known);
    std::fflush(stdout);
    char line[16];
    if (!std::fgets(line, sizeof line, stdin))
        return 1;
    const platform::ipv4_address owner{{127, 0, 251, 6}};
    int owner_before = log_in_from(port, owner, new_password);
    held_connections silent;
    for (int n = 0; n < ADDRESSES; ++n) {
        for (int i = 0; i < EACH; ++i) {
            platform::ipv4_address from = former(n);
            platform::socket_handle socket = load_connect(port, &from);
            if (socket != platform::INVALID_SOCKET_HANDLE)
                silent.sockets.push_back(socket);
        }
    }
    // Once the server answers a greeting on a fresh connection, it has taken in those before.
    log_in_from(port, load_loopback_number(80000), new_password);
    int fresh_in = 0, owner_in = 0;
    for (int i = 0; i < TRIES; ++i) {
        fresh_in += log_in_from(port, load_loopback_number(80001 + i), new_password);
        owner_in += log_in_from(port, owner, new_password);
    }
    std::printf(
        "forgotten: the owner logged in with the new password %s; with %d formerly known "
        "addresses holding %d silent connections each, fresh addresses got in %d of %d times, "
        "the known owner %d of %d\n",
        owner_before ? "first" : "NOT even first", ADDRESSES, EACH, fresh_in, TRIES, owner_in,
        TRIES);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    uint16_t granted;
    platform::net_startup(0x0202, &granted);
    std::string mode = argc > 1 ? argv[1] : "";
    uint16_t port = argc > 2 ? static_cast<uint16_t>(std::atoi(argv[2])) : 0;
    if (mode == "replay" && argc == 6)
        return run_replay(port, argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    if (mode == "sharing" && argc == 6)
        return run_sharing(port, argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    if (mode == "forgotten" && argc == 5)
        return run_forgotten(port, argv[3], argv[4]);
    std::fprintf(stderr,
                 "usage: login_replay replay PORT PASSWORD RECORDED TRIES | sharing PORT PASSWORD "
                 "HELD LOGINS | forgotten PORT OLD NEW\n");
    return 2;
}
