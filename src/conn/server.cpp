// The server pass of a player server: reading its players, relaying their
// tokens, routing their messages, forwarding their data, admitting newcomers.
#include <string>
#include <vector>

#include "conn/connection.h"

namespace kiv {

namespace {

// Clients admitted in one pass; more wait in the backlog for the next one.
constexpr int kAcceptsPerPass = 256;
// Most records and bytes taken from one player in one pass, so that a
// flooding player can neither hold the server's mutex (and so the script's
// calls on the server) nor starve the players after it. The rest is read in
// the next pass, which follows at once.
constexpr size_t kRecordsPerPass = 512;
constexpr size_t kBytesPerPass = 256 * 1024;
// A player's gathered bytes are written early once they reach this, so a
// pass never holds much more than this per player.
constexpr size_t kGatherBound = 64 * 1024;
// Player numbers travel as signed 16-bit values: a list this long is full.
constexpr size_t kMaxPlayerNumber = 32767;

using PlayerList = std::vector<std::shared_ptr<Connection>>;

// Records one pass relays, gathered per player so that each player's socket
// takes one write per pass rather than one per record. Index j is player
// number j + 1; a player's bytes go out in the order they were added.
class PassOutput {
public:
    explicit PassOutput(const PlayerList& players) : players_(players), pending_(players.size()) {}
    ~PassOutput() { flush(); }
    PassOutput(const PassOutput&) = delete;
    PassOutput& operator=(const PassOutput&) = delete;

    void to(size_t j, const std::string& rec) {
        Connection* p = j < players_.size() ? players_[j].get() : nullptr;
        if (!p || !p->connected()) return;
        std::string& out = pending_[j];
        out += rec;
        if (out.size() >= kGatherBound) write(j);
    }
    void to_all_but(size_t except, const std::string& rec) {
        for (size_t j = 0; j < players_.size(); ++j) {
            if (j != except) to(j, rec);
        }
    }
    void flush() {
        for (size_t j = 0; j < players_.size(); ++j) write(j);
    }

private:
    void write(size_t j) {
        if (pending_[j].empty()) return;
        players_[j]->link->send(pending_[j].data(), pending_[j].size(), false);
        pending_[j].clear();
    }
    const PlayerList& players_;
    std::vector<std::string> pending_;
};

// Player i's tokens: into the server's queue and to every other player.
void relay_tokens(Connection& server, Connection& player, size_t i, PassOutput& out) {
    std::string rec;
    while (const TokenRecord* r = player.tokens.queue.front()) {
        tokens::push(server.tokens, r->text.data(), r->text.length(), r->delimiter.data(), "", true);
        tokens::typed_record(rec, r->text.data(), r->text.length());
        out.to_all_but(i, rec);
        player.tokens.queue.pop();
    }
}

// Player i's messages, by their target: 0 the server's script, -1 everybody
// (the server's script too), n player n (the sender itself included).
void route_messages(Connection& server, Connection& player, size_t i, PassOutput& out) {
    const int32_t sender = static_cast<int32_t>(i + 1);
    std::string rec;
    while (const MessageRecord* r = player.messages.queue.front()) {
        const int32_t target = r->player;
        if (target == 0 || target == -1) {
            messages::push(server.messages, r->value.data(), r->value.length(), r->id, static_cast<int16_t>(sender),
                           true);
        }
        // Every id a record can carry (254 and 255 included) passes on as it
        // came: the id refusal guards only what a script sends.
        if (target == -1 || target >= 1) {
            messages::build_record(rec, r->id, sender, r->value.data(), r->value.length());
            if (target == -1) {
                out.to_all_but(i, rec);
            } else {
                out.to(static_cast<size_t>(target - 1), rec);
            }
        }
        player.messages.queue.pop();
    }
}

// Player i's data changes: stored in the server's table and forwarded to
// everybody else (the sender already has them).
void forward_changes(Connection& server, Connection& player, size_t i, PassOutput& out) {
    std::string rec;
    while (const DataChange* ch = player.data.changes.front()) {
        shared_data::apply_change(server.data, *ch);
        shared_data::forward_record(rec, *ch);
        out.to_all_but(i, rec);
        player.data.changes.pop();
    }
}

// Players may join while fewer than the limit are present.
bool has_room(Connection& server) {
    size_t live = 0;
    for (const auto& p : server.players) {
        if (p) ++live;
    }
    return live < server.max_players && server.players.size() < kMaxPlayerNumber;
}

void admit(Connection& server, platform::socket_t s) {
    bool room;
    {
        std::lock_guard<std::mutex> lk(server.players_lock);
        room = has_room(server);
    }
    if (!room) {
        // Full: the empty token tells the client so, then the socket closes.
        platform::send(s, "T\n", 2, false);
        platform::close(s);
        return;
    }
    auto p = std::make_shared<Connection>();
    p->is_player = true;
    p->link.reset(new net::Link(p->mutex, *p, s, false));
    p->link->use_wake(&server.hub->wake());
    p->kind.store(kTyped);
    std::string rec;
    {
        // The number goes out as the player becomes visible in the list, so
        // a broadcast by the script (which sends to what the list holds)
        // cannot reach the client before the number its handshake waits for.
        std::lock_guard<std::mutex> lk(server.players_lock);
        server.players.push_back(p);
        const std::string number = std::to_string(server.players.size());
        tokens::typed_record(rec, number.data(), number.size());
        p->link->send(rec.data(), rec.size(), false);
    }
    // The server's mutex is held: no set of the server's slots runs between
    // the snapshot and the player's joining. One write for all of it.
    std::string snapshot;
    shared_data::snapshot(server.data, snapshot);
    if (!snapshot.empty()) p->link->send(snapshot.data(), snapshot.size(), false);
}

}  // namespace

bool Connection::pass(std::vector<net::Link*>& links) {
    PlayerList list = player_list();
    std::vector<size_t> departed;
    bool more = false;
    {
        PassOutput out(list);
        for (size_t i = 0; i < list.size(); ++i) {
            Connection* p = list[i].get();
            if (!p || !p->link) continue;
            std::lock_guard<std::mutex> lk(p->mutex);
            net::Link& l = *p->link;
            if (net::Hub::ready(l) || l.held() > 0) {
                // Only what was ready when the pass reached this player, and
                // at most a pass's share of it.
                size_t budget = platform::bytes_ready(l.socket());
                if (budget == 0 || budget > kBytesPerPass) budget = kBytesPerPass;
                l.pump(budget, kRecordsPerPass);
                more = more || l.more();
            }
            relay_tokens(*this, *p, i, out);
            route_messages(*this, *p, i, out);
            forward_changes(*this, *p, i, out);
            if (l.peer_gone() || l.overflowed() || !l.open()) departed.push_back(i);
        }
    }
    if (!departed.empty()) {
        // A departed player's socket, buffers and queues go at once; only
        // its number stays taken.
        std::lock_guard<std::mutex> lk(players_lock);
        for (size_t i : departed) {
            list[i]->kind.store(kNotConnected);
            list[i]->link->close_socket();
            players[i].reset();
        }
    }
    for (size_t i : departed) list[i].reset();
    // Admitted last, so that players who left in this pass make room.
    int admitted = 0;
    for (; admitted < kAcceptsPerPass; ++admitted) {
        const platform::socket_t s = hub->accept();
        if (s == platform::invalid_socket) break;
        admit(*this, s);
    }
    links.clear();
    std::lock_guard<std::mutex> lk(players_lock);
    for (const auto& p : players) {
        if (p && p->link) links.push_back(p->link.get());
    }
    return more || admitted == kAcceptsPerPass;
}

}  // namespace kiv
