// flood: what a hostile or careless crowd of clients does to a running server, for the flood
// script (scripts/flood.sh). Every mode prints one summary line of figures.
//
//   flood host PORT                      runs the plug-in in this process on PORT (native
//                                        stand-in for the reference host); a "stop" line or
//                                        the end of input stops it, "restart" stops and
//                                        starts the server, "password TEXT" changes the
//                                        password
//   flood hold PORT COUNT SECONDS [ADDRESSES]   COUNT connections that never send the
//                                        greeting, held SECONDS, from 127.0.0.1 or spread over
//                                        ADDRESSES loopback addresses; how many the server kept
//                                        open and how many it closed at once
//   flood longline PORT PASSWORD COUNT MB    COUNT clients log in and each sends a line of MB
//                                        megabytes without a line feed, then closes
//   flood events PORT PASSWORD COUNT     one client sends COUNT events with nine payloads each
//   flood legit PORT PASSWORD [FROM]     one ordinary client (from 127.0.0.1 or the loopback
//                                        address FROM): log in, one event, close; the time each
//                                        step took
//   flood deadline PORT                  a connection that sends nothing and one that greets and
//                                        then sends nothing: how long after connecting each is
//                                        closed, and what it received
//   flood mixed PORT PASSWORD LOGGED PENDING    LOGGED logged-in idle clients and PENDING
//                                        connections that never greet (from several addresses),
//                                        held until a line on standard input; then how many got
//                                        the close notice
//   flood limit PORT PASSWORD MAX        logs clients in one by one and keeps them idle until
//                                        a connection gets no thread (the server closes it
//                                        without a byte) or MAX are in; then waits for a line
//                                        on its input (sent once the server has stopped) and
//                                        counts the held clients that got the close notice
//   flood guess PORT SECONDS ADDRESSES PARALLEL FIRST   wrong-password logins for SECONDS
//                                        from ADDRESSES addresses taking turns (loopback
//                                        address number FIRST and on), PARALLEL at a time:
//                                        answers sent and connections refused before a cookie,
//                                        in all and per second
//   flood churn PORT PASSWORD ROUNDS     a crowd of addresses with one silent connection each
//                                        fills every place; each round the owner (127.0.251.1)
//                                        greets and holds its cookie while fresh addresses
//                                        arrive until its login gives way; then it logs in with
//                                        the right password: rounds displaced, logins accepted
//                                        or refused and how long they took
//   flood arrival PORT PASSWORD COUNT    COUNT fresh addresses connect as fast as one thread
//                                        can while every place is taken; 0.3 s in, a fresh
//                                        address logs in: its login time, and the rate at which
//                                        the server took the connections in (a probe behind
//                                        them gets its cookie when all were accepted)
//   flood storm PORT SECONDS             silent connections from fresh addresses for SECONDS,
//                                        as fast as one thread can (the host's threads are
//                                        sampled by the script meanwhile)
//   flood sustain PORT PASSWORD RATE DELAY TRIES known|new   a crowd of fresh addresses that
//                                        never pauses, RATE connections a second (the newest
//                                        kept open); meanwhile TRIES times the owner logs in,
//                                        answering DELAY ms after its cookie, trying again until
//                                        in or 10 s have passed: from an address that logged in
//                                        before the crowd came (known), or from one never seen
//                                        (new, a fresh one for each attempt); how many were in
//                                        at the first attempt and within 10 s, the attempts,
//                                        the slowest try
//   flood queue PORT PASSWORD COUNT POSITION known|new   every place taken, then COUNT fresh
//                                        connections as fast as one thread can, the owner's
//                                        the POSITION-th of them; whether the owner logs in
//   flood port                           prints a loopback port that was free a moment ago
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/arrival_counter.h"
#include "bench/support/load_client.h"
#include "module/host_record.h"
#include "module/settings.h"
#include "platform/thread.h"
#include "plugin/entry_points.h"
#include "server/pending_logins.h"
#include "server/trace.h"
#include "tools/memory_report.h"
#include "tools/protocol_client.h"

namespace {

double ms_since(int64_t started_ns) {
    return static_cast<double>(bench_now_ns() - started_ns) / 1e6;
}

std::atomic<long> g_events{0};
std::atomic<long> g_wrong_passwords{0};
std::atomic<long> g_not_compared{0};

int32_t QVL_STDCALL count_event(const char* text, const uint8_t*, int32_t, int32_t) {
    ++g_events;
    if (std::strcmp(text, "Incorrect Password") == 0)
        ++g_wrong_passwords;
    return 1;
}

void count_trace(const char* message, int32_t) {
    if (std::strncmp(message, "Answer not compared", 19) == 0)
        ++g_not_compared;
}

int run_host(uint16_t port) {
    uint8_t record[HOST_RECORD_SIZE];
    host_record_compose(record, nullptr, count_event);
    if (qvl_open(0, 0, 0, record) != 1)
        return 3;
    trace_set_hook(count_trace);
    settings.port = port;
    if (qvl_start() != 1) {
        std::fprintf(stderr, "flood host: cannot listen on port %u\n", port);
        return 2;
    }
    std::printf("listening on port %u\n", port);
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) && std::strncmp(line, "stop", 4) != 0) {
        if (std::strncmp(line, "memory", 6) == 0) {
            std::printf("%s\n", memory_report().c_str());
            std::fflush(stdout);
        }
        // "password TEXT": the owner changes the password, as the settings dialog does.
        if (std::strncmp(line, "password ", 9) == 0) {
            line[std::strcspn(line, "\r\n")] = '\0';
            std::printf("password changed: %d\n", settings_password_set(line + 9) ? 1 : 0);
            std::fflush(stdout);
        }
        if (std::strncmp(line, "restart", 7) == 0) {
            int64_t stopping = bench_now_ns();
            qvl_stop();
            double stop_ms = ms_since(stopping);
            std::printf("restarted: qvl_stop %.0f ms, qvl_start %d\n", stop_ms, qvl_start());
            std::fflush(stdout);
        }
    }
    int64_t started = bench_now_ns();
    qvl_stop();
    double stop_ms = ms_since(started);
    qvl_close();
    std::printf(
        "stopped: qvl_stop %.0f ms, events raised %ld, wrong passwords %ld of which not "
        "compared %ld\n",
        stop_ms, g_events.load(), g_wrong_passwords.load(), g_not_compared.load());
    return 0;
}

// Whether the server has closed the connection: what it sent (a close notice, say) is read
// away, and an orderly close then reads as 0 at once.
bool closed_by_server(platform::socket_handle socket) {
    char buffer[64];
    platform::net_set_nonblocking(socket, true);
    int received;
    while ((received = platform::net_recv(socket, buffer, sizeof buffer)) > 0) {
    }
    platform::net_set_nonblocking(socket, false);
    return received == 0;
}

int run_hold(uint16_t port, int count, int seconds, int addresses) {
    std::vector<platform::socket_handle> sockets;
    int refused = 0;
    int64_t started = bench_now_ns();
    for (int i = 0; i < count; ++i) {
        platform::ipv4_address from = load_loopback_number(addresses > 0 ? i % addresses : 0);
        platform::socket_handle socket = load_connect(port, addresses > 0 ? &from : nullptr);
        if (socket == platform::INVALID_SOCKET_HANDLE) {
            ++refused;
            continue;
        }
        sockets.push_back(socket);
    }
    double connect_ms = ms_since(started);
    // Until the server has taken every connection in: the count of closed ones settles (a
    // host under Wine takes seconds to start a thousand threads).
    size_t closed = 0;
    for (int stable = 0, round = 0; stable < 5 && round < 120; ++round) {
        platform::sleep_ms(1000);
        size_t now = 0;
        for (platform::socket_handle socket : sockets)
            now += closed_by_server(socket);
        stable = now == closed ? stable + 1 : 0;
        closed = now;
    }
    std::printf(
        "holding: connected %zu (refused %d) in %.0f ms, held open %zu, closed by the "
        "server %zu\n",
        sockets.size(), refused, connect_ms, sockets.size() - closed, closed);
    std::fflush(stdout);
    platform::sleep_ms(static_cast<uint32_t>(seconds) * 1000u);
    size_t closed_late = 0;
    for (platform::socket_handle socket : sockets)
        closed_late += closed_by_server(socket);
    for (platform::socket_handle socket : sockets)
        load_close(socket);
    std::printf("released: closed by the server while held %zu\n", closed_late - closed);
    return 0;
}

int run_long_lines(uint16_t port, const char* password, int count, int megabytes) {
    std::vector<std::thread> clients;
    std::atomic<int> logged_in{0}, sent{0}, closed{0};
    int64_t started = bench_now_ns();
    for (int i = 0; i < count; ++i) {
        clients.emplace_back([&] {
            platform::socket_handle socket = load_connect(port);
            if (socket == platform::INVALID_SOCKET_HANDLE || !load_log_in(socket, password)) {
                load_close(socket);
                return;
            }
            ++logged_in;
            std::string chunk(64 * 1024, 'x');
            bool ok = true;
            for (long left = long{megabytes} << 20; ok && left > 0;
                 left -= static_cast<long>(chunk.size())) {
                ok = load_send_all(socket, chunk.data(), chunk.size());
            }
            // The server drops the long line whole and goes on with the next one.
            const char tail[] = "\nafter-long-line\nclose\n";
            if (ok && load_send_all(socket, tail, sizeof tail - 1))
                ++sent;
            closed += load_wait_closed(socket);
            load_close(socket);
        });
    }
    for (std::thread& client : clients)
        client.join();
    std::printf(
        "long lines: %d clients logged in, %d sent %d MB each, %d closed by the server, "
        "%.0f ms\n",
        logged_in.load(), sent.load(), megabytes, closed.load(), ms_since(started));
    return 0;
}

int run_events(uint16_t port, const char* password, long count) {
    platform::socket_handle socket = load_connect(port);
    if (socket == platform::INVALID_SOCKET_HANDLE || !load_log_in(socket, password)) {
        std::printf("events: cannot log in\n");
        load_close(socket);
        return 1;
    }
    std::string one;
    for (int p = 1; p <= 9; ++p)
        one += "payload p" + std::to_string(p) + "\n";
    one += "ev\n";
    constexpr long PER_BATCH = 1000;
    std::string batch;
    for (long i = 0; i < PER_BATCH; ++i)
        batch += one;
    int64_t started = bench_now_ns();
    long sent = 0;
    bool ok = true;
    for (; ok && sent < count; sent += PER_BATCH)
        ok = load_send_all(socket, batch.data(), batch.size());
    ok = ok && load_send_all(socket, "close\n", 6);
    int closed = load_wait_closed(socket);
    double elapsed = ms_since(started);
    load_close(socket);
    std::printf(
        "events: %ld events of 9 payloads sent (%s), closed by the server %s, %.0f ms, "
        "%.0f events/s\n",
        sent, ok ? "all" : "cut short", closed ? "yes" : "no", elapsed,
        static_cast<double>(sent) * 1000.0 / (elapsed > 0 ? elapsed : 1));
    return 0;
}

int run_legit(uint16_t port, const char* password, const char* from_text) {
    platform::ipv4_address from{};
    bool other = from_text && std::sscanf(from_text, "%hhu.%hhu.%hhu.%hhu", &from.bytes[0],
                                          &from.bytes[1], &from.bytes[2], &from.bytes[3]) == 4;
    int64_t started = bench_now_ns();
    platform::socket_handle socket = load_connect(port, other ? &from : nullptr);
    if (socket == platform::INVALID_SOCKET_HANDLE) {
        std::printf("legit: cannot connect\n");
        return 1;
    }
    int logged_in = load_log_in(socket, password);
    double login_ms = ms_since(started);
    const char lines[] = "payload after-flood\nLegitEvent\nclose\n";
    int sent = logged_in && load_send_all(socket, lines, sizeof lines - 1);
    int closed = load_wait_closed(socket);
    double served_ms = ms_since(started);
    load_close(socket);
    std::printf("legit: logged in %s in %.1f ms, event sent %s, served and closed in %.1f ms\n",
                logged_in ? "yes" : "NO", login_ms, sent ? "yes" : "no", closed ? served_ms : -1.0);
    return logged_in && sent && closed ? 0 : 1;
}

// What the server sent until it closed the connection, without waiting: the close notice
// of a stop that has already returned is there to read.
std::string sent_before_close(platform::socket_handle socket) {
    std::string sent;
    char buffer[64];
    platform::net_set_nonblocking(socket, true);
    int received;
    while ((received = platform::net_recv(socket, buffer, sizeof buffer)) > 0)
        sent.append(buffer, static_cast<size_t>(received));
    bool open = received < 0 && platform::net_would_block(platform::net_last_error());
    platform::net_set_nonblocking(socket, false);
    return open ? sent + "(open)" : sent;
}

int run_limit(uint16_t port, const char* password, int most) {
    std::vector<platform::socket_handle> held;
    int64_t started = bench_now_ns();
    const char* end = "every client was served";
    while (static_cast<int>(held.size()) < most) {
        platform::socket_handle socket = load_connect(port);
        if (socket == platform::INVALID_SOCKET_HANDLE) {
            end = "a connect failed";
            break;
        }
        if (!load_log_in(socket, password)) {
            end = sent_before_close(socket).empty() ? "the next connection got no thread"
                                                    : "the next login failed otherwise";
            load_close(socket);
            break;
        }
        held.push_back(socket);
    }
    std::printf("limit: %zu clients logged in and idle in %.0f ms; then %s\n", held.size(),
                ms_since(started), end);
    std::fflush(stdout);
    char line[16];
    if (!std::fgets(line, sizeof line, stdin))
        return 1;
    const std::string notice("close\n\0", 7);
    size_t noticed = 0, open = 0;
    for (platform::socket_handle socket : held) {
        std::string sent = sent_before_close(socket);
        noticed += sent == notice;
        open += sent.size() >= 6 && sent.compare(sent.size() - 6, 6, "(open)") == 0;
        load_close(socket);
    }
    std::printf("limit: of %zu held clients %zu got the close notice, %zu were still open\n",
                held.size(), noticed, open);
    return 0;
}

// Milliseconds until the server closes the connection (after what it sent, into *received),
// or -1 when it does not within a minute.
double ms_until_closed(platform::socket_handle socket, int64_t since_ns, std::string* received) {
    platform::net_set_recv_timeout(socket, 60000);
    char buffer[64];
    int got;
    while ((got = platform::net_recv(socket, buffer, sizeof buffer)) > 0)
        received->append(buffer, static_cast<size_t>(got));
    return got == 0 ? ms_since(since_ns) : -1.0;
}

int run_deadline(uint16_t port) {
    platform::ipv4_address silent_from = load_loopback_number(1000);
    platform::ipv4_address greeting_from = load_loopback_number(1001);
    int64_t silent_started = bench_now_ns();
    platform::socket_handle silent = load_connect(port, &silent_from);
    int64_t greeting_started = bench_now_ns();
    platform::socket_handle greeting = load_connect(port, &greeting_from);
    if (silent == platform::INVALID_SOCKET_HANDLE || greeting == platform::INVALID_SOCKET_HANDLE) {
        std::printf("deadline: cannot connect\n");
        return 1;
    }
    load_send_all(greeting, "vellumorchid\n", 13);
    std::string silent_got, greeting_got;
    double greeting_ms = 0;
    std::thread other(
        [&] { greeting_ms = ms_until_closed(greeting, greeting_started, &greeting_got); });
    double silent_ms = ms_until_closed(silent, silent_started, &silent_got);
    other.join();
    std::printf(
        "deadline: silent connection closed after %.0f ms having received %zu bytes; "
        "greeted-then-silent closed after %.0f ms having received %zu bytes (its cookie)\n",
        silent_ms, silent_got.size(), greeting_ms, greeting_got.size());
    load_close(silent);
    load_close(greeting);
    return 0;
}

// One wrong-password login: 1 when the answer was sent, 0 when the connection was closed
// before its cookie came (refused at admission), -1 when it could not connect.
int guess_once(uint16_t port, const platform::ipv4_address& from) {
    platform::socket_handle socket = load_connect(port, &from);
    if (socket == platform::INVALID_SOCKET_HANDLE)
        return -1;
    int answered = client_answer_challenge(socket, "not-the-password");
    load_wait_closed(socket);
    load_close(socket);
    return answered;
}

int run_guess(uint16_t port, int seconds, int addresses, int parallel, int first) {
    std::atomic<long> turn{0}, answered{0}, refused{0}, failed{0};
    int64_t started = bench_now_ns();
    const int64_t until = started + int64_t{seconds} * 1000000000;
    std::vector<std::thread> guessers;
    for (int i = 0; i < parallel; ++i) {
        guessers.emplace_back([&] {
            while (bench_now_ns() < until) {
                int result = guess_once(port, load_loopback_number(first + turn++ % addresses));
                (result > 0 ? answered : result == 0 ? refused : failed)++;
            }
        });
    }
    for (std::thread& guesser : guessers)
        guesser.join();
    double elapsed_s = ms_since(started) / 1000.0;
    std::printf(
        "guess: %d address(es) in turn, %d at a time, %.1f s: %ld answers sent (%.1f/s), %ld "
        "refused before a cookie (%.1f/s), %ld could not connect\n",
        addresses, parallel, elapsed_s, answered.load(), answered.load() / elapsed_s,
        refused.load(), refused.load() / elapsed_s, failed.load());
    return 0;
}

// The greeting, then the cookie line: 1 when the cookie came.
// Silent connections from fresh addresses, numbered from *next on; the server's closes are
// read away as they come, so the sockets do not pile up.
struct crowd {
    uint16_t port;
    int next;
    std::vector<platform::socket_handle> sockets;
    void arrive(int count) {
        for (int i = 0; i < count; ++i) {
            platform::ipv4_address from = load_loopback_number(next++);
            platform::socket_handle socket = load_connect(port, &from);
            if (socket != platform::INVALID_SOCKET_HANDLE)
                sockets.push_back(socket);
        }
    }
    void drop_closed() {
        std::vector<platform::socket_handle> open;
        for (platform::socket_handle socket : sockets) {
            if (closed_by_server(socket))
                load_close(socket);
            else
                open.push_back(socket);
        }
        sockets.swap(open);
    }
    ~crowd() {
        for (platform::socket_handle socket : sockets)
            load_close(socket);
    }
};

int run_churn(uint16_t port, const char* password, int rounds) {
    crowd fresh{port, 20000, {}};
    fresh.arrive(511);
    platform::ipv4_address owner{{127, 0, 251, 1}};
    int displaced = 0, accepted = 0;
    double login_ms_most = 0;
    for (int round = 0; round < rounds; ++round) {
        platform::socket_handle waiting = load_connect(port, &owner);
        char cookie[CLIENT_COOKIE_SIZE];
        if (waiting == platform::INVALID_SOCKET_HANDLE || !client_greet(waiting, cookie)) {
            std::printf("churn: round %d: the owner got no cookie (refused)\n", round + 1);
            break;
        }
        // Fresh addresses until the owner's waiting login gives way, at most 2000.
        bool gave_way = false;
        for (int batch = 0; batch < 40 && !gave_way; ++batch) {
            fresh.arrive(50);
            platform::sleep_ms(20);
            gave_way = closed_by_server(waiting);
        }
        displaced += gave_way;
        // A login still waiting is finished rightly: left after its cookie, it would be booked
        // as a wrong password against the owner.
        if (!gave_way && client_answer(waiting, cookie, password))
            client_read_acceptance(waiting);
        load_close(waiting);
        fresh.drop_closed();
        int64_t started = bench_now_ns();
        platform::socket_handle again = load_connect(port, &owner);
        int logged_in = again != platform::INVALID_SOCKET_HANDLE && load_log_in(again, password);
        double login_ms = ms_since(started);
        if (again != platform::INVALID_SOCKET_HANDLE)
            load_close(again);
        accepted += logged_in;
        if (logged_in && login_ms > login_ms_most)
            login_ms_most = login_ms;
    }
    std::printf(
        "churn: the owner's waiting login gave way in %d of %d rounds; its next login with the "
        "right password accepted %d times (slowest %.1f ms), refused %d times\n",
        displaced, rounds, accepted, login_ms_most, rounds - accepted);
    return 0;
}

// A fresh address's greeting is answered once the server has taken in every connection that
// came before it. The probe logs in: one that left after its cookie would be booked as a wrong
// password.
bool all_taken_in(uint16_t port, const char* password, int n) {
    platform::ipv4_address from{{127, 0, 252, static_cast<uint8_t>(n)}};
    platform::socket_handle probe = load_connect(port, &from);
    int probed = probe != platform::INVALID_SOCKET_HANDLE && load_log_in(probe, password);
    if (probe != platform::INVALID_SOCKET_HANDLE)
        load_close(probe);
    return probed;
}

int run_arrival(uint16_t port, const char* password, int count) {
    crowd settled{port, 40000, {}};
    settled.arrive(static_cast<int>(MAX_PENDING_TOTAL));
    all_taken_in(port, password, 3);
    crowd fresh{port, 30000, {}};
    int64_t started = bench_now_ns();
    double fresh_login_ms = -1;
    std::thread newcomer([&] {
        platform::sleep_ms(300);
        platform::ipv4_address from{{127, 0, 252, 1}};
        int64_t connecting = bench_now_ns();
        platform::socket_handle socket = load_connect(port, &from);
        if (socket != platform::INVALID_SOCKET_HANDLE && load_log_in(socket, password))
            fresh_login_ms = ms_since(connecting);
        if (socket != platform::INVALID_SOCKET_HANDLE)
            load_close(socket);
    });
    fresh.arrive(count);
    double connected_ms = ms_since(started);
    bool probed = all_taken_in(port, password, 2);
    double taken_ms = ms_since(started);
    newcomer.join();
    std::printf(
        "arrival: %zu fresh addresses connected in %.0f ms; the server had taken them all in "
        "after %.0f ms (%.0f connections/s)%s; a fresh address 0.3 s in logged in %s%.0f ms\n",
        fresh.sockets.size(), connected_ms, taken_ms, (count + 1) * 1000.0 / taken_ms,
        probed ? "" : " (the probe got no cookie)", fresh_login_ms < 0 ? "NOT, " : "after ",
        fresh_login_ms < 0 ? 0.0 : fresh_login_ms);
    return 0;
}

// The owner's address that logs in before the crowd comes, so that the server knows it.
bool owner_logs_in_once(uint16_t port, const char* password, platform::ipv4_address owner) {
    platform::socket_handle socket = load_connect(port, &owner);
    bool in = socket != platform::INVALID_SOCKET_HANDLE && client_log_in(socket, password);
    load_close(socket);
    return in;
}

int run_sustain(uint16_t port, const char* password, int rate, uint32_t delay_ms, int tries,
                bool known) {
    const platform::ipv4_address owner{{127, 0, 251, 2}};
    if (known && !owner_logs_in_once(port, password, owner)) {
        std::printf("sustain: the owner could not log in before the crowd\n");
        return 1;
    }
    std::atomic<bool> going{true};
    std::atomic<long> made{0};
    std::thread crowd_thread([&] {
        constexpr size_t KEPT = 2000;
        std::vector<platform::socket_handle> kept(KEPT, platform::INVALID_SOCKET_HANDLE);
        int64_t started = bench_now_ns();
        long n = 0;
        while (going) {
            long due = static_cast<long>(ms_since(started) * rate / 1000.0);
            if (n >= due) {
                platform::sleep_ms(1);
                continue;
            }
            platform::ipv4_address from =
                load_loopback_number(1000000 + static_cast<int>(n % 10000000));
            platform::socket_handle& slot = kept[static_cast<size_t>(n) % KEPT];
            if (slot != platform::INVALID_SOCKET_HANDLE)
                load_close(slot);
            slot = load_connect(port, &from);
            made = ++n;
        }
        for (platform::socket_handle socket : kept) {
            if (socket != platform::INVALID_SOCKET_HANDLE)
                load_close(socket);
        }
    });
    while (made < 2 * static_cast<long>(MAX_PENDING_TOTAL))
        platform::sleep_ms(10);
    int64_t crowd_started = bench_now_ns();
    long crowd_before = made;
    int first_attempt = 0, within = 0, attempts = 0, next_new = 0;
    double slowest_ms = 0;
    for (int attempt_set = 0; attempt_set < tries; ++attempt_set) {
        int64_t started = bench_now_ns();
        bool in = false;
        for (int attempt = 0; !in && ms_since(started) < 10000; ++attempt) {
            ++attempts;
            platform::ipv4_address from =
                known ? owner
                      : platform::ipv4_address{{127, 0, static_cast<uint8_t>(200 + next_new / 250),
                                                static_cast<uint8_t>(1 + next_new % 250)}};
            ++next_new;
            platform::socket_handle socket = load_connect(port, &from);
            in = socket != platform::INVALID_SOCKET_HANDLE &&
                 client_log_in(socket, password, delay_ms);
            load_close(socket);
            first_attempt += in && attempt == 0;
        }
        within += in;
        if (in && ms_since(started) > slowest_ms)
            slowest_ms = ms_since(started);
    }
    double crowd_rate = (made - crowd_before) * 1000.0 / ms_since(crowd_started);
    going = false;
    crowd_thread.join();
    std::printf(
        "sustain: crowd %d fresh connections/s asked, %.0f/s made; owner %s answering %u ms "
        "after its cookie: in at its first attempt %d of %d, within 10 s %d of %d, %d attempts "
        "in all, slowest login %.0f ms\n",
        rate, crowd_rate, known ? "known" : "never seen", delay_ms, first_attempt, tries, within,
        tries, attempts, slowest_ms);
    return 0;
}

int run_queue(uint16_t port, const char* password, int count, int position, bool known) {
    const platform::ipv4_address owner{{127, 0, 251, 3}};
    if (known && !owner_logs_in_once(port, password, owner)) {
        std::printf("queue: the owner could not log in before the crowd\n");
        return 1;
    }
    crowd settled{port, 40000, {}};
    settled.arrive(static_cast<int>(MAX_PENDING_TOTAL) - 1);
    all_taken_in(port, password, 4);
    std::vector<platform::socket_handle> queued;
    platform::socket_handle mine = platform::INVALID_SOCKET_HANDLE;
    int64_t started = bench_now_ns();
    for (int n = 0; n < count; ++n) {
        if (n == position)
            mine = load_connect(port, &owner);
        platform::ipv4_address from = load_loopback_number(12000000 + n);
        queued.push_back(load_connect(port, &from));
    }
    double connected_ms = ms_since(started);
    bool in = mine != platform::INVALID_SOCKET_HANDLE && client_log_in(mine, password);
    double in_ms = ms_since(started);
    load_close(mine);
    for (platform::socket_handle socket : queued) {
        if (socket != platform::INVALID_SOCKET_HANDLE)
            load_close(socket);
    }
    std::printf(
        "queue: %d fresh connections in %.0f ms, the %s owner %d-th among them: %s "
        "(%.0f ms after the first connected)\n",
        count, connected_ms, known ? "known" : "never seen", position,
        in ? "logged in" : "NOT logged in", in_ms);
    return 0;
}

int run_storm(uint16_t port, int seconds) {
    crowd fresh{port, 1000, {}};
    int64_t until = bench_now_ns() + int64_t{seconds} * 1000000000;
    long connected = 0;
    while (bench_now_ns() < until && fresh.next < 60000) {
        fresh.arrive(100);
        connected += 100;
        fresh.drop_closed();
    }
    std::printf("storm: %ld silent connections from fresh addresses in %d s, %zu still open\n",
                connected, seconds, fresh.sockets.size());
    return 0;
}

int run_mixed(uint16_t port, const char* password, int logged, int pending) {
    std::vector<platform::socket_handle> held;
    int64_t started = bench_now_ns();
    for (int i = 0; i < logged; ++i) {
        platform::socket_handle socket = load_connect(port);
        if (socket == platform::INVALID_SOCKET_HANDLE || !load_log_in(socket, password)) {
            load_close(socket);
            break;
        }
        held.push_back(socket);
    }
    size_t logged_in = held.size();
    // Fewer than the cap from each address, so the server keeps them all.
    for (int i = 0; i < pending; ++i) {
        platform::ipv4_address from = load_loopback_number(2000 + i / 30);
        platform::socket_handle socket = load_connect(port, &from);
        if (socket != platform::INVALID_SOCKET_HANDLE)
            held.push_back(socket);
    }
    std::printf("mixed: %zu logged in and idle, %zu connected without a login, in %.0f ms\n",
                logged_in, held.size() - logged_in, ms_since(started));
    std::fflush(stdout);
    char line[16];
    if (!std::fgets(line, sizeof line, stdin))
        return 1;
    const std::string notice("close\n\0", 7);
    size_t noticed = 0;
    for (platform::socket_handle socket : held) {
        noticed += sent_before_close(socket) == notice;
        load_close(socket);
    }
    std::printf("mixed: %zu of %zu got the close notice\n", noticed, held.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    uint16_t granted;
    platform::net_startup(0x0202, &granted);
    std::string mode = argc > 1 ? argv[1] : "";
    uint16_t port = argc > 2 ? static_cast<uint16_t>(std::atoi(argv[2])) : 0;
    if (mode == "port" && argc == 2) {
        platform::socket_handle probe = platform::net_tcp_socket();
        platform::net_bind(probe, load_loopback(), 0);
        std::printf("%u\n", platform::net_local_port(probe));
        platform::net_close(probe);
        return 0;
    }
    if (mode == "host" && argc == 3)
        return run_host(port);
    if (mode == "hold" && (argc == 5 || argc == 6))
        return run_hold(port, std::atoi(argv[3]), std::atoi(argv[4]),
                        argc == 6 ? std::atoi(argv[5]) : 0);
    if (mode == "longline" && argc == 6)
        return run_long_lines(port, argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    if (mode == "events" && argc == 5)
        return run_events(port, argv[3], std::atol(argv[4]));
    if (mode == "legit" && (argc == 4 || argc == 5))
        return run_legit(port, argv[3], argc == 5 ? argv[4] : nullptr);
    if (mode == "deadline" && argc == 3)
        return run_deadline(port);
    if (mode == "mixed" && argc == 6)
        return run_mixed(port, argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    if (mode == "guess" && argc == 7)
        return run_guess(port, std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                         std::atoi(argv[6]));
    if (mode == "limit" && argc == 5)
        return run_limit(port, argv[3], std::atoi(argv[4]));
    if (mode == "churn" && argc == 5)
        return run_churn(port, argv[3], std::atoi(argv[4]));
    if (mode == "storm" && argc == 4)
        return run_storm(port, std::atoi(argv[3]));
    if (mode == "arrival" && argc == 5)
        return run_arrival(port, argv[3], std::atoi(argv[4]));
    if (mode == "sustain" && argc == 8)
        return run_sustain(port, argv[3], std::atoi(argv[4]),
                           static_cast<uint32_t>(std::atoi(argv[5])), std::atoi(argv[6]),
                           std::string(argv[7]) == "known");
    if (mode == "queue" && argc == 7)
        return run_queue(port, argv[3], std::atoi(argv[4]), std::atoi(argv[5]),
                         std::string(argv[6]) == "known");
    std::fprintf(
        stderr,
        "usage: flood port | host PORT | hold PORT COUNT SECONDS [ADDRESSES] | longline PORT "
        "PASSWORD COUNT MB | events PORT PASSWORD COUNT | legit PORT PASSWORD [FROM] | limit "
        "PORT PASSWORD MAX | deadline PORT | mixed PORT PASSWORD LOGGED PENDING | guess PORT "
        "SECONDS ADDRESSES PARALLEL FIRST | churn PORT PASSWORD ROUNDS | arrival PORT PASSWORD "
        "COUNT | storm PORT SECONDS | sustain PORT PASSWORD RATE DELAY TRIES known|new | queue "
        "PORT PASSWORD COUNT POSITION known|new\n");
    return 1;
}
