// reference_host: stands in for the host application. It loads the plug-in by path (as the
// host does: LoadLibrary on Windows, dlopen natively), hands it a host record whose
// trigger_event prints every event on one line, and drives the entry points.
//
//   reference_host identity PLUGIN   prints the answers of the identity entry points
//   reference_host run [--trace] [--no-display] [--port N] PLUGIN
//                                    opens and starts the server, prints events until the
//                                    end of standard input, a "stop" line or Ctrl+C; with
//                                    --trace also the server's trace lines; --port N (native
//                                    build only) listens on port N; the input
//                                    lines "config" and "learn [TEXT]" open the settings
//                                    dialog and the learn-event dialog (--no-display: there
//                                    is no display to show them, and they say so), "restart"
//                                    stops and starts the server; --trace also names the entry
//                                    points called and what they answered
//   reference_host version FILE      prints the version resource of a Windows binary
//
// The plug-in reads its settings (port, password, access list) from the registry itself; this
// program configures nothing. Exit codes: 0 done; 1 wrong usage; 2 the server did not start;
// 3 the plug-in could not be loaded or refused the host record; 4 no version resource.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "module/host_record.h"
#include "module/settings.h"
#include "platform/console_stop.h"
#include "platform/debug_capture.h"
#include "platform/environment.h"
#include "platform/file_version.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "plugin/entry_points.h"
#include "server/trace.h"
#include "tools/memory_report.h"
#include "tools/printed_text.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_NOT_STARTED = 2;
constexpr int EXIT_NO_PLUGIN = 3;
constexpr int EXIT_NO_VERSION = 4;

constexpr int32_t EXPECTED_DEVICE = 203;
constexpr int32_t BLOCK_LENGTH_MAX = 1023;
constexpr int32_t DEFAULT_PORT = 1024;

const char* usage_text =
    "usage: reference_host identity PLUGIN\n"
    "       reference_host run [--trace] [--no-display] [--port N] PLUGIN\n"
    "       reference_host version FILE\n"
    "\n"
    "Loads the plug-in file PLUGIN as the host application does.\n"
    "  identity  prints what the identity entry points answer, one 'key value' line each\n"
    "  run       opens and starts the plug-in's server and prints every event it raises, one\n"
    "            line each:  event \"TEXT\" payloads [\"PAYLOAD\", ...]\n"
    "            Ends on end of input, a 'stop' line on standard input, or Ctrl+C.\n"
    "            Input lines while it runs:\n"
    "              config        opens the settings dialog (qvl_config)\n"
    "              learn [TEXT]  asks for an event string in the learn dialog, starting from\n"
    "                            TEXT (qvl_learn_event); prints what the user confirmed\n"
    "              restart       stops and starts the server (qvl_stop, qvl_start); prints\n"
    "                            the port it listens on again and how long the stop took\n"
    "              memory        prints the process's free address space and whether it can\n"
    "                            allocate 256 MiB (for the floods)\n"
    "            --trace sets SENDREL_TRACE=1 for the plug-in and prints its trace lines:\n"
    "                        Sendrel trace: TEXT (NUMBER)\n"
    "                        and what config and restart called and were answered\n"
    "            --no-display says that no display shows the dialogs (scripts/run.sh passes\n"
    "                        it when DISPLAY is not set): config and learn then tell how\n"
    "                        to do without them\n"
    "            --port N    listens on port N instead of the stored port (native build\n"
    "                        only: there the plug-in keeps its registry in its own memory,\n"
    "                        which nothing outside it can write)\n"
    "  version   prints the version resource of the Windows binary FILE (Windows only)\n"
    "The server's port, password and access list are the plug-in's registry settings.\n"
    "Exit codes: 0 done; 1 wrong usage; 2 the server did not start; 3 the plug-in could not\n"
    "be loaded or refused the host record; 4 FILE has no version resource.\n";

// ---- Loading the plug-in -------------------------------------------------------------------

// The loaded plug-in, freed when it goes out of scope.
struct plugin_library {
    void* handle = nullptr;
    ~plugin_library() {
        if (handle)
            platform::library_free(handle);
    }
};

// Looks a function up by its exported name; false when the plug-in does not export it.
template <typename Fn>
bool library_function(const plugin_library& library, const char* name, Fn* out) {
    void* found = platform::library_symbol(library.handle, name);
    if (!found)
        return false;
    static_assert(sizeof found == sizeof *out, "a function address must fit a pointer");
    std::memcpy(out, &found, sizeof *out);
    return true;
}

struct entry_points {
    decltype(&qvl_name) name = nullptr;
    decltype(&qvl_description) description = nullptr;
    decltype(&qvl_version) version = nullptr;
    decltype(&qvl_devicenum) devicenum = nullptr;
    decltype(&qvl_requested_api) requested_api = nullptr;
    decltype(&qvl_compare) compare = nullptr;
    decltype(&qvl_open) open = nullptr;
    decltype(&qvl_close) close = nullptr;
    decltype(&qvl_start) start = nullptr;
    decltype(&qvl_stop) stop = nullptr;
    decltype(&qvl_config) config = nullptr;
    decltype(&qvl_learn_event) learn_event = nullptr;
};

bool resolve_entry_points(const plugin_library& library, entry_points* entry) {
    bool all = true;
    auto need = [&](const char* name, auto* slot) {
        if (library_function(library, name, slot))
            return;
        std::fprintf(stderr, "reference_host: the plug-in does not export %s\n", name);
        all = false;
    };
    need("qvl_name", &entry->name);
    need("qvl_description", &entry->description);
    need("qvl_version", &entry->version);
    need("qvl_devicenum", &entry->devicenum);
    need("qvl_requested_api", &entry->requested_api);
    need("qvl_compare", &entry->compare);
    need("qvl_open", &entry->open);
    need("qvl_close", &entry->close);
    need("qvl_start", &entry->start);
    need("qvl_stop", &entry->stop);
    need("qvl_config", &entry->config);
    need("qvl_learn_event", &entry->learn_event);
    return all;
}

// ---- The host record and its two functions -------------------------------------------------

std::mutex g_output_lock;

// One output line, whole, whichever thread writes it.
void print_line(const std::string& line) {
    std::lock_guard<std::mutex> hold(g_output_lock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// "payloads [...]" for a payload block: a count byte, then that many zero-terminated texts.
// Whatever does not match that layout is named after the list, so a faulty block shows.
std::string describe_block(const uint8_t* block, int32_t length) {
    if (!block || length < 1)
        return "payloads [] (no block: length " + std::to_string(length) + ")";
    const char* bytes = reinterpret_cast<const char*>(block);
    size_t size = static_cast<size_t>(length);
    unsigned count = block[0];
    std::string result = "payloads [";
    size_t position = 1;
    unsigned found = 0;
    for (; found < count && position < size; ++found) {
        const void* zero = std::memchr(bytes + position, 0, size - position);
        if (!zero)
            break;
        size_t end = static_cast<size_t>(static_cast<const char*>(zero) - bytes);
        if (found > 0)
            result += ", ";
        result += quoted(bytes + position, end - position);
        position = end + 1;
    }
    result += "]";
    if (found < count) {
        result += " (block malformed: count " + std::to_string(count) + " but " +
                  std::to_string(found) + " terminated texts in " + std::to_string(length) +
                  " bytes)";
    } else if (position < size) {
        result +=
            " (block malformed: " + std::to_string(size - position) + " bytes after the last text)";
    }
    if (length > BLOCK_LENGTH_MAX) {
        result += " (block longer than " + std::to_string(BLOCK_LENGTH_MAX) + " bytes)";
    }
    return result;
}

// The host's translation: the source text unchanged, cut to the buffer and terminated.
int32_t QVL_STDCALL host_translate_text(const char* text, char* out, int32_t out_size) {
    if (!out || out_size <= 0)
        return 0;
    size_t room = static_cast<size_t>(out_size) - 1;
    size_t length = text ? std::strlen(text) : 0;
    if (length > room)
        length = room;
    if (length > 0)
        std::memcpy(out, text, length);
    out[length] = '\0';
    return 1;
}

// Client threads of the plug-in call this, several at once; each event is one line.
int32_t QVL_STDCALL host_trigger_event(const char* event_text, const uint8_t* block,
                                       int32_t block_length, int32_t device) {
    std::string line = "event ";
    line += event_text ? quoted(event_text) : std::string("(no text)");
    line += " " + describe_block(block, block_length);
    if (device != EXPECTED_DEVICE)
        line += " device " + std::to_string(device);
    print_line(line);
    return 1;
}

// A record of `size` bytes in a buffer with room to spare, the size field set to
// `size_field` and both host functions in their slots.
void build_record(uint8_t* record, size_t buffer_size, int32_t size_field) {
    std::memset(record, 0, buffer_size);
    std::memcpy(record, &size_field, sizeof size_field);
    translate_text_fn translate = host_translate_text;
    trigger_event_fn trigger = host_trigger_event;
    std::memcpy(record + HOST_RECORD_TRANSLATE_TEXT_OFFSET, &translate, sizeof translate);
    std::memcpy(record + HOST_RECORD_TRIGGER_EVENT_OFFSET, &trigger, sizeof trigger);
}

// ---- identity ------------------------------------------------------------------------------

std::string hex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string result;
    for (size_t i = 0; i < length; ++i) {
        result += digits[bytes[i] >> 4];
        result += digits[bytes[i] & 0xF];
    }
    return result;
}

// qvl_name into a buffer of `size` bytes followed by one guard byte, all filled with 0xAA
// first: prints the buffer and the guard in hex.
void print_name_into(const entry_points& entry, int32_t size) {
    std::vector<uint8_t> buffer(static_cast<size_t>(size) + 1, 0xAA);
    entry.name(reinterpret_cast<char*>(buffer.data()), size);
    print_line("name." + std::to_string(size) + " " + hex(buffer.data(), buffer.size() - 1));
    print_line("name." + std::to_string(size) + ".guard " + hex(&buffer.back(), 1));
}

// A text entry point into a 200-byte buffer filled with 0xAA first: the text, and whether
// the rest of the buffer was zero-filled as the copying rule asks.
void print_text_into(const char* key, void(QVL_STDCALL* call)(char*, int32_t)) {
    constexpr int32_t size = 200;
    std::vector<char> buffer(size, static_cast<char>(0xAA));
    call(buffer.data(), size);
    size_t length = 0;
    while (length < buffer.size() && buffer[length] != '\0')
        ++length;
    bool zero_filled = length < buffer.size();
    for (size_t i = length; i < buffer.size(); ++i)
        zero_filled = zero_filled && buffer[i] == 0;
    print_line(std::string(key) + " " + quoted(buffer.data(), length) +
               (zero_filled ? " rest=zero" : " rest=not-zero"));
}

int run_identity(const entry_points& entry) {
    print_name_into(entry, 10);
    print_name_into(entry, 4);
    print_name_into(entry, 256);
    print_text_into("description", entry.description);
    print_text_into("version", entry.version);
    print_line("devicenum " + std::to_string(entry.devicenum()));
    print_line("requested_api " + std::to_string(entry.requested_api(0)));
    print_line("compare.abc.ABC " + std::to_string(entry.compare("abc", "ABC")));
    print_line("compare.abc.abc " + std::to_string(entry.compare("abc", "abc")));
    // Only records of the wrong size: a record the plug-in accepts would make it load its
    // settings from the registry, which identity questions must not need.
    for (int32_t size : {HOST_RECORD_SIZE - 1, HOST_RECORD_SIZE + 1}) {
        uint8_t record[HOST_RECORD_SIZE + 16];
        build_record(record, sizeof record, size);
        print_line("open." + std::to_string(size) + " " +
                   std::to_string(entry.open(0, 0, 0, record)));
    }
    return EXIT_OK;
}

// ---- version -------------------------------------------------------------------------------

int run_version(const char* path) {
    platform::file_version_info info;
    if (!platform::file_version_read(path, &info)) {
        std::fprintf(stderr, "reference_host: %s has no version resource that can be read\n", path);
        return EXIT_NO_VERSION;
    }
    print_line("fixed_version " + std::to_string(info.fixed[0]) + "." +
               std::to_string(info.fixed[1]) + "." + std::to_string(info.fixed[2]) + "." +
               std::to_string(info.fixed[3]));
    print_line("ProductName " + quoted(info.product_name.c_str()));
    print_line("ProductVersion " + quoted(info.product_version.c_str()));
    print_line("FileDescription " + quoted(info.file_description.c_str()));
    print_line("FileVersion " + quoted(info.file_version.c_str()));
    print_line("OriginalFilename " + quoted(info.original_filename.c_str()));
    return EXIT_OK;
}

// ---- run -----------------------------------------------------------------------------------

// Each debug text of the process on a line of its own, without its line end.
void print_debug_text(const char* text, size_t length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        --length;
    print_line(std::string(text, length));
}

// Asks the plug-in for its trace lines before it is loaded, and shows what it writes to the
// debug output (natively that is standard error already).
void request_trace() {
    platform::environment_set(TRACE_SWITCH_VARIABLE, "1");
    platform::debug_capture_start(print_debug_text);
}

std::atomic<bool> g_stop_requested{false};
bool g_no_display = false;
bool g_trace = false;

// Why a dialog asked for does not appear, and what to do instead: in full the first time.
void explain_missing_display() {
    static std::atomic<bool> explained{false};
    if (explained.exchange(true)) {
        std::fputs("reference_host: no display, so no dialog appears (see above)\n", stderr);
        std::fflush(stderr);
        return;
    }
    std::fputs(
        "reference_host: no display, so no dialog appears: the settings and learn dialogs\n"
        "  need one. Without the dialog, start scripts/run.sh again with --port N and\n"
        "  --password TEXT, or write the settings with Wine's reg tool (README,\n"
        "  \"Settings\": wine reg add ...) and start again. Or give Wine a display: start\n"
        "  from a desktop, over ssh -X, or with DISPLAY set to a running X server\n"
        "  (xvfb-run gives an unseen one, for scripts that drive the dialogs).\n",
        stderr);
    std::fflush(stderr);
}

// The learn requests of the input: each blocks its own thread until its dialog ends; they
// are waited for after qvl_close, which ends an open dialog.
std::mutex g_learn_lock;
std::vector<std::thread> g_learn_threads;

void learn_event(const entry_points& entry, std::string current) {
    std::lock_guard<std::mutex> hold(g_learn_lock);
    g_learn_threads.emplace_back([&entry, current] {
        char out[256] = {0};
        if (entry.learn_event(current.c_str(), out, sizeof out - 1)) {
            print_line("learned " + quoted(out));
        } else {
            print_line("learn cancelled");
        }
    });
}

void wait_for_learn_requests() {
    std::lock_guard<std::mutex> hold(g_learn_lock);
    for (std::thread& thread : g_learn_threads)
        thread.join();
    g_learn_threads.clear();
}

// One input line of any length, its line end included; false at the end of input.
bool read_input_line(std::string* line) {
    line->clear();
    char piece[256];
    while (std::fgets(piece, sizeof piece, stdin)) {
        *line += piece;
        if (!line->empty() && line->back() == '\n')
            return true;
    }
    return !line->empty();
}

// Opens the plug-in's main settings key for reading, as its settings store does: only when
// the "AccessList" subkey exists; false when the plug-in takes its defaults.
bool open_stored_settings(platform::registry_key* key) {
    if (!platform::registry_open_read("Software\\Quorvel3\\HardPlugins\\Plexador\\AccessList", key))
        return false;
    key->close();
    return platform::registry_open_read("Software\\Quorvel3\\HardPlugins\\Plexador", key);
}

// The port the plug-in takes from its settings; the listener uses its low 16 bits.
int32_t configured_port() {
    platform::registry_key key;
    uint32_t stored = 0;
    if (!open_stored_settings(&key) || !platform::registry_read_u32le(key, "Port", &stored))
        return DEFAULT_PORT;
    return static_cast<int32_t>(stored & 0xFFFF);
}

// Whether the plug-in still takes the default password.
bool default_password() {
    platform::registry_key key;
    char stored[TEXT_FIELD_MAX];
    return !open_stored_settings(&key) ||
           !platform::registry_read_text(key, "Password", stored, sizeof stored) ||
           std::strcmp(stored, DEFAULT_PASSWORD) == 0;
}

// The port given with --port, or 0 for the stored one.
int32_t g_port_option = 0;

int32_t listening_port() {
    return g_port_option != 0 ? g_port_option : configured_port();
}

// Reads standard input on a thread of its own: its end or a "stop" line asks for the stop;
// "config" and "learn [TEXT]" open the dialogs.
void watch_standard_input(const entry_points* entry) {
    std::string command;
    while (read_input_line(&command)) {
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
            command.pop_back();
        }
        // A console that does not treat Ctrl+D or Ctrl+Z as the end of input passes it on as
        // a line of that character alone: it ends the input all the same.
        if (command == "stop" || command == "quit" || command == "\x04" || command == "\x1a")
            break;
        bool config = command == "config";
        bool learn = command == "learn" || command.rfind("learn ", 0) == 0;
        if ((config || learn) && g_no_display)
            explain_missing_display();
        if (command == "memory") {
            print_line(memory_report());
        } else if (command == "restart") {
            // qvl_stop and qvl_start again, as a host's stop and start buttons do.
            auto started = std::chrono::steady_clock::now();
            entry->stop();
            auto stopped = std::chrono::steady_clock::now();
            int32_t restarted = entry->start();
            long long stop_ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(stopped - started).count();
            if (g_trace) {
                print_line("qvl_stop took " + std::to_string(stop_ms) + " ms, qvl_start answered " +
                           std::to_string(restarted));
            }
            // A port changed in the settings dialog is the one listened on from now on.
            std::string port = std::to_string(listening_port());
            print_line(restarted ? "restarted, listening on port " + port + " (the stop took " +
                                       std::to_string(stop_ms) + " ms)"
                                 : "restart failed: the server could not listen on port " + port +
                                       " (is another program using it?)");
        } else if (config) {
            int32_t answer = entry->config();
            if (g_trace)
                print_line("qvl_config answered " + std::to_string(answer));
            // The dialog runs beside the server; OK or Apply stores what it shows.
            if (!g_no_display)
                print_line(answer ? "settings dialog open" : "settings dialog not shown");
        } else if (learn) {
            learn_event(*entry, command.size() > 6 ? command.substr(6) : std::string());
        } else if (!command.empty()) {
            // Quoted as events are, so that a control key typed by mistake shows.
            std::fprintf(stderr,
                         "reference_host: unknown command %s (type config, learn, restart or "
                         "stop)\n",
                         quoted(command.data(), command.size()).c_str());
        }
    }
    g_stop_requested.store(true);
}

// Natively the plug-in's registry is memory of its own, so a port cannot be stored for it: the
// port is set where its settings hold it once qvl_open has loaded them, as a stored "Port"
// would have set it. The Windows DLL exports nothing but its entry points, and there the port
// is the registry's. False when the plug-in has no such settings.
bool set_native_port(const plugin_library& library, int32_t port) {
    void* found = platform::library_symbol(library.handle, "settings");
    if (!found)
        return false;
    static_cast<settings_values*>(found)->port = port;
    return true;
}

int run_server(const plugin_library& library, const entry_points& entry) {
    char name[64] = {0};
    char version[64] = {0};
    entry.name(name, sizeof name - 1);
    entry.version(version, sizeof version - 1);
    uint8_t record[HOST_RECORD_SIZE];
    build_record(record, sizeof record, HOST_RECORD_SIZE);
    if (!entry.open(0, 0, 0, record)) {
        std::fprintf(stderr, "reference_host: qvl_open refused the host record\n");
        return EXIT_NO_PLUGIN;
    }
    print_line(std::string("opened ") + quoted(name) + " version " + quoted(version));
    if (g_port_option != 0 && !set_native_port(library, g_port_option)) {
        std::fprintf(stderr,
                     "reference_host: --port needs the native plug-in; this plug-in "
                     "takes its port from the registry\n");
        entry.close();
        return EXIT_USAGE;
    }
    platform::console_stop_install(&g_stop_requested);
    int32_t port = listening_port();
    if (!entry.start()) {
        std::fprintf(stderr,
                     "reference_host: qvl_start failed: the server could not listen on port %d "
                     "(is another program using it?)\n",
                     static_cast<int>(port));
        std::fflush(stderr);
        entry.close();
        return EXIT_NOT_STARTED;
    }
    print_line("listening on port " + std::to_string(port));
    print_line(default_password()
                   ? std::string("the password is the default, ") + DEFAULT_PASSWORD +
                         ": change it before anyone else can reach the port"
                   : "the password is not the default");
    // The input thread stays blocked in its read when the stop comes from a signal; it holds
    // nothing that the end of the process needs.
    std::thread(watch_standard_input, &entry).detach();
    while (!g_stop_requested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    print_line("stopping");
    entry.stop();
    entry.close();
    wait_for_learn_requests();
    print_line("stopped");
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(usage_text, stdout);
        return EXIT_OK;
    }
    std::string command = argc > 1 ? argv[1] : "";
    bool known = command == "identity" || command == "run" || command == "version";
    bool trace_requested = false;
    bool options_known = true;
    for (int i = 2; i < argc - 1; ++i) {
        std::string option = argv[i];
        if (command == "run" && option == "--trace") {
            trace_requested = true;
        } else if (command == "run" && option == "--no-display") {
            g_no_display = true;
        } else if (command == "run" && option == "--port" && i + 1 < argc - 1) {
            int port = std::atoi(argv[++i]);
            g_port_option = port >= 1 && port <= 65535 ? port : 0;
            options_known = options_known && g_port_option != 0;
        } else {
            options_known = false;
        }
    }
    if (!known || argc < 3 || !options_known) {
        std::fputs(usage_text, stderr);
        return EXIT_USAGE;
    }
    const char* path = argv[argc - 1];
    if (command == "version")
        return run_version(path);
    g_trace = trace_requested;
    if (trace_requested)
        request_trace();
    plugin_library library;
    library.handle = platform::library_load(path);
    if (!library.handle) {
        std::fprintf(stderr, "reference_host: cannot load %s: %s\n", path,
                     platform::library_error().c_str());
        return EXIT_NO_PLUGIN;
    }
    entry_points entry;
    int result = EXIT_NO_PLUGIN;
    if (resolve_entry_points(library, &entry))
        result = command == "identity" ? run_identity(entry) : run_server(library, entry);
    return result;
}
