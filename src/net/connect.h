// Connecting: kinds 1 to 4, the host rule, the relay and player handshakes.
#pragma once

#include <cstdint>

#include "net/connection.h"

namespace kiv {

// How long a connect handshake, and each line of an address query, waits for
// the other side.
constexpr int kHandshakeTimeoutMs = 10000;
constexpr int kQueryTimeoutMs = 5000;
// The relay service's port, for relay connections and the address query.
constexpr uint16_t kRelayPort = 9713;

// The host rule: text holding an ASCII letter is looked up by name (when that
// fails, only "localhost" in any case still means the loopback address);
// other text must be a dotted address of four decimal parts. False when
// neither gives an address.
bool resolve_host(const char* host, uint32_t* addr);

// Builds a connection of the given kind, runs its handshake and starts its
// worker. Null on any failure (nothing is left behind).
Connection* open_connection(const char* host, uint16_t port, uint8_t kind);

// Waits until c's token queue holds a token (true), c is torn down, or
// timeout_ms passes (false).
bool wait_for_token(Connection& c, int timeout_ms);

// Removes c's oldest token, copying its text into text if given.
void pop_token(Connection& c, ByteString* text);

}  // namespace kiv
