// event_client: logs in to a running Sendrel server and sends event strings with payloads.
//
//   event_client [--host ADDR] [--port N] [--source ADDR] [--password TEXT] [--encoding NAME]
//                [--payload TEXT]... EVENT...
//
// The conversation is the server's event protocol: the greeting word, the cookie line, the
// digest answer, the acceptance line, then the payload and event lines and the end line.
// Failures are reported in plain words on standard error, each with an exit code of its own
// (see usage_text), so scripts can tell a refused connection from a wrong password.
#include <algorithm>
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

#include "platform/argument_encoding.h"
#include "platform/closed_output.h"
#include "platform/error_text.h"
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
// After that, how long a watcher woken from its receive may take to end.
constexpr int WAKE_LIMIT_MS = 2000;
// What we keep of bytes the server sends after the login.
constexpr size_t KEPT_BYTES_MAX = 4096;

#ifdef _WIN32
constexpr int ERROR_CONNECTION_REFUSED = 10061;  // WSAECONNREFUSED
constexpr int ERROR_TIMED_OUT = 10060;           // WSAETIMEDOUT
#else
constexpr int ERROR_CONNECTION_REFUSED = ECONNREFUSED;
constexpr int ERROR_TIMED_OUT = EAGAIN;  // a receive time-out ends with EAGAIN here
#endif

const char* usage_text_format =
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
    "  -S, --source ADDR     connect from this local address (default: the system chooses)\n"
    "  -w, --password TEXT   login password (default ChgThisPw)\n"
    "  -e, --encoding NAME   how the password, EVENTs and payloads become bytes (default %s);\n"
    "                        the server compares bytes, so learned events must agree\n"
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

// A text of the command line: as typed (for reports), where it stands (-1: a default), and
// the bytes it is sent as once the encoding is known.
struct argument_text {
    std::string typed;
    int index = -1;
    std::string bytes;
};

struct event_request {
    argument_text text;
    std::vector<argument_text> payloads;
};

struct options {
    std::string host = "127.0.0.1";
    uint16_t port = 1024;
    std::string source;  // empty: the system chooses
    argument_text password{"ChgThisPw", -1, ""};
    std::string encoding = platform::default_argument_encoding();
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

// Bytes the server would not take as one event or one payload: why, or nullptr when fine.
const char* text_problem(const std::string& text, bool is_event) {
    if (text.find('\n') != std::string::npos)
        return "it holds a line feed, which ends a line";
    if (text.find('\0') != std::string::npos)
        return "it holds a zero byte, after which the server loses what arrives with it";
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
    std::vector<argument_text> pending_payloads;
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
            opts->events.push_back({{arg, i, ""}, pending_payloads});
            pending_payloads.clear();
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-h" || arg == "--help") {
            std::printf(usage_text_format, opts->encoding.c_str());
            std::fflush(stdout);
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
        } else if (arg == "-S" || arg == "--source") {
            if (!value(&text))
                return EXIT_USAGE;
            opts->source = text;
        } else if (arg == "-w" || arg == "--password") {
            if (!value(&text))
                return EXIT_USAGE;
            opts->password = {text, i, ""};
        } else if (arg == "-e" || arg == "--encoding") {
            if (!value(&text))
                return EXIT_USAGE;
            opts->encoding = text;
        } else if (arg == "-p" || arg == "--payload") {
            if (!value(&text))
                return EXIT_USAGE;
            pending_payloads.push_back({text, i, ""});
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

// Sets text's bytes in the encoding; false when they cannot be sent (reported as a usage error).
bool encode_text(argument_text* text, const char* kind, bool is_event, const options& opts) {
    const std::string what = std::string("cannot send the ") + kind + " \"" + text->typed + "\": ";
    switch (platform::encode_argument(text->index, text->typed.c_str(), opts.encoding.c_str(),
                                      &text->bytes)) {
        case platform::encoding_result::written:
            break;
        case platform::encoding_result::not_writable:
            report(what + opts.encoding + " cannot write it (see --encoding)");
            return false;
        case platform::encoding_result::unknown_encoding:
            report("unknown encoding " + opts.encoding);
            return false;
    }
    if (const char* problem = text_problem(text->bytes, is_event)) {
        report(what + problem);
        return false;
    }
    return true;
}

// The texts of the command line as the bytes they are sent as: -1 to go on, else EXIT_USAGE.
int encode_texts(options* opts) {
    if (!encode_text(&opts->password, "password", false, *opts))
        return EXIT_USAGE;
    for (event_request& event : opts->events) {
        if (!encode_text(&event.text, "event", true, *opts))
            return EXIT_USAGE;
        for (argument_text& payload : event.payloads) {
            if (!encode_text(&payload, "payload", false, *opts))
                return EXIT_USAGE;
        }
    }
    return -1;
}

void warn_about_dropped_payloads(const event_request& event) {
    if (event.payloads.size() > PAYLOADS_PER_EVENT) {
        report("warning: the server keeps only the first nine payloads of \"" + event.text.typed +
               "\"");
    }
    size_t bytes = 0;
    for (size_t i = 0; i < event.payloads.size() && i < PAYLOADS_PER_EVENT; ++i) {
        bytes += event.payloads[i].bytes.size() + 1;
    }
    if (bytes > PAYLOAD_BYTES_MAX) {
        report("warning: the payloads of \"" + event.text.typed +
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

// A dotted address or the first IPv4 address of a host name.
bool resolve(const std::string& host, platform::ipv4_address* address) {
    return parse_dotted(host, address) ||
           platform::net_resolve_ipv4(host.c_str(), keep_first_address, address);
}

// Connects to the server; on failure reports why and returns the exit code in *failure.
socket_handle connect_to_server(const options& opts, int* failure) {
    std::string where = opts.host + ":" + std::to_string(opts.port);
    platform::ipv4_address address{};
    if (!resolve(opts.host, &address)) {
        report("unknown host " + opts.host + " (no IPv4 address found)");
        *failure = EXIT_CANNOT_CONNECT;
        return platform::INVALID_SOCKET_HANDLE;
    }
    platform::ipv4_address source{};
    if (!opts.source.empty() && !resolve(opts.source, &source)) {
        report("cannot connect from " + opts.source + " (no IPv4 address found)");
        *failure = EXIT_CANNOT_CONNECT;
        return platform::INVALID_SOCKET_HANDLE;
    }
    socket_handle socket = platform::net_tcp_socket();
    if (socket == platform::INVALID_SOCKET_HANDLE) {
        report("cannot create a socket (" +
               platform::socket_error_text(platform::net_last_error()) + ")");
        *failure = EXIT_FAILED;
        return socket;
    }
    if (!opts.source.empty() && !platform::net_bind(socket, source, 0)) {
        report("cannot connect from " + opts.source + " (" +
               platform::socket_error_text(platform::net_last_error()) + ")");
        platform::net_close(socket);
        *failure = EXIT_CANNOT_CONNECT;
        return platform::INVALID_SOCKET_HANDLE;
    }
    if (!platform::net_connect(socket, address, opts.port)) {
        int error = platform::net_last_error();
        if (error == ERROR_CONNECTION_REFUSED) {
            report("connection refused by " + where + ": no server is listening on that port");
        } else {
            report("cannot connect to " + where + " (" + platform::socket_error_text(error) + ")");
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
// *received keeps what came behind the acceptance line: the start of what is read next.
int log_in(socket_handle socket, const options& opts, std::string* received) {
    std::string where = opts.host + ":" + std::to_string(opts.port);
    std::string line;
    // A server that has already closed (a blocked address) may reset the greeting: that is
    // read as a refusal below, so the send's own result does not matter.
    send_all(socket, GREETING_LINE);
    switch (read_line(socket, received, &line)) {
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
    std::string digest_input = std::string(cookie_digits) + ":" + opts.password.bytes;
    char answer[DIGEST_HEX_SIZE];
    digest_hex(digest_input.c_str(), answer);
    if (!send_all(socket, std::string(answer) + "\n")) {
        report("the connection to " + where + " was lost during the login");
        return EXIT_FAILED;
    }
    switch (read_line(socket, received, &line)) {
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

// Reads until the server closes the connection, the receive fails or times out; received
// holds what was read before.
watch_outcome watch_server(socket_handle socket, std::string received) {
    watch_outcome outcome;
    for (;;) {
        char buffer[1024];
        int count = platform::net_recv(socket, buffer, sizeof buffer);
        if (count > 0) {
            size_t room = KEPT_BYTES_MAX - std::min(KEPT_BYTES_MAX, received.size());
            received.append(buffer, std::min(room, static_cast<size_t>(count)));
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
    report("the connection to " + where + " was lost (" +
           platform::socket_error_text(platform::net_last_error()) + ")");
    return EXIT_FAILED;
}

bool send_event(socket_handle socket, const event_request& event) {
    warn_about_dropped_payloads(event);
    std::string lines;
    for (const argument_text& payload : event.payloads)
        lines += PAYLOAD_PREFIX + payload.bytes + "\n";
    lines += event.text.bytes + "\n";
    if (!send_all(socket, lines))
        return false;
    say("sent event \"" + event.text.typed + "\" with " + std::to_string(event.payloads.size()) +
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

int run_interactive(socket_handle socket, const std::string& where, std::string received) {
    watcher watch;
    std::thread reader([&] {
        watch_outcome outcome = watch_server(socket, received);
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
    bool sending = true;
    for (int number = 1; sending && std::getline(std::cin, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == END_LINE)
            break;
        if (const char* problem = text_problem(line, false)) {
            report("warning: input line " + std::to_string(number) + " not sent: " + problem);
            continue;
        }
        sending = send_all(socket, line + "\n");
    }
    watch.end_line_sent.store(true);
    if (sending)
        send_all(socket, std::string(END_LINE) + "\n");
    auto reader_done = [&](int ms) {
        std::unique_lock<std::mutex> hold(watch.lock);
        return watch.changed.wait_for(hold, std::chrono::milliseconds(ms),
                                      [&] { return watch.done; });
    };
    bool done = reader_done(REPLY_TIMEOUT_MS);
    // The server never closed its side: wake the reader, again while a wake may have come just
    // before its receive began, and give up on it if it still does not end.
    for (int waited = 0; !reader_done(0) && waited < WAKE_LIMIT_MS; waited += 100) {
        platform::net_wake_receiver(socket);
        reader_done(100);
    }
    if (!reader_done(0)) {
        watch_outcome outcome;
        outcome.end = server_end::timed_out;
        std::_Exit(report_end(outcome, true, where));
    }
    reader.join();
    platform::net_close(socket);
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
    std::string received;
    int result = log_in(socket, opts, &received);
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
        return run_interactive(socket, where, received);
    }
    if (sent && opts.stay) {
        platform::net_set_recv_timeout(socket, 0);
        say("staying connected until the server closes the connection");
    } else if (sent) {
        sent = send_all(socket, std::string(END_LINE) + "\n");
    }
    // Waiting for the server's close tells us it has taken every line we sent.
    watch_outcome outcome = watch_server(socket, received);
    platform::net_close(socket);
    return report_end(outcome, sent && !opts.stay, where);
}

}  // namespace

int main(int argc, char** argv) {
    platform::closed_output_ignore();
    options opts;
    int early = parse_options(argc, argv, &opts);
    if (early < 0)
        early = encode_texts(&opts);
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
