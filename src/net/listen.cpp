// Plain and typed servers: listening, accepting clients, admitting players.
#include "net/listen.h"

#include <string>

#include "net/players.h"
#include "net/receive.h"
#include "shared_data/shared_data.h"
#include "tokens/tokens.h"

namespace kiv {

namespace {

// Player numbers travel as signed 16-bit values: a list this long is full.
constexpr size_t kMaxPlayerNumber = 32767;

size_t live_players(Connection& server) {
    size_t live = 0;
    for (Connection* p : player_snapshot(server)) {
        if (p && p->connected() && alive(*p)) ++live;
    }
    return live;
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
        !platform::listen(s, kListenBacklog)) {
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

void admit_player(Connection& server, platform::socket_t s) {
    bool has_room;
    {
        std::lock_guard<std::mutex> lk(server.players_lock);
        has_room = server.players.size() < kMaxPlayerNumber;
    }
    if (!has_room || live_players(server) >= server.max_players) {
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
    size_t number;
    {
        std::lock_guard<std::mutex> lk(server.players_lock);
        server.players.push_back(p);
        number = server.players.size();
    }
    send_token(*p, std::to_string(number).c_str(), "", 0);
    send_join_snapshot(server, *p);
}

}  // namespace kiv
