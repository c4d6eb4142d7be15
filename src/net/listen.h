// Servers: listening, accepting plain clients, admitting players.
#pragma once

#include <cstdint>

#include "net/connection.h"

namespace kiv {

// A plain (mode 1) or typed (mode 3) server on port; null for other modes or
// when the port cannot be listened on.
Connection* open_server(uint16_t port, uint8_t mode, uint32_t limit);

// Takes one waiting client of a plain server as a new plain connection with
// its own worker; null when there is none (or c is not a plain server).
Connection* accept_client(Connection& c);

double player_id(Connection& c);

// What one pass knows of its live players while it admits clients: counted
// at the first client and kept up to date, so that a crowd of clients costs
// one round of liveness probes per pass rather than one per client.
struct Admissions {
    bool counted = false;
    bool exact = false;  // else `live` is the connected count, an upper bound
    size_t live = 0;
};

// Numbers and greets a new player, or refuses it when the server is full.
// Runs in the server pass with the server's mutex held.
void admit_player(Connection& server, platform::socket_t s, Admissions& a);

}  // namespace kiv
