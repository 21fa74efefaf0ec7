#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/net.h"

namespace platform {

namespace {

SOCKET raw(socket_handle socket) {
    return static_cast<SOCKET>(socket);
}

sockaddr_in make_address(ipv4_address address, uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    std::memcpy(&result.sin_addr, address.bytes, 4);
    return result;
}

}  // namespace

int net_startup(uint16_t wanted_version, uint16_t* granted_version) {
    if (detail::net_should_fail())
        return 0;
    WSADATA data{};
    if (WSAStartup(wanted_version, &data) != 0)
        return 0;
    *granted_version = data.wVersion;
    detail::net_library_started();
    return 1;
}

void net_cleanup() {
    detail::net_library_ended();
    WSACleanup();
}

int net_last_error() {
    return WSAGetLastError();
}

bool net_would_block(int error) {
    return error == WSAEWOULDBLOCK;
}

socket_handle net_tcp_socket() {
    if (detail::net_should_fail()) {
        WSASetLastError(WSAEMFILE);
        return INVALID_SOCKET_HANDLE;
    }
    SOCKET result = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return result == INVALID_SOCKET ? INVALID_SOCKET_HANDLE : static_cast<socket_handle>(result);
}

int net_bind(socket_handle socket, ipv4_address address, uint16_t port) {
    sockaddr_in local = make_address(address, port);
    return ::bind(raw(socket), reinterpret_cast<sockaddr*>(&local), sizeof local) != SOCKET_ERROR;
}

int net_bind_any(socket_handle socket, uint16_t port) {
    if (detail::net_should_fail()) {
        WSASetLastError(WSAEADDRINUSE);
        return 0;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = INADDR_ANY;
    local.sin_port = htons(port);
    return ::bind(raw(socket), reinterpret_cast<sockaddr*>(&local), sizeof local) != SOCKET_ERROR;
}

int net_listen(socket_handle socket) {
    if (detail::net_should_fail()) {
        WSASetLastError(WSAENOBUFS);
        return 0;
    }
    return ::listen(raw(socket), SOMAXCONN) != SOCKET_ERROR;
}

uint16_t net_local_port(socket_handle socket) {
    sockaddr_in local{};
    int length = sizeof local;
    if (getsockname(raw(socket), reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR) {
        return 0;
    }
    return ntohs(local.sin_port);
}

int net_connection_waiting(socket_handle listening, uint32_t wait_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(raw(listening), &readable);
    timeval wait{static_cast<long>(wait_ms / 1000), static_cast<long>(wait_ms % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &wait) == 1 ? 1 : 0;
}

int net_peer_gone(socket_handle socket) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(raw(socket), &readable);
    timeval now{0, 0};
    if (::select(0, &readable, nullptr, nullptr, &now) != 1)
        return 0;  // nothing to read: the peer is still there
    char next;
    return ::recv(raw(socket), &next, 1, MSG_PEEK) <= 0 ? 1 : 0;
}

socket_handle net_accept(socket_handle socket, ipv4_address* peer) {
    if (detail::net_should_fail()) {
        WSASetLastError(WSAECONNABORTED);
        return INVALID_SOCKET_HANDLE;
    }
    sockaddr_in address{};
    int length = sizeof address;  // 16 bytes, set anew for every call
    SOCKET result = ::accept(raw(socket), reinterpret_cast<sockaddr*>(&address), &length);
    if (result == INVALID_SOCKET)
        return INVALID_SOCKET_HANDLE;
    std::memcpy(peer->bytes, &address.sin_addr, 4);
    return static_cast<socket_handle>(result);
}

int net_connect(socket_handle socket, ipv4_address address, uint16_t port) {
    sockaddr_in remote = make_address(address, port);
    return ::connect(raw(socket), reinterpret_cast<sockaddr*>(&remote), sizeof remote) !=
           SOCKET_ERROR;
}

int net_send(socket_handle socket, const void* data, int length) {
    if (detail::net_should_fail()) {
        WSASetLastError(WSAECONNRESET);
        return -1;
    }
    int result = ::send(raw(socket), static_cast<const char*>(data), length, 0);
    return result == SOCKET_ERROR ? -1 : result;
}

int net_recv(socket_handle socket, void* buffer, int length) {
    if (detail::net_should_fail()) {
        WSASetLastError(WSAECONNRESET);
        return -1;
    }
    int result = ::recv(raw(socket), static_cast<char*>(buffer), length, 0);
    return result == SOCKET_ERROR ? -1 : result;
}

int net_set_nonblocking(socket_handle socket, bool nonblocking) {
    if (detail::net_should_fail())
        return 0;
    u_long mode = nonblocking ? 1 : 0;
    return ioctlsocket(raw(socket), FIONBIO, &mode) != SOCKET_ERROR;
}

int net_set_recv_timeout(socket_handle socket, uint32_t ms) {
    DWORD value = ms;
    return setsockopt(raw(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof value) != SOCKET_ERROR;
}

int net_set_nodelay(socket_handle socket) {
    BOOL on = TRUE;
    return setsockopt(raw(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) != SOCKET_ERROR;
}

int net_set_abortive_close(socket_handle socket) {
    linger value{1, 0};
    return setsockopt(raw(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                      sizeof value) != SOCKET_ERROR;
}

int net_shutdown_send(socket_handle socket) {
    return ::shutdown(raw(socket), SD_SEND) != SOCKET_ERROR;
}

int net_close(socket_handle socket) {
    detail::net_closing(socket);
    return closesocket(raw(socket)) != SOCKET_ERROR;
}

void net_wake_receiver(socket_handle socket) {
    if (!detail::net_waking(socket))
        return;
    // Cancelling the socket's pending calls ends a blocking recv in another thread
    // (ERROR_OPERATION_ABORTED); closing the socket would too, but its handle could then be
    // given to a new socket before that thread is done with it.
    CancelIoEx(reinterpret_cast<HANDLE>(raw(socket)), nullptr);
}

accept_failure net_classify_accept_error(int error) {
    switch (error) {
        case WSAENOTSOCK:
        case WSAEINVAL:
        case WSAEBADF:
        case WSANOTINITIALISED:
        case WSAEOPNOTSUPP:
        case WSAEFAULT:
            return accept_failure::listener_gone;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENOTCONN:
        case WSAEINTR:
        case WSAEWOULDBLOCK:
        case WSAETIMEDOUT:
            return accept_failure::one_connection;
        default:  // WSAEMFILE, WSAENOBUFS and anything unforeseen: retry after a pause
            return accept_failure::resource_shortage;
    }
}

int net_resolve_ipv4(const char* name, address_visitor found, void* context) {
    // gethostbyname keeps its result in a per-thread area of the socket library.
    hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list)
        return 0;
    for (char** entry = host->h_addr_list; *entry; ++entry) {
        ipv4_address address;
        std::memcpy(address.bytes, *entry, 4);
        if (found(address, context))
            return 1;
    }
    return 0;
}

}  // namespace platform
