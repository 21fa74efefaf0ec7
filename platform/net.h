// TCP sockets, IPv4 only: Winsock 2.2 in the DLL, BSD sockets natively.
//
// Results follow the plug-in's convention (1 success, 0 failure) except where a count is
// returned: net_send and net_recv give a byte count, 0 for an orderly close by the peer
// (recv only) or -1 for an error, as the socket library does. net_last_error() is the socket
// library's last error of the calling thread (WSAGetLastError on Windows, errno here).
//
// A socket_handle has exactly one owner, who closes it once with net_close (or, for the
// two-step close of the plug-in, net_shutdown_send and then net_close). net_close of a
// listening socket wakes a thread blocked in net_accept on it. To wake a thread blocked in
// net_recv on a connected socket, use net_wake_receiver.
//
// Test seams: net_fail_after(n) makes the call after the next n failable calls fail (the
// socket library start, socket, bind, listen, accept, send, receive, blocking-mode switches),
// counted over every thread except those that exempt themselves with
// net_fail_exempt_this_thread (a test's own clients). An injected failure never reaches the
// socket library; it reports a plain error of the call's kind. net_set_close_hook installs a
// function that every close of a socket reports to, just before the socket is closed;
// net_set_wake_hook one that every net_wake_receiver asks first, and that may swallow the
// wake (return false), as a wake that comes just before a receive begins is lost on Windows.
//
// Addresses are the 4 bytes of an IPv4 address in network order (ipv4_address); ports are
// host-order 16-bit numbers.
#pragma once

#include <cstdint>
#include <cstring>

namespace platform {

using socket_handle = uintptr_t;
constexpr socket_handle INVALID_SOCKET_HANDLE = ~static_cast<socket_handle>(0);

struct ipv4_address {
    uint8_t bytes[4];
};

// The address's 4 bytes as one number, for tables keyed by address: equal keys, equal
// addresses.
inline uint32_t ipv4_key(ipv4_address address) {
    uint32_t key;
    std::memcpy(&key, address.bytes, sizeof key);
    return key;
}

// The socket library's start and end (WSAStartup/WSACleanup). net_startup asks for the
// given version word and reports the version granted; 0 when the library does not start.
// Every successful start is ended by one net_cleanup, after the last socket of that use is
// closed: the library may release every socket when its last use ends, and the system then
// hands their handle values to new sockets. net_library_uses() counts the starts not yet
// ended, for tests.
int net_startup(uint16_t wanted_version, uint16_t* granted_version);
void net_cleanup();
int net_library_uses();

int net_last_error();
// True when error (from net_last_error) says a non-blocking call could not go ahead at once.
bool net_would_block(int error);

socket_handle net_tcp_socket();
int net_bind(socket_handle socket, ipv4_address address, uint16_t port);
int net_bind_any(socket_handle socket, uint16_t port);
int net_listen(socket_handle socket);  // backlog SOMAXCONN
// The port a socket is bound to, 0 on failure.
uint16_t net_local_port(socket_handle socket);
socket_handle net_accept(socket_handle socket, ipv4_address* peer);
// 1 when a connection is waiting to be accepted on the listening socket, waiting up to wait_ms
// for one; 0 when none came (or the socket is closed meanwhile).
int net_connection_waiting(socket_handle listening, uint32_t wait_ms);
int net_connect(socket_handle socket, ipv4_address address, uint16_t port);
// 1 when the peer of a connected socket has already closed its side (or reset the connection)
// and nothing it sent before is left unread; 0 when it has not, or has sent more. Does not
// wait and reads nothing.
int net_peer_gone(socket_handle socket);

int net_send(socket_handle socket, const void* data, int length);
int net_recv(socket_handle socket, void* buffer, int length);

int net_set_nonblocking(socket_handle socket, bool nonblocking);
// A receive that gets nothing for ms milliseconds fails (0: no limit). Winsock leaves a socket
// whose receive timed out in no defined state: after a time-out, end the connection.
int net_set_recv_timeout(socket_handle socket, uint32_t ms);
int net_set_nodelay(socket_handle socket);
// Makes the next close reset the connection instead of ending it in order.
int net_set_abortive_close(socket_handle socket);
int net_shutdown_send(socket_handle socket);
int net_close(socket_handle socket);

// Makes a receive that another thread is blocked in on the socket return at once with a
// failure (or, natively, as closed). The socket stays open and its owner still closes it, so its
// handle is never given to another socket while the other thread may still use it. On Windows the
// call cancels the socket's pending calls: a call that has not quite begun when the wake comes is
// not cancelled, so a waker that sees the other thread still inside its call wakes again.
// Natively both directions are shut down, which also makes every later receive fail.
void net_wake_receiver(socket_handle socket);

// What a failed accept means for the accept loop.
enum class accept_failure {
    listener_gone,     // the listening socket is closed or unusable: stop accepting
    one_connection,    // only the pending connection failed (reset, aborted, ...): go on
    resource_shortage  // too many sockets, no buffers: go on after a short pause
};
accept_failure net_classify_accept_error(int error);

// The blocking host lookup: calls found(address, context) for each IPv4 address of the
// name, in the order the lookup gives them, until found returns true. Returns 1 if found
// returned true, 0 otherwise (also when the lookup fails).
using address_visitor = bool (*)(ipv4_address address, void* context);
int net_resolve_ipv4(const char* name, address_visitor found, void* context);

// --- test seams ---

// n >= 0: the call after the next n failable calls fails, once; n < 0 cancels.
void net_fail_after(int n);
// True while an armed failure has not happened yet.
bool net_fail_pending();
void net_fail_exempt_this_thread(bool exempt);
using net_close_hook = void (*)(socket_handle socket);
void net_set_close_hook(net_close_hook hook);
using net_wake_hook = bool (*)(socket_handle socket);
void net_set_wake_hook(net_wake_hook hook);

namespace detail {
// Consumed by the platform files: true when this call is to fail.
bool net_should_fail();
// Every close of a socket reports here first.
void net_closing(socket_handle socket);
// Every wake asks here first: false when the wake is to be swallowed.
bool net_waking(socket_handle socket);
// Every successful start of the socket library, and every end of one.
void net_library_started();
void net_library_ended();
}  // namespace detail

}  // namespace platform
