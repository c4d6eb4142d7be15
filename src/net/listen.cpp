// Plain and typed servers: listening, accepting clients, admitting players.
#include "net/listen.h"

#include <string>
#include <vector>

#include "net/players.h"
#include "net/receive.h"
#include "shared_data/shared_data.h"
#include "tokens/tokens.h"

namespace kiv {

namespace {

// Player numbers travel as signed 16-bit values: a list this long is full.
constexpr size_t kMaxPlayerNumber = 32767;
// A player server takes its clients only once per pass: a crowd joining at
// once must fit in the queue meanwhile, or the system drops their connects
// and they retry only seconds later.
constexpr int kPlayerBacklog = 1024;

size_t connected_players(const std::vector<Connection*>& players) {
    size_t n = 0;
    for (Connection* p : players) {
        if (p && p->connected()) ++n;
    }
    return n;
}

// A player that left, in order or not, is gone for admission at once, even
// while its last records still wait for its step to relay them.
size_t live_players(const std::vector<Connection*>& players) {
    size_t n = 0;
    for (Connection* p : players) {
        if (!p || !p->connected()) continue;
        const Liveness l = liveness(*p);
        if (l == Liveness::alive || l == Liveness::idle) ++n;
    }
    return n;
}

// Players may join while fewer than the limit are alive. Only connected
// entries can be alive, so the probes are spent only when the connected ones
// alone would fill the server.
bool has_room(Connection& server, Admissions& a) {
    const size_t limit = server.max_players;
    if (!a.counted) {
        a.live = connected_players(player_snapshot(server));
        a.counted = true;
    }
    if (a.live >= limit && !a.exact) {
        a.live = live_players(player_snapshot(server));
        a.exact = true;
    }
    return a.live < limit;
}

}  // namespace

Connection* open_server(uint16_t port, uint8_t mode, uint32_t limit) {
    if (mode != kPlain && mode != kTyped) return nullptr;
    Connection* c = new Connection();
    const platform::socket_t s = platform::open_stream();
    c->socket.store(s);
    // A port that cannot be listened on is reported, not handed out as a
    // server that would never see a client.
    if (s == platform::invalid_socket || !platform::set_nonblocking(s) || !platform::bind(s, 0, port) ||
        !platform::listen(s, mode == kTyped ? kPlayerBacklog : kListenBacklog)) {
        delete c;
        return nullptr;
    }
    c->kind.store(mode);
    if (mode == kTyped) {
        c->player_number = 0;
        c->slot_table.reset(new DataSlot[kSlots]);
        c->max_players = (limit >= 1 && limit <= kMaxPlayersDefault) ? limit : kMaxPlayersDefault;
    }
    c->listening.store(1);
    // Only now: a step that ran before the server was complete would take it
    // for a dead client.
    if (mode == kTyped) start_worker(*c);
    return c;
}

Connection* accept_client(Connection& server) {
    if (server.kind.load() != kPlain || !server.is_listening()) return nullptr;
    const platform::socket_t s = platform::accept(server.socket.load());
    if (s == platform::invalid_socket) return nullptr;
    Connection* c = new Connection();
    c->socket.store(s);
    c->kind.store(kPlain);
    start_worker(*c);
    return c;
}

double player_id(Connection& c) { return c.kind.load() == kTyped ? c.player_number : 0.0; }

void admit_player(Connection& server, platform::socket_t s, Admissions& a) {
    bool list_full;
    {
        std::lock_guard<std::mutex> lk(server.players_lock);
        list_full = server.players.size() >= kMaxPlayerNumber;
    }
    if (list_full || !has_room(server, a)) {
        // Full: the empty token tells the client so, then the socket closes.
        Connection refused;
        refused.socket.store(s);
        refused.kind.store(kTyped);
        send_token(refused, "", "", 0);
        return;  // destroying `refused` closes the socket
    }
    Connection* p = new Connection();
    p->socket.store(s);
    p->kind.store(kTyped);
    {
        // The number goes out as the player becomes visible in the list, so
        // a broadcast by the script (which sends to what the list holds)
        // cannot reach the client before the number its handshake waits for.
        std::lock_guard<std::mutex> lk(server.players_lock);
        server.players.push_back(p);
        const std::string number = std::to_string(server.players.size());
        send_token(*p, number.c_str(), "", 0);
    }
    ++a.live;
    // The server's mutex is held: no set of the server's slots runs between
    // the snapshot and the player's joining.
    send_join_snapshot(server, *p);
}

}  // namespace kiv
