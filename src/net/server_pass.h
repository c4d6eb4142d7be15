// The server pass: the receive step of a typed server.
#pragma once

#include "net/connection.h"

namespace kiv {

// Admits waiting clients, then for each player in order: reads what it sent,
// relays its tokens, routes its messages, applies its data changes. Caller
// holds the server's mutex.
void server_pass(Connection& server);

}  // namespace kiv
