// The server's TCP port: the listening socket, the accept thread and the stop.
//
// server_start(port) starts the socket library (version 2.2), listens on every local address
// at the low 16 bits of port and starts the accept thread; 1 when the server runs, 0 when not
// (everything made is released again; only the two socket-library failures show a message
// box). server_stop() makes the accept thread close every connection and end, waiting for it
// up to SERVER_STOP_WAIT_MS. Both run on the host's thread, never at the same time, and only
// as the plug-in's running flag allows (start while stopped, stop while running).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t SOCKET_LIBRARY_VERSION = 0x0202;
constexpr uint32_t CLIENT_THREADS_WAIT_MS = 5000;
constexpr uint32_t SERVER_STOP_WAIT_MS = 10000;
// After an accept failure caused by a shortage of sockets or buffers.
constexpr uint32_t ACCEPT_RETRY_PAUSE_MS = 100;
// The most connections taken in together, accepted while more were waiting, before their
// threads start. Large enough for a whole crowd in the listen queue: of 1 500 arrivals at
// once only the last give the places' holders way and get threads, the others give way to
// them without a thread ever started (under Wine 1 400 connections a second instead of 750).
constexpr size_t ACCEPT_BATCH_MAX = 2048;

int server_start(int32_t port);
void server_stop();

// The port the running server listens on (0 when stopped): for tests that start on port 0.
uint16_t server_listening_port();
