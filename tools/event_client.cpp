// event_client: logs in to a running Sendrel server and sends event strings with payloads.
//
//   event_client [--host ADDR] [--port N] [--password TEXT] [--payload TEXT]... EVENT...
//
// The conversation is the server's event protocol: the greeting word, the cookie line, the
// digest answer, the acceptance line, then the payload and event lines and the end line.
// Failures are reported in plain words on standard error, each with an exit code of its own
// (see usage_text), so scripts can tell a refused connection from a wrong password.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "server/md5.h"

namespace {

using platform::socket_handle;

constexpr int EXIT_OK = 0;
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_CANNOT_CONNECT = 2;
constexpr int EXIT_NOT_ADMITTED = 3;
constexpr int EXIT_WRONG_PASSWORD = 4;
constexpr int EXIT_CLOSE_NOTICE = 5;
constexpr int EXIT_FAILED = 6;

constexpr const char* GREETING_LINE = "vellumorchid\n";
constexpr const char* ACCEPT_LINE = "accept\n";
constexpr const char* END_LINE = "close";
constexpr const char* PAYLOAD_PREFIX = "payload ";
// The server's close notice: "close\n" and a zero byte.
constexpr char CLOSE_NOTICE[] = {'c', 'l', 'o', 's', 'e', '\n', '\0'};
constexpr size_t CLOSE_NOTICE_SIZE = sizeof CLOSE_NOTICE;

constexpr int PAYLOADS_PER_EVENT = 9;
// The server packs the address and the payloads into 1023 bytes, one of which stays free;
// the address takes at most 16 of them.
constexpr size_t PAYLOAD_BYTES_MAX = 1022 - 16;
// How long the login replies and the server's final close may take before we give up.
constexpr uint32_t REPLY_TIMEOUT_MS = 30000;

#ifdef _WIN32
constexpr int ERROR_CONNECTION_REFUSED = 10061;  // WSAECONNREFUSED
constexpr int ERROR_TIMED_OUT = 10060;           // WSAETIMEDOUT
#else
constexpr int ERROR_CONNECTION_REFUSED = ECONNREFUSED;
constexpr int ERROR_TIMED_OUT = EAGAIN;  // a receive time-out ends with EAGAIN here
#endif

const char* usage_text =
    "usage: event_client [options] [--payload TEXT]... EVENT [[--payload TEXT]... EVENT]...\n"
    "       event_client [options] --interactive\n"
    "\n"
    "Logs in to a Sendrel server and sends each EVENT as an event string. Every --payload\n"
    "attaches its TEXT to the next EVENT on the command line, in order (the server keeps at\n"
    "most nine per event; it adds the client's address as the first payload itself):\n"
    "    event_client -p kitchen -p 21.5 \"Temperature\" -p off \"Lights\"\n"
    "\n"
    "Options:\n"
    "  -H, --host ADDR       server address or host name (default 127.0.0.1)\n"
    "  -P, --port N          server port (default 1024)\n"
    "  -w, --password TEXT   login password (default ChgThisPw)\n"
    "  -p, --payload TEXT    a payload for the next EVENT\n"
    "  -i, --interactive     after the EVENTs, send each line of standard input as it is\n"
    "                        (so 'payload TEXT' lines attach payloads); the line 'close' or\n"
    "                        the end of input ends the conversation\n"
    "  -s, --stay            after the EVENTs, stay connected until the server closes the\n"
    "                        connection (it sends its close notice when it stops)\n"
    "  -h, --help            show this text\n"
    "\n"
    "Exit codes: 0 sent and closed; 1 wrong usage; 2 cannot connect (refused, unknown host);\n"
    "3 not admitted (the server closed before its login challenge: blocked address);\n"
    "4 wrong password (the server closed without accepting the login); 5 the server sent its\n"
    "close notice (it is stopping); 6 any other failure (lost connection, no answer).\n";

struct event_request {
    std::string text;
    std::vector<std::string> payloads;
};

struct options {
    std::string host = "127.0.0.1";
    uint16_t port = 1024;
    std::string password = "ChgThisPw";
    std::vector<event_request> events;
    bool interactive = false;
    bool stay = false;
};

void report(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "event_client: %s\n", text.c_str());
    std::fflush(stderr);
}

void say(const std::string& text) {
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

bool parse_port(const char* text, uint16_t* port) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 65535)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// A text the server would not take as one event or one payload, or nullptr when it is fine.
const char* text_problem(const std::string& text, bool is_event) {
    if (text.find('\n') != std::string::npos)
        return "it holds a line feed, which ends a line";
    if (!is_event)
        return nullptr;
    if (text == END_LINE)
        return "the server takes the line 'close' as the end of the conversation";
    if (text.compare(0, std::strlen(PAYLOAD_PREFIX), PAYLOAD_PREFIX) == 0) {
        return "a line that begins with 'payload ' is a payload, not an event";
    }
    return nullptr;
}

// Fills opts from the command line; returns -1 to go on, else the exit code to end with.
int parse_options(int argc, char** argv, options* opts) {
    std::vector<std::string> pending_payloads;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                report("option " + arg + " needs a value (see --help)");
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* text = nullptr;
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            std::string problem_text = arg;
            if (const char* problem = text_problem(problem_text, true)) {
                report("cannot send the event \"" + arg + "\": " + problem);
                return EXIT_USAGE;
            }
            opts->events.push_back({arg, pending_payloads});
            pending_payloads.clear();
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(usage_text, stdout);
            return EXIT_OK;
        } else if (arg == "-H" || arg == "--host") {
            if (!value(&text))
                return EXIT_USAGE;
            opts->host = text;
        } else if (arg == "-P" || arg == "--port") {
            if (!value(&text))
                return EXIT_USAGE;
            if (!parse_port(text, &opts->port)) {
                report(std::string("not a port number (1 to 65535): ") + text);
                return EXIT_USAGE;
            }
        } else if (arg == "-w" || arg == "--password") {
            if (!value(&text))
                return EXIT_USAGE;
            opts->password = text;
        } else if (arg == "-p" || arg == "--payload") {
            if (!value(&text))
                return EXIT_USAGE;
            if (const char* problem = text_problem(text, false)) {
                report(std::string("cannot send the payload \"") + text + "\": " + problem);
                return EXIT_USAGE;
            }
            pending_payloads.push_back(text);
        } else if (arg == "-i" || arg == "--interactive") {
            opts->interactive = true;
        } else if (arg == "-s" || arg == "--stay") {
            opts->stay = true;
        } else {
            report("unknown option " + arg + " (see --help)");
            return EXIT_USAGE;
        }
    }
    if (!pending_payloads.empty()) {
        report("--payload must come before the EVENT it belongs to; the last ones have no event");
        return EXIT_USAGE;
    }
    if (opts->interactive && opts->stay) {
        report("--interactive and --stay do not go together");
        return EXIT_USAGE;
    }
    if (opts->events.empty() && !opts->interactive && !opts->stay) {
        report("no EVENT to send (see --help)");
        return EXIT_USAGE;
    }
    return -1;
}

void warn_about_dropped_payloads(const event_request& event) {
    if (event.payloads.size() > PAYLOADS_PER_EVENT) {
        report("warning: the server keeps only the first nine payloads of \"" + event.text + "\"");
    }
    size_t bytes = 0;
    for (size_t i = 0; i < event.payloads.size() && i < PAYLOADS_PER_EVENT; ++i) {
        bytes += event.payloads[i].size() + 1;
    }
    if (bytes > PAYLOAD_BYTES_MAX) {
        report("warning: the payloads of \"" + event.text +
               "\" are too long together; the server may drop the event");
    }
}

bool parse_dotted(const std::string& text, platform::ipv4_address* address) {
    unsigned parts[4];
    char tail;
    if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &parts[0], &parts[1], &parts[2], &parts[3],
                    &tail) != 4) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (parts[i] > 255)
            return false;
        address->bytes[i] = static_cast<uint8_t>(parts[i]);
    }
    return true;
}

bool keep_first_address(platform::ipv4_address address, void* context) {
    *static_cast<platform::ipv4_address*>(context) = address;
    return true;
}

// Connects to the server; on failure reports why and returns the exit code in *failure.
socket_handle connect_to_server(const options& opts, int* failure) {
    std::string where = opts.host + ":" + std::to_string(opts.port);
    platform::ipv4_address address{};
    if (!parse_dotted(opts.host, &address) &&
        !platform::net_resolve_ipv4(opts.host.c_str(), keep_first_address, &address)) {
        report("unknown host " + opts.host + " (no IPv4 address found)");
        *failure = EXIT_CANNOT_CONNECT;
        return platform::INVALID_SOCKET_HANDLE;
    }
    socket_handle socket = platform::net_tcp_socket();
    if (socket == platform::INVALID_SOCKET_HANDLE) {
        report("cannot create a socket (error " + std::to_string(platform::net_last_error()) + ")");
        *failure = EXIT_FAILED;
        return socket;
    }
    if (!platform::net_connect(socket, address, opts.port)) {
        int error = platform::net_last_error();
        if (error == ERROR_CONNECTION_REFUSED) {
            report("connection refused by " + where + ": no server is listening on that port");
        } else {
            report("cannot connect to " + where + " (error " + std::to_string(error) + ")");
        }
        platform::net_close(socket);
        *failure = EXIT_CANNOT_CONNECT;
        return platform::INVALID_SOCKET_HANDLE;
    }
    return socket;
}

bool send_all(socket_handle socket, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        int result =
            platform::net_send(socket, data.data() + sent, static_cast<int>(data.size() - sent));
        if (result <= 0)
            return false;
        sent += static_cast<size_t>(result);
    }
    return true;
}

enum class read_result { line, closed, failed, timed_out };

// Receives until *received holds a line feed; the line (without it) goes to *line and the
// rest stays in *received.
read_result read_line(socket_handle socket, std::string* received, std::string* line) {
    for (;;) {
        size_t end = received->find('\n');
        if (end != std::string::npos) {
            *line = received->substr(0, end);
            received->erase(0, end + 1);
            return read_result::line;
        }
        if (received->size() > 4096)
            return read_result::failed;
        char buffer[1024];
        int count = platform::net_recv(socket, buffer, sizeof buffer);
        if (count == 0)
            return read_result::closed;
        if (count < 0) {
            return platform::net_last_error() == ERROR_TIMED_OUT ? read_result::timed_out
                                                                 : read_result::failed;
        }
        received->append(buffer, static_cast<size_t>(count));
    }
}

bool parse_cookie(const std::string& line, unsigned* cookie) {
    if (line.size() != 4)
        return false;
    for (char c : line) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    *cookie = static_cast<unsigned>(std::strtoul(line.c_str(), nullptr, 16));
    return true;
}

// Greeting, challenge and answer; returns EXIT_OK once the server has accepted the login.
int log_in(socket_handle socket, const options& opts) {
    std::string where = opts.host + ":" + std::to_string(opts.port);
    std::string received;
    std::string line;
    // A server that has already closed (a blocked address) may reset the greeting: that is
    // read as a refusal below, so the send's own result does not matter.
    send_all(socket, GREETING_LINE);
    switch (read_line(socket, &received, &line)) {
        case read_result::line:
            break;
        case read_result::timed_out:
            report("no login challenge from " + where + " within 30 s");
            return EXIT_FAILED;
        case read_result::closed:
        case read_result::failed:
            report("not admitted: " + where +
                   " closed the connection before its login challenge (this address is not "
                   "allowed, or blocked after a failed login)");
            return EXIT_NOT_ADMITTED;
    }
    unsigned cookie = 0;
    if (!parse_cookie(line, &cookie)) {
        report("unexpected login challenge from " + where + " (is it a Sendrel server?)");
        return EXIT_FAILED;
    }
    char cookie_digits[8];
    std::snprintf(cookie_digits, sizeof cookie_digits, "%04x", cookie & 0xFFFFu);
    std::string digest_input = std::string(cookie_digits) + ":" + opts.password;
    char answer[DIGEST_HEX_SIZE];
    digest_hex(digest_input.c_str(), answer);
    if (!send_all(socket, std::string(answer) + "\n")) {
        report("the connection to " + where + " was lost during the login");
        return EXIT_FAILED;
    }
    switch (read_line(socket, &received, &line)) {
        case read_result::line:
            break;
        case read_result::timed_out:
            report("no answer to the login from " + where + " within 30 s");
            return EXIT_FAILED;
        case read_result::closed:
        case read_result::failed:
            report("wrong password: " + where +
                   " closed the connection without accepting the login (after a failed login "
                   "the server refuses this address for a few seconds)");
            return EXIT_WRONG_PASSWORD;
    }
    if (line + "\n" != ACCEPT_LINE) {
        report("unexpected answer to the login from " + where + ": \"" + line + "\"");
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

// What the server sent after the login, up to its end of the connection.
enum class server_end { closed, close_notice, failed, timed_out };

struct watch_outcome {
    server_end end = server_end::closed;
    std::string unexpected;  // bytes other than the close notice
};

// Reads until the server closes the connection, the receive fails or times out.
watch_outcome watch_server(socket_handle socket) {
    std::string received;
    watch_outcome outcome;
    for (;;) {
        char buffer[1024];
        int count = platform::net_recv(socket, buffer, sizeof buffer);
        if (count > 0) {
            received.append(buffer, static_cast<size_t>(count));
            if (received.size() > 4096)
                received.erase(0, received.size() - 4096);
            continue;
        }
        if (count < 0) {
            outcome.end = platform::net_last_error() == ERROR_TIMED_OUT ? server_end::timed_out
                                                                        : server_end::failed;
        }
        break;
    }
    // The notice is the only thing the server sends after "accept"; a reset right behind it
    // does not make it less of a notice.
    if (received.compare(0, CLOSE_NOTICE_SIZE - 1, CLOSE_NOTICE, CLOSE_NOTICE_SIZE - 1) == 0) {
        outcome.end = server_end::close_notice;
        received.erase(
            0, received.size() >= CLOSE_NOTICE_SIZE ? CLOSE_NOTICE_SIZE : CLOSE_NOTICE_SIZE - 1);
    }
    outcome.unexpected = received;
    return outcome;
}

// Reports how the conversation ended; `finished` says whether we had sent our end line.
int report_end(const watch_outcome& outcome, bool finished, const std::string& where) {
    if (!outcome.unexpected.empty()) {
        report("warning: " + std::to_string(outcome.unexpected.size()) + " unexpected bytes from " +
               where);
    }
    switch (outcome.end) {
        case server_end::close_notice:
            report("the server at " + where +
                   " is stopping: it sent its close notice and closed the connection");
            return EXIT_CLOSE_NOTICE;
        case server_end::closed:
            if (finished)
                return EXIT_OK;
            report("the server at " + where + " closed the connection");
            return EXIT_FAILED;
        case server_end::timed_out:
            report("the server at " + where + " did not close the connection within 30 s");
            return EXIT_FAILED;
        case server_end::failed:
            break;
    }
    report("the connection to " + where + " was lost (error " +
           std::to_string(platform::net_last_error()) + ")");
    return EXIT_FAILED;
}

bool send_event(socket_handle socket, const event_request& event) {
    warn_about_dropped_payloads(event);
    std::string lines;
    for (const std::string& payload : event.payloads)
        lines += PAYLOAD_PREFIX + payload + "\n";
    lines += event.text + "\n";
    if (!send_all(socket, lines))
        return false;
    say("sent event \"" + event.text + "\" with " + std::to_string(event.payloads.size()) +
        (event.payloads.size() == 1 ? " payload" : " payloads"));
    return true;
}

// The server's end of the conversation, watched on a thread of its own while standard input
// is read, so that a close notice is reported as soon as it arrives.
struct watcher {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    watch_outcome outcome;
    std::atomic<bool> end_line_sent{false};
};

int run_interactive(socket_handle socket, const std::string& where) {
    watcher watch;
    std::thread reader([&] {
        watch_outcome outcome = watch_server(socket);
        if (!watch.end_line_sent.load()) {
            // The server ended the conversation while we still read input: report it now
            // rather than after the user's next line. The main thread is blocked reading
            // standard input, so the process ends without running any destructors.
            std::_Exit(report_end(outcome, false, where));
        }
        std::lock_guard<std::mutex> hold(watch.lock);
        watch.outcome = outcome;
        watch.done = true;
        watch.changed.notify_all();
    });
    std::string line;
    bool end_typed = false;
    while (!end_typed && std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        end_typed = line == END_LINE;
        if (end_typed)
            watch.end_line_sent.store(true);
        if (!send_all(socket, line + "\n"))
            break;
    }
    watch.end_line_sent.store(true);
    if (!end_typed)
        send_all(socket, std::string(END_LINE) + "\n");
    bool done;
    {
        std::unique_lock<std::mutex> hold(watch.lock);
        done = watch.changed.wait_for(hold, std::chrono::milliseconds(REPLY_TIMEOUT_MS),
                                      [&] { return watch.done; });
    }
    // Closing the socket wakes the reader if the server never closes its side.
    platform::net_close(socket);
    reader.join();
    if (!done)
        watch.outcome.end = server_end::timed_out;
    return report_end(watch.outcome, true, where);
}

int run(const options& opts) {
    std::string where = opts.host + ":" + std::to_string(opts.port);
    int failure = EXIT_FAILED;
    socket_handle socket = connect_to_server(opts, &failure);
    if (socket == platform::INVALID_SOCKET_HANDLE)
        return failure;
    platform::net_set_recv_timeout(socket, REPLY_TIMEOUT_MS);
    int result = log_in(socket, opts);
    if (result != EXIT_OK) {
        platform::net_close(socket);
        return result;
    }
    say("logged in to " + where);
    // The first event goes only now: anything sent with the login answer would be lost.
    bool sent = true;
    for (const event_request& event : opts.events) {
        if (!send_event(socket, event)) {
            sent = false;
            break;
        }
    }
    if (sent && opts.interactive) {
        platform::net_set_recv_timeout(socket, 0);
        return run_interactive(socket, where);
    }
    if (sent && opts.stay) {
        platform::net_set_recv_timeout(socket, 0);
        say("staying connected until the server closes the connection");
    } else if (sent) {
        sent = send_all(socket, std::string(END_LINE) + "\n");
    }
    // Waiting for the server's close tells us it has taken every line we sent.
    watch_outcome outcome = watch_server(socket);
    platform::net_close(socket);
    return report_end(outcome, sent && !opts.stay, where);
}

}  // namespace

int main(int argc, char** argv) {
    options opts;
    int early = parse_options(argc, argv, &opts);
    if (early >= 0)
        return early;
    uint16_t granted = 0;
    if (!platform::net_startup(0x0202, &granted)) {
        report("the socket library does not start");
        return EXIT_FAILED;
    }
    int result = run(opts);
    platform::net_cleanup();
    return result;
}
