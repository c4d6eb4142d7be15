// The server pass of a typed server.
#include "net/server_pass.h"

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
// Most records and bytes taken from one player in one pass. What a player
// had ready can be megabytes (its socket buffer); relaying all of it in one
// pass would hold the server's mutex, and so the script's calls on the
// server, for seconds. The rest waits for the next pass, 5 ms later.
constexpr int kRecordsPerPass = 512;
constexpr size_t kBytesPerPass = 256 * 1024;
// A player's gathered bytes are written early once they reach this, so a
// pass never holds much more than this per player.
constexpr size_t kGatherBound = 64 * 1024;
}  // namespace

PassOutput::PassOutput(std::vector<Connection*> players)
    : players_(std::move(players)), pending_(players_.size()) {}

void PassOutput::to(size_t j, const std::string& rec) {
    Connection* p = j < players_.size() ? players_[j] : nullptr;
    if (!p || p->kind.load() != kTyped) return;
    std::string& out = pending_[j];
    out += rec;
    if (out.size() >= kGatherBound) {
        send_record(*p, out.data(), out.size());
        out.clear();
    }
}

void PassOutput::to_all_but(size_t except, const std::string& rec) {
    for (size_t j = 0; j < players_.size(); ++j) {
        if (j != except) to(j, rec);
    }
}

void PassOutput::flush() {
    for (size_t j = 0; j < players_.size(); ++j) {
        if (pending_[j].empty()) continue;
        send_record(*players_[j], pending_[j].data(), pending_[j].size());
        pending_[j].clear();
    }
}

void server_pass(Connection& server) {
    Admissions admissions;
    for (int n = 0; n < kAcceptsPerPass; ++n) {
        const platform::socket_t s = platform::accept(server.socket.load());
        if (s == platform::invalid_socket) break;
        admit_player(server, s, admissions);
    }

    PassOutput out(player_snapshot(server));
    const std::vector<Connection*>& players = out.players();
    // Only players with something to read (bytes, a close, an error), whole
    // records left from an earlier pass, or an overfull outbox need a step:
    // idle players cost one poll between them.
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
        if (ready[i] || p->rx_pending.load() != 0 || p->outbox_overflow.load()) {
            // Only what was ready when the pass reached this player, and at
            // most a pass's share of it: a flooding player can neither hold
            // the pass nor starve the players after it.
            size_t budget = platform::bytes_ready(socks[i]);
            if (budget > kBytesPerPass) budget = kBytesPerPass;
            for (int n = 0; n < kRecordsPerPass && receive_step_with_budget(*p, &budget); ++n) {
            }
        }
        flush_outbox(*p);
        relay_player_tokens(server, *p, i, out);
        route_player_messages(server, *p, i, out);
        apply_player_changes(server, *p, i, out);
    }
    out.flush();
}

}  // namespace kiv
