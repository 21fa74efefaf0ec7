#include "tools/protocol_client.h"

#include <cstring>
#include <string>

#include "platform/thread.h"
#include "server/md5.h"

namespace {
const char GREETING_LINE[] = "vellumorchid\n";
const char ACCEPTANCE_LINE[] = "accept\n";
constexpr int COOKIE_LINE_LENGTH = 5;  // four hex digits and a line feed
}  // namespace

int client_receive_exactly(platform::socket_handle socket, char* buffer, int length) {
    for (int got = 0; got < length;) {
        int received = platform::net_recv(socket, buffer + got, length - got);
        if (received <= 0)
            return 0;
        got += received;
    }
    return 1;
}

int client_send_all(platform::socket_handle socket, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        int piece = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
        int sent = platform::net_send(socket, bytes, piece);
        if (sent <= 0)
            return 0;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return 1;
}

int client_greet(platform::socket_handle socket, char (&cookie)[CLIENT_COOKIE_SIZE]) {
    if (!client_send_all(socket, GREETING_LINE, sizeof GREETING_LINE - 1))
        return 0;
    if (!client_receive_exactly(socket, cookie, COOKIE_LINE_LENGTH) || cookie[4] != '\n')
        return 0;
    cookie[4] = '\0';
    return 1;
}

int client_answer(platform::socket_handle socket, const char (&cookie)[CLIENT_COOKIE_SIZE],
                  const char* password) {
    std::string input = std::string(cookie) + ":" + password;
    char answer[DIGEST_HEX_SIZE];
    digest_hex(input.c_str(), answer);
    answer[DIGEST_HEX_SIZE - 1] = '\n';  // the line end takes the terminator's place
    return client_send_all(socket, answer, DIGEST_HEX_SIZE);
}

int client_answer_challenge(platform::socket_handle socket, const char* password,
                            uint32_t answer_delay_ms) {
    char cookie[CLIENT_COOKIE_SIZE];
    if (!client_greet(socket, cookie))
        return 0;
    if (answer_delay_ms)
        platform::sleep_ms(answer_delay_ms);
    return client_answer(socket, cookie, password);
}

int client_log_in(platform::socket_handle socket, const char* password, uint32_t answer_delay_ms) {
    return client_answer_challenge(socket, password, answer_delay_ms) &&
           client_read_acceptance(socket);
}

int client_read_acceptance(platform::socket_handle socket) {
    char reply[sizeof ACCEPTANCE_LINE] = {};
    return client_receive_exactly(socket, reply, sizeof ACCEPTANCE_LINE - 1) &&
           std::memcmp(reply, ACCEPTANCE_LINE, sizeof ACCEPTANCE_LINE - 1) == 0;
}
