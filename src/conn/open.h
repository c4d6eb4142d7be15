// Opening and closing connections: connect (kinds 1 to 4 and their
// handshakes), listen, accept, teardown, peer addresses and the address query.
#pragma once

#include <cstdint>
#include <memory>

#include "conn/connection.h"

namespace kiv {

// How long a connect handshake, and each line of an address query, waits for
// the other side.
constexpr int kHandshakeTimeoutMs = 10000;
constexpr int kQueryTimeoutMs = 5000;
// The relay service's port, for relay connections and the address query.
constexpr uint16_t kRelayPort = 9713;
constexpr uint32_t kMaxPlayersDefault = 5000;

// The host rule: text holding an ASCII letter is looked up by name (when that
// fails, only "localhost" in any case still means the loopback address);
// other text must be a dotted address of four decimal parts. False when
// neither gives an address.
bool resolve_host(const char* host, uint32_t* addr);

// A connection of the given kind with its handshake done and its worker
// running; null on any failure (nothing is left behind).
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
// the connection not connected; a server's players go with it. Never from
// the connection's own threads. False when it was not connected.
bool teardown(Connection& c, bool linger = true);

// The dotted address of c's peer, or of player `player` on a player server;
// "" where there is none. Valid until the next call on this thread.
const char* peer_address(Connection& c, int64_t player);

// Asks the relay service how this machine's address looks from outside;
// "" on failure. Valid until the next query.
const char* query_own_address();

}  // namespace kiv
