// Addresses and ports: a connection's peer and local port, and this machine's address as the relay service sees it.
#pragma once

#include <cstdint>

#include "conn/connection.h"

namespace kiv {

// The dotted address of c's peer, or of player `player` on a player server;
// "" where there is none. Valid until the next call on this thread.
const char* peer_address(Connection& c, int64_t player);

// The local port of a server, a UDP endpoint or a client connection; 0
// when there is none.
uint16_t local_port(Connection& c);

// Asks the relay service how this machine's address looks from outside;
// "" (with the reason noted) on failure. Valid until the next query on this
// thread.
const char* query_own_address();

}  // namespace kiv
