// The event server under load, next to a baseline server measured in the same run on the same
// platform: events per second, logins per second, the latency of one event, the time to stop
// with many idle clients, and the resident memory of an idle connection. Every figure is
// printed for both servers with the ratio real / baseline. Nothing is asserted.
//
// The real server runs in this process (server_start on a free port) with a host whose
// trigger_event only counts the load clients' events; the baseline (bench/support) speaks the
// same login and then only counts line feeds. All traffic stays on 127.0.0.1, every loop is
// bounded in count and time, and each measure starts a fresh server.
//
// Options: --event-kib N (bytes of events per throughput run, all clients together), --logins
// N (logins per run, all clients together), --latency-events N, --idle N (idle connections),
// --repeats N (runs of each measure, the two servers taking turns; the median is shown with
// every run, as the figures of a shared machine scatter; the stop takes at most five runs),
// --only events|logins|latency|idle (one measure), --server real|baseline (one server; the
// memory figure is cleanest in a process of its own). Under Wine a socket call costs about a
// hundred times as much, so the Windows build sends fewer events and logins by default.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/arrival_counter.h"
#include "bench/support/baseline_server.h"
#include "bench/support/counting_host.h"
#include "bench/support/load_client.h"
#include "module/settings.h"
#include "platform/net.h"
#include "platform/process_memory.h"
#include "platform/thread.h"
#include "server/listener.h"

namespace {

const char PASSWORD[] = "bench-password";
constexpr size_t SEND_SIZE = 64 * 1024;
constexpr uint32_t ARRIVAL_TIMEOUT_MS = 120000;  // a whole throughput run
constexpr uint32_t SINGLE_EVENT_TIMEOUT_MS = 5000;
constexpr int LATENCY_WARM_UP = 100;
constexpr uint32_t SETTLE_MS = 300;
constexpr int IDLE_RUNS_MAX = 5;

struct bench_plan {
#ifdef _WIN32
    uint64_t event_kib = 8 * 1024;
    int logins = 300;
#else
    uint64_t event_kib = 64 * 1024;
    int logins = 4000;
#endif
    int latency_events = 2000;
    int idle = 800;
    int repeats = 5;
    std::string only;
    bool run_real = true;
    bool run_baseline = true;
};

struct server_under_test {
    const char* name;
    int (*start)();
    uint16_t (*port)();
    void (*stop)();
};

int start_real() {
    settings_password_set(PASSWORD);
    return server_start(0);
}
int start_baseline() {
    return baseline_start(PASSWORD);
}

const server_under_test REAL{"real", start_real, server_listening_port, server_stop};
const server_under_test BASELINE{"baseline", start_baseline, baseline_port, baseline_stop};

double seconds(int64_t ns) {
    return static_cast<double>(ns) / 1e9;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Connects and logs in count clients, one after another; false (and none kept) on failure.
bool log_in_clients(uint16_t port, int count, std::vector<platform::socket_handle>* sockets) {
    for (int i = 0; i < count; ++i) {
        platform::socket_handle socket = load_connect(port);
        if (socket == platform::INVALID_SOCKET_HANDLE || !load_log_in(socket, PASSWORD)) {
            std::printf("  login %d of %d failed\n", i + 1, count);
            load_close(socket);
            for (platform::socket_handle kept : *sockets)
                load_close(kept);
            sockets->clear();
            return false;
        }
        sockets->push_back(socket);
    }
    return true;
}

// One batch of events of line_length bytes each (the line feed included) filling a send.
std::string make_batch(size_t line_length) {
    std::string line(line_length, 'x');
    line[0] = BENCH_EVENT_MARK;
    line[line_length - 1] = '\n';
    std::string batch;
    for (size_t k = 0; k < SEND_SIZE / line_length; ++k)
        batch += line;
    return batch;
}

// Events per second from clients clients, each sending its share in 64 KiB sends; 0 when the
// run failed. The time runs from the first send to the last arrival at the server.
double events_per_second(const server_under_test& server, const bench_plan& plan, int clients,
                         size_t line_length) {
    if (!server.start())
        return 0;
    std::string batch = make_batch(line_length);
    uint64_t batch_events = batch.size() / line_length;
    uint64_t batches = plan.event_kib * 1024 / batch.size() / static_cast<uint64_t>(clients);
    if (batches == 0)
        batches = 1;
    uint64_t total = batches * batch_events * static_cast<uint64_t>(clients);

    std::vector<platform::socket_handle> sockets;
    double rate = 0;
    if (log_in_clients(server.port(), clients, &sockets)) {
        arrivals_reset(total);
        std::atomic<bool> go{false};
        std::vector<std::thread> senders;
        for (platform::socket_handle socket : sockets) {
            senders.emplace_back([&go, &batch, batches, socket] {
                while (!go.load())
                    std::this_thread::yield();
                for (uint64_t b = 0; b < batches; ++b) {
                    if (!load_send_all(socket, batch.data(), batch.size()))
                        return;
                }
            });
        }
        int64_t started = bench_now_ns();
        go.store(true);
        if (arrivals_wait_target(ARRIVAL_TIMEOUT_MS)) {
            rate = static_cast<double>(total) / seconds(arrivals_target_time_ns() - started);
        } else {
            std::printf("  %s: only %llu of %llu events arrived\n", server.name,
                        static_cast<unsigned long long>(arrivals_count()),
                        static_cast<unsigned long long>(total));
        }
        // A stalled server is stopped before the senders are joined: its close frees them.
        if (rate == 0)
            server.stop();
        for (std::thread& sender : senders)
            sender.join();
    }
    for (platform::socket_handle socket : sockets)
        load_close(socket);
    server.stop();
    return rate;
}

// Completed logins per second: clients threads, each connecting, logging in, sending "close"
// and waiting for the server to close, again and again.
double logins_per_second(const server_under_test& server, const bench_plan& plan, int clients) {
    if (!server.start())
        return 0;
    uint16_t port = server.port();
    int each = plan.logins / clients > 0 ? plan.logins / clients : 1;
    std::atomic<int> completed{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int c = 0; c < clients; ++c) {
        workers.emplace_back([&completed, &go, each, port] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < each; ++i) {
                platform::socket_handle socket = load_connect(port);
                bool done = socket != platform::INVALID_SOCKET_HANDLE &&
                            load_log_in(socket, PASSWORD) && load_send_all(socket, "close\n", 6) &&
                            load_wait_closed(socket);
                load_close(socket);
                if (!done)
                    return;
                completed.fetch_add(1);
            }
        });
    }
    int64_t started = bench_now_ns();
    go.store(true);
    for (std::thread& worker : workers)
        worker.join();
    int64_t elapsed = bench_now_ns() - started;
    server.stop();
    if (completed.load() != each * clients) {
        std::printf("  %s: only %d of %d logins completed\n", server.name, completed.load(),
                    each * clients);
    }
    return completed.load() / seconds(elapsed);
}

struct latency_figures {
    double median_us = 0;
    double p99_us = 0;
    int samples = 0;
};

latency_figures summarize(std::vector<double> samples) {
    latency_figures figures;
    if (samples.empty())
        return figures;
    std::sort(samples.begin(), samples.end());
    figures.samples = static_cast<int>(samples.size());
    figures.median_us = samples[samples.size() / 2];
    figures.p99_us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return figures;
}

// One event of 16 bytes on its own: the time from its send to its arrival, in microseconds;
// a negative value when it was not sent or did not arrive.
double one_event_latency(platform::socket_handle socket, uint64_t sequence) {
    char line[32];
    std::snprintf(line, sizeof line, "%c%014llu\n", BENCH_EVENT_MARK,
                  static_cast<unsigned long long>(sequence % 100000000));
    arrivals_arm(arrivals_count() + 1);
    int64_t sent = bench_now_ns();
    if (!load_send_all(socket, line, 16) || !arrivals_wait_target(SINGLE_EVENT_TIMEOUT_MS))
        return -1;
    return (arrivals_target_time_ns() - sent) / 1e3;
}

// Single events sent one at a time by one client of each server. The two servers run side by
// side and take turns event by event, so a disturbance of the machine (other processes, the
// Wine server) falls on both alike.
void event_latency(const bench_plan& plan, latency_figures* real, latency_figures* baseline) {
    std::vector<const server_under_test*> servers;
    if (plan.run_real)
        servers.push_back(&REAL);
    if (plan.run_baseline)
        servers.push_back(&BASELINE);
    std::vector<platform::socket_handle> sockets;
    std::vector<std::vector<double>> samples(servers.size());
    bool ready = true;
    for (const server_under_test* server : servers) {
        ready = ready && server->start() && log_in_clients(server->port(), 1, &sockets);
    }
    arrivals_reset(UINT64_MAX);
    for (int k = 0; ready && k < LATENCY_WARM_UP + plan.latency_events; ++k) {
        for (size_t s = 0; ready && s < sockets.size(); ++s) {
            // The order of the turn alternates, so neither server always follows the other.
            size_t which = (static_cast<size_t>(k) + s) % sockets.size();
            double latency = one_event_latency(sockets[which], static_cast<uint64_t>(k));
            if (latency < 0) {
                std::printf("  %s: event %d did not arrive\n", servers[which]->name, k);
                ready = false;
            } else if (k >= LATENCY_WARM_UP) {
                samples[which].push_back(latency);
            }
        }
    }
    for (platform::socket_handle socket : sockets)
        load_close(socket);
    for (const server_under_test* server : servers)
        server->stop();
    for (size_t s = 0; s < servers.size(); ++s)
        *(servers[s] == &REAL ? real : baseline) = summarize(samples[s]);
}

struct idle_figures {
    double bytes_per_connection = 0;
    double stop_ms = 0;
    int notices = 0;
    bool ok = false;
};

// Resident memory of plan.idle idle logged-in connections, then the time the server takes to
// stop with them all open, and how many clients got the close notice.
idle_figures idle_connections(const server_under_test& server, const bench_plan& plan) {
    idle_figures figures;
    if (!server.start())
        return figures;
    platform::sleep_ms(SETTLE_MS);
    size_t before = platform::process_resident_bytes();
    std::vector<platform::socket_handle> sockets;
    sockets.reserve(static_cast<size_t>(plan.idle));
    if (!log_in_clients(server.port(), plan.idle, &sockets)) {
        server.stop();
        return figures;
    }
    // Each server thread reaches its receive just after it sent "accept".
    platform::sleep_ms(SETTLE_MS);
    size_t after = platform::process_resident_bytes();
    figures.bytes_per_connection =
        (static_cast<double>(after) - static_cast<double>(before)) / plan.idle;

    int64_t started = bench_now_ns();
    server.stop();
    figures.stop_ms = (bench_now_ns() - started) / 1e6;

    static const char notice[] = "close\n";
    for (platform::socket_handle socket : sockets) {
        char got[sizeof notice] = {};
        platform::net_set_recv_timeout(socket, 1000);
        int length = 0;
        while (length < static_cast<int>(sizeof notice)) {
            int received = platform::net_recv(socket, got + length, sizeof notice - length);
            if (received <= 0)
                break;
            length += received;
        }
        if (length == sizeof notice && std::memcmp(got, notice, sizeof notice) == 0) {
            ++figures.notices;
        }
        load_close(socket);
    }
    figures.ok = true;
    return figures;
}

double ratio(double real, double baseline) {
    return baseline > 0 ? real / baseline : 0;
}

void print_pair(const char* what, double real, double baseline, const char* unit,
                const bench_plan& plan) {
    std::printf("%-44s", what);
    if (plan.run_real)
        std::printf("  real %12.1f", real);
    if (plan.run_baseline)
        std::printf("  baseline %12.1f", baseline);
    std::printf(" %s", unit);
    if (plan.run_real && plan.run_baseline)
        std::printf("  ratio %.3f", ratio(real, baseline));
    std::printf("\n");
    std::fflush(stdout);
}

// The median line, then every run, so the spread of a noisy machine shows, and the median
// of the ratios of runs made one right after the other, which a slow change of the machine's
// load disturbs less than the ratio of the medians.
void print_runs(const char* what, const std::vector<double>& real,
                const std::vector<double>& baseline, const char* unit, const bench_plan& plan) {
    print_pair(what, median(real), median(baseline), unit, plan);
    if (real.size() < 2 && baseline.size() < 2)
        return;
    for (const std::vector<double>* runs : {&real, &baseline}) {
        if (runs->empty())
            continue;
        std::printf("    %-8s runs:", runs == &real ? "real" : "baseline");
        for (double value : *runs)
            std::printf(" %.1f", value);
        std::printf("\n");
    }
    if (real.size() == baseline.size()) {
        std::vector<double> ratios;
        for (size_t r = 0; r < real.size(); ++r)
            ratios.push_back(ratio(real[r], baseline[r]));
        std::printf("    median of paired ratios %.3f\n", median(ratios));
    }
    std::fflush(stdout);
}

void run_events(const bench_plan& plan) {
    for (int clients : {1, 16}) {
        for (size_t length : {16u, 64u}) {
            std::vector<double> real, baseline;
            for (int r = 0; r < plan.repeats; ++r) {
                if (plan.run_real)
                    real.push_back(events_per_second(REAL, plan, clients, length));
                if (plan.run_baseline) {
                    baseline.push_back(events_per_second(BASELINE, plan, clients, length));
                }
            }
            char what[96];
            std::snprintf(what, sizeof what, "events/s, %2d client%s, %2zu-byte events", clients,
                          clients == 1 ? " " : "s", length);
            print_runs(what, real, baseline, "/s", plan);
        }
    }
}

void run_logins(const bench_plan& plan) {
    for (int clients : {1, 8}) {
        std::vector<double> real, baseline;
        for (int r = 0; r < plan.repeats; ++r) {
            if (plan.run_real)
                real.push_back(logins_per_second(REAL, plan, clients));
            if (plan.run_baseline)
                baseline.push_back(logins_per_second(BASELINE, plan, clients));
        }
        char what[96];
        std::snprintf(what, sizeof what, "logins/s, %d parallel client%s", clients,
                      clients == 1 ? "" : "s");
        print_runs(what, real, baseline, "/s", plan);
    }
}

void run_latency(const bench_plan& plan) {
    latency_figures real, baseline;
    event_latency(plan, &real, &baseline);
    char what[96];
    std::snprintf(what, sizeof what, "latency median (%d events)",
                  std::max(real.samples, baseline.samples));
    print_pair(what, real.median_us, baseline.median_us, "us", plan);
    print_pair("latency 99th percentile", real.p99_us, baseline.p99_us, "us", plan);
}

// The stop is timed in up to IDLE_RUNS_MAX runs per server, taking turns; the memory comes
// from each server's first run only, before a stopped server has left freed memory behind
// for the next one to reuse.
// What the idle runs of one server add up to; the memory is its first run's.
struct idle_totals {
    std::vector<double> stop_ms;
    double bytes_per_connection = 0;
    int notices = 0;

    void add(const idle_figures& figures) {
        if (stop_ms.empty())
            bytes_per_connection = figures.bytes_per_connection;
        stop_ms.push_back(figures.stop_ms);
        notices += figures.notices;
    }
};

void run_idle(const bench_plan& plan) {
    const int runs = std::min(plan.repeats, IDLE_RUNS_MAX);
    idle_totals real, baseline;
    for (int r = 0; r < runs; ++r) {
        if (plan.run_real)
            real.add(idle_connections(REAL, plan));
        if (plan.run_baseline)
            baseline.add(idle_connections(BASELINE, plan));
    }
    char what[96];
    std::snprintf(what, sizeof what, "stop with %d idle clients", plan.idle);
    print_runs(what, real.stop_ms, baseline.stop_ms, "ms", plan);
    std::snprintf(what, sizeof what, "resident bytes per idle connection (%d)", plan.idle);
    print_pair(what, real.bytes_per_connection, baseline.bytes_per_connection, "B", plan);
    if (plan.run_real) {
        std::printf("    real: %d of %d clients got the close notice\n", real.notices,
                    plan.idle * runs);
    }
    if (plan.run_baseline) {
        std::printf("    baseline: %d of %d clients got the close notice\n", baseline.notices,
                    plan.idle * runs);
    }
}

bool parse_options(int argc, char** argv, bench_plan* plan) {
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc)
            return false;
        std::string value = argv[++i];
        long number = std::strtol(value.c_str(), nullptr, 10);
        if (option == "--event-kib" && number > 0) {
            plan->event_kib = static_cast<uint64_t>(number);
        } else if (option == "--logins" && number > 0) {
            plan->logins = static_cast<int>(number);
        } else if (option == "--latency-events" && number > 0) {
            plan->latency_events = static_cast<int>(number);
        } else if (option == "--idle" && number > 0 && number <= 2000) {
            plan->idle = static_cast<int>(number);
        } else if (option == "--repeats" && number > 0 && number <= 20) {
            plan->repeats = static_cast<int>(number);
        } else if (option == "--only" && (value == "events" || value == "logins" ||
                                          value == "latency" || value == "idle")) {
            plan->only = value;
        } else if (option == "--server" && (value == "real" || value == "baseline")) {
            plan->run_real = value == "real";
            plan->run_baseline = value == "baseline";
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bench_plan plan;
    if (!parse_options(argc, argv, &plan)) {
        std::fprintf(stderr,
                     "usage: %s [--event-kib N] [--logins N] [--latency-events N] [--idle N]\n"
                     "          [--repeats N] [--only events|logins|latency|idle]\n"
                     "          [--server real|baseline]\n",
                     argv[0]);
        return 2;
    }
    uint16_t granted = 0;
    if (!platform::net_startup(0x0202, &granted) || !counting_host_install()) {
        std::fprintf(stderr, "cannot start the socket library or install the host\n");
        return 1;
    }
    std::printf(
        "event server against baseline: %llu KiB of events per run, %d logins per run,\n"
        "%d latency events, %d idle connections, median of %d runs\n",
        static_cast<unsigned long long>(plan.event_kib), plan.logins, plan.latency_events,
        plan.idle, plan.repeats);
    std::fflush(stdout);
    // The memory of idle connections first, while the process has no freed memory to reuse.
    if (plan.only.empty() || plan.only == "idle")
        run_idle(plan);
    if (plan.only.empty() || plan.only == "latency")
        run_latency(plan);
    if (plan.only.empty() || plan.only == "events")
        run_events(plan);
    if (plan.only.empty() || plan.only == "logins")
        run_logins(plan);
    platform::net_cleanup();
    return 0;
}
