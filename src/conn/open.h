// Opening and closing connections: connect (kinds 1 to 4 and their
// handshakes), listen, accept and teardown.
#pragma once

#include <cstdint>
#include <memory>

#include "conn/connection.h"

namespace kiv {

// How long a connect handshake, and each line of an address query, waits for
// the other side.
constexpr int kHandshakeTimeoutMs = 10000;
constexpr int kQueryTimeoutMs = 5000;
constexpr uint32_t kMaxPlayersDefault = 5000;

// A connection of the given kind with its handshake done and its worker
// running; null (with the reason noted) on any failure: nothing is left behind.
std::shared_ptr<Connection> open_connection(const char* host, uint16_t port, uint8_t kind);

// A plain (mode 1) or player (mode 3) server on port; null for other modes
// or when the port cannot be listened on.
std::shared_ptr<Connection> open_server(uint16_t port, uint8_t mode, uint32_t limit);

// Takes one waiting client of a plain server as a new plain connection with
// its own worker; null when there is none (or c is not a plain server).
std::shared_ptr<Connection> accept_client(Connection& server);

double player_id(Connection& c);

// Says goodbye to the relay service where there is one, stops the worker
// and any transfer (waiting for them, never killing them), gives the peer a
// moment to take what is still queued for it, closes the socket and marks
// the connection not connected; a server's players go with it. Runs once
// however many threads ask; never from the connection's own threads. False
// when it was not connected or another caller tears it down.
bool teardown(Connection& c, bool linger = true);

// The script now knows c by handle (kiv_connect, kiv_listen, kiv_accept).
void entered(Connection& c, int32_t handle);

// True while the process is ending and its other threads are already gone
// (Windows, at ExitProcess): connections are then left to the system.
bool process_exiting();
// Joins the threads of connections that ended on their own.
void reap_threads();

}  // namespace kiv
