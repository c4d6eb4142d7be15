// The server pass of a typed server.
#include "net/server_pass.h"

#include <vector>

#include "messages/messages.h"
#include "net/listen.h"
#include "net/players.h"
#include "net/receive.h"
#include "shared_data/shared_data.h"
#include "tokens/tokens.h"

namespace kiv {

namespace {
// Clients admitted in one pass; more wait in the backlog for the next one.
constexpr int kAcceptsPerPass = 256;
}  // namespace

void server_pass(Connection& server) {
    for (int n = 0; n < kAcceptsPerPass; ++n) {
        const platform::socket_t s = platform::accept(server.socket.load());
        if (s == platform::invalid_socket) break;
        admit_player(server, s);
    }

    std::vector<Connection*> players = player_snapshot(server);
    // Only players with something to read (bytes, a close, an error) or a
    // pending outbox need a step: idle players cost one poll between them.
    std::vector<platform::socket_t> socks(players.size());
    std::vector<uint8_t> ready(players.size());
    for (size_t i = 0; i < players.size(); ++i) {
        Connection* p = players[i];
        socks[i] = (p && p->connected()) ? p->socket.load() : platform::invalid_socket;
    }
    platform::poll_readable(socks.data(), socks.size(), ready.data());

    for (size_t i = 0; i < players.size(); ++i) {
        Connection* p = players[i];
        if (!p || !p->connected()) continue;
        if (ready[i] || p->outbox_overflow.load()) {
            // Only what was ready when the pass reached this player: a
            // flooding player cannot hold the pass (and the server) for ever.
            size_t budget = platform::bytes_ready(socks[i]);
            while (receive_step_with_budget(*p, &budget)) {
            }
        }
        flush_outbox(*p);
        relay_player_tokens(server, *p, i);
        route_player_messages(server, *p, i);
        apply_player_changes(server, *p, i);
    }
}

}  // namespace kiv
