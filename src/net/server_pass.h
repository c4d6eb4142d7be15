// The server pass: the receive step of a typed server, and what one pass sends to its players.
#pragma once

#include <string>
#include <vector>

#include "net/connection.h"

namespace kiv {

// Records one pass relays to its players, gathered per player so that each
// player's socket takes one write per pass rather than one per record. The
// players are the pass's snapshot of the list; index j is player number
// j + 1. A player's bytes go out in the order they were added.
class PassOutput {
public:
    explicit PassOutput(std::vector<Connection*> players);
    ~PassOutput() { flush(); }
    PassOutput(const PassOutput&) = delete;
    PassOutput& operator=(const PassOutput&) = delete;

    const std::vector<Connection*>& players() const { return players_; }
    // To entry j, when it is still a connected player.
    void to(size_t j, const std::string& rec);
    // To every connected player except entry `except`.
    void to_all_but(size_t except, const std::string& rec);
    // Writes everything gathered (the rest goes to the players' outboxes).
    void flush();

private:
    std::vector<Connection*> players_;
    std::vector<std::string> pending_;
};

// Admits waiting clients, then for each player in order: reads what it sent,
// relays its tokens, routes its messages, applies its data changes. Caller
// holds the server's mutex.
void server_pass(Connection& server);

}  // namespace kiv
