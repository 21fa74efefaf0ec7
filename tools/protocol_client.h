// The client side of the event protocol's login, shared by the tools, the benchmarks and the
// fuzz targets that play client.
//
// client_log_in sends the greeting word, reads the 5-byte cookie line, answers with the digest
// of "cookie:password" and reads "accept\n": 1 when logged in, 0 when the server closed, did
// not answer in time (the socket's receive time-out) or refused the password. The socket is
// the caller's; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net.h"

// Reads exactly length bytes: 1, or 0 when the connection ends or fails first.
int client_receive_exactly(platform::socket_handle socket, char* buffer, int length);
// Sends every byte: 1, or 0 when a send fails.
int client_send_all(platform::socket_handle socket, const void* data, size_t length);
// Four hex digits and their terminator.
constexpr int CLIENT_COOKIE_SIZE = 5;
// The greeting, then the cookie line: 1 with the cookie's digits in cookie, 0 when the server
// closed or failed first (a refused address gets no cookie).
int client_greet(platform::socket_handle socket, char (&cookie)[CLIENT_COOKIE_SIZE]);
// The digest answer to a cookie that client_greet read, with its line end: 1 when sent.
int client_answer(platform::socket_handle socket, const char (&cookie)[CLIENT_COOKIE_SIZE],
                  const char* password);
// The login up to its answer: greeting, cookie line, digest answer sent answer_delay_ms after
// the cookie came (a slow link or a slow client). 1 when the answer went out, 0 when the server
// closed or failed first (a refused address gets no cookie).
int client_answer_challenge(platform::socket_handle socket, const char* password,
                            uint32_t answer_delay_ms = 0);
int client_log_in(platform::socket_handle socket, const char* password,
                  uint32_t answer_delay_ms = 0);
// Reads the server's answer to a login: 1 when it is "accept\n".
int client_read_acceptance(platform::socket_handle socket);
