#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/net.h"

namespace platform {

namespace {

int raw(socket_handle socket) {
    return static_cast<int>(socket);
}

sockaddr_in make_address(const uint8_t bytes[4], uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    std::memcpy(&result.sin_addr, bytes, 4);
    return result;
}

}  // namespace

int net_startup(uint16_t wanted_version, uint16_t* granted_version) {
    if (detail::net_should_fail())
        return 0;
    *granted_version = wanted_version;
    detail::net_library_started();
    return 1;
}

void net_cleanup() {
    detail::net_library_ended();
}

int net_last_error() {
    return errno;
}

bool net_would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

socket_handle net_tcp_socket() {
    if (detail::net_should_fail()) {
        errno = EMFILE;
        return INVALID_SOCKET_HANDLE;
    }
    int result = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return result < 0 ? INVALID_SOCKET_HANDLE : static_cast<socket_handle>(result);
}

int net_bind(socket_handle socket, ipv4_address address, uint16_t port) {
    sockaddr_in local = make_address(address.bytes, port);
    return ::bind(raw(socket), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

int net_bind_any(socket_handle socket, uint16_t port) {
    if (detail::net_should_fail()) {
        errno = EADDRINUSE;
        return 0;
    }
    // Winsock lets a stopped server bind its port again at once although the connections it
    // closed linger in TIME_WAIT; here that takes SO_REUSEADDR, which still refuses a second
    // listener on the port.
    int on = 1;
    setsockopt(raw(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const uint8_t any[4] = {0, 0, 0, 0};
    sockaddr_in local = make_address(any, port);
    return ::bind(raw(socket), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

int net_listen(socket_handle socket) {
    if (detail::net_should_fail()) {
        errno = ENOBUFS;
        return 0;
    }
    return ::listen(raw(socket), SOMAXCONN) == 0;
}

uint16_t net_local_port(socket_handle socket) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(raw(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

int net_connection_waiting(socket_handle listening, uint32_t wait_ms) {
    pollfd waiting{static_cast<int>(raw(listening)), POLLIN, 0};
    return ::poll(&waiting, 1, static_cast<int>(wait_ms)) == 1 && (waiting.revents & POLLIN) ? 1
                                                                                             : 0;
}

int net_peer_gone(socket_handle socket) {
    char next;
    ssize_t peeked = ::recv(raw(socket), &next, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ? 1 : 0;
}

socket_handle net_accept(socket_handle socket, ipv4_address* peer) {
    if (detail::net_should_fail()) {
        errno = ECONNABORTED;
        return INVALID_SOCKET_HANDLE;
    }
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int result =
        ::accept4(raw(socket), reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (result < 0)
        return INVALID_SOCKET_HANDLE;
    std::memcpy(peer->bytes, &address.sin_addr, 4);
    return static_cast<socket_handle>(result);
}

int net_connect(socket_handle socket, ipv4_address address, uint16_t port) {
    sockaddr_in remote = make_address(address.bytes, port);
    return ::connect(raw(socket), reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
}

int net_send(socket_handle socket, const void* data, int length) {
    if (detail::net_should_fail()) {
        errno = ECONNRESET;
        return -1;
    }
    // A peer that has gone must not kill the host process with SIGPIPE.
    ssize_t result = ::send(raw(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    return result < 0 ? -1 : static_cast<int>(result);
}

int net_recv(socket_handle socket, void* buffer, int length) {
    if (detail::net_should_fail()) {
        errno = ECONNRESET;
        return -1;
    }
    ssize_t result;
    do {
        result = ::recv(raw(socket), buffer, static_cast<size_t>(length), 0);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -1 : static_cast<int>(result);
}

int net_set_nonblocking(socket_handle socket, bool nonblocking) {
    if (detail::net_should_fail())
        return 0;
    int flags = fcntl(raw(socket), F_GETFL);
    if (flags < 0)
        return 0;
    flags = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(raw(socket), F_SETFL, flags) == 0;
}

int net_set_recv_timeout(socket_handle socket, uint32_t ms) {
    timeval value{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    return setsockopt(raw(socket), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) == 0;
}

int net_set_nodelay(socket_handle socket) {
    int on = 1;
    return setsockopt(raw(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

int net_set_abortive_close(socket_handle socket) {
    linger value{1, 0};
    return setsockopt(raw(socket), SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0;
}

int net_shutdown_send(socket_handle socket) {
    return ::shutdown(raw(socket), SHUT_WR) == 0;
}

int net_close(socket_handle socket) {
    // Closing a descriptor does not wake a thread blocked on it here, as it does with
    // Winsock; shutting the receiving side down first does (accept fails).
    detail::net_closing(socket);
    ::shutdown(raw(socket), SHUT_RD);
    return ::close(raw(socket)) == 0;
}

void net_wake_receiver(socket_handle socket) {
    if (!detail::net_waking(socket))
        return;
    ::shutdown(raw(socket), SHUT_RDWR);  // a blocked recv returns 0
}

accept_failure net_classify_accept_error(int error) {
    switch (error) {
        case EBADF:
        case ENOTSOCK:
        case EINVAL:
        case EOPNOTSUPP:
        case EFAULT:
            return accept_failure::listener_gone;
        case ECONNABORTED:
        case ECONNRESET:
        case ENOTCONN:
        case EINTR:
        case EAGAIN:
        case EPROTO:
        case ETIMEDOUT:
        case EPERM:
            return accept_failure::one_connection;
        default:  // EMFILE, ENFILE, ENOBUFS, ENOMEM and anything unforeseen
            return accept_failure::resource_shortage;
    }
}

int net_resolve_ipv4(const char* name, address_visitor found, void* context) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0)
        return 0;
    int result = 0;
    for (addrinfo* entry = list; entry && !result; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET)
            continue;
        ipv4_address address;
        std::memcpy(address.bytes, &reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr, 4);
        if (found(address, context))
            result = 1;
    }
    freeaddrinfo(list);
    return result;
}

}  // namespace platform
