// A client of the event protocol for tests, over a real loopback socket.
//
// Every read has a time limit, so a test never hangs on a silent server. The client owns its
// socket and closes it when destroyed. One thread per client.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net.h"

constexpr uint32_t TEST_READ_TIMEOUT_MS = 10000;

class test_client {
  public:
    test_client() = default;
    test_client(const test_client&) = delete;
    test_client& operator=(const test_client&) = delete;
    ~test_client() { close(); }

    // Connects to 127.0.0.1:port, from local_address if given (any 127.x.y.z).
    bool connect(uint16_t port, const char* local_address = nullptr);
    bool send_text(const std::string& text);
    // One receive (up to 4096 bytes); "" on close, error or time-out.
    std::string receive_once(uint32_t timeout_ms = TEST_READ_TIMEOUT_MS);
    // Everything until the server closes the connection (or the time-out passes).
    std::string receive_until_closed(uint32_t timeout_ms = TEST_READ_TIMEOUT_MS);
    // True when the server has closed (or reset) the connection within the time-out.
    bool wait_closed(uint32_t timeout_ms = TEST_READ_TIMEOUT_MS);

    // Greeting, then the 5-byte cookie line; returns the cookie text ("" when none came).
    std::string greet(const std::string& greeting = "vellumorchid\n");
    // The full login: greeting, digest of cookie and password; true when "accept\n" came.
    bool log_in(const std::string& password);

    void reset();  // closes with a reset instead of an orderly close
    void close();
    platform::socket_handle socket() const { return socket_; }

  private:
    platform::socket_handle socket_ = platform::INVALID_SOCKET_HANDLE;
};

// The digest answer to a cookie text ("00ab") for a password.
std::string login_answer(const std::string& cookie, const std::string& password);

platform::ipv4_address loopback_address(const char* dotted = "127.0.0.1");

// A port that was free a moment ago, outside the range the system gives outgoing connections.
uint16_t free_loopback_port();

// A connected pair of loopback sockets; both belong to the caller.
bool make_connected_pair(platform::socket_handle* server_side,
                         platform::socket_handle* client_side);
