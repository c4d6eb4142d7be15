// Peer addresses and the address query through the relay service.
#pragma once

#include <cstdint>

#include "net/connection.h"

namespace kiv {

// The dotted address of c's peer, or of player `player` on a typed server;
// the empty string where there is none.
const char* peer_address(Connection& c, int64_t player);

// Asks the relay service how this machine's address looks from outside;
// the answer in the shared result buffer, or the empty string.
const char* query_own_address();

}  // namespace kiv
