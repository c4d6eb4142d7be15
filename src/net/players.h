// The player list of a typed server.
#pragma once

#include <vector>

#include "net/connection.h"

namespace kiv {

// A copy of the server's player list (entries may be null). Players are never
// removed while their server exists, so the pointers stay usable for as long
// as the caller may use the server.
inline std::vector<Connection*> player_snapshot(Connection& server) {
    std::lock_guard<std::mutex> lk(server.players_lock);
    return server.players;
}

// Player number n (1-based), or null.
inline Connection* player_at(Connection& server, int64_t n) {
    std::lock_guard<std::mutex> lk(server.players_lock);
    if (n < 1 || static_cast<uint64_t>(n) > server.players.size()) return nullptr;
    return server.players[static_cast<size_t>(n - 1)];
}

}  // namespace kiv
