// Servers: listening (plain and player servers) and taking a plain server's clients.
#include "conn/failure.h"
#include "conn/open.h"

namespace kiv {

namespace {

// Clients a plain server's system queue keeps.
constexpr int kListenBacklog = 16;
// A player server takes its clients once per pass: a crowd joining at once
// must fit in the queue meanwhile, or the system drops their connects and
// they retry only seconds later.
constexpr int kPlayerBacklog = 1024;

}  // namespace

std::shared_ptr<Connection> open_server(uint16_t port, uint8_t mode, uint32_t limit) {
    if (mode != kPlain && mode != kTyped) {
        note_failure("listen: mode %u is neither 1 (plain) nor 3 (player server)", mode);
        return nullptr;
    }
    auto c = std::make_shared<Connection>();
    // A port that cannot be listened on is reported, not handed out as a
    // server that would never see a client.
    c->hub = net::Hub::listen(c->mutex, *c, port, mode == kTyped ? kPlayerBacklog : kListenBacklog);
    if (!c->hub) {
        note_failure("listen on port %u: %s", port, platform::last_error_text());
        return nullptr;
    }
    c->opened_kind = mode;
    c->kind.store(mode);
    c->listening.store(1);
    if (mode == kTyped) {
        shared_data::create(c->data);
        c->max_players = (limit >= 1 && limit <= kMaxPlayersDefault) ? limit : kMaxPlayersDefault;
        // Only now: a pass that ran before the server was complete would
        // take it for something else.
        if (!c->hub->start()) {
            note_failure("listen on port %u: no thread or wait could be set up", port);
            return nullptr;
        }
    }
    return c;
}

std::shared_ptr<Connection> accept_client(Connection& server) {
    if (server.kind.load() != kPlain || !server.is_listening() || !server.hub) {
        note_failure("accept: the handle names no plain server");
        return nullptr;
    }
    const platform::socket_t s = server.hub->accept();
    if (s == platform::invalid_socket) {
        note_failure("accept: no client waits");
        return nullptr;
    }
    auto c = std::make_shared<Connection>();
    c->link.reset(new net::Link(c->mutex, *c, s, false));
    c->opened_kind = kPlain;
    c->kind.store(kPlain);
    if (!c->link->start_worker()) {
        note_failure("accept: no thread could be started");
        return nullptr;
    }
    return c;
}

}  // namespace kiv
