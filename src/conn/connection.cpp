// Connection: record dispatch to the families, back-pressure, the end of a connection.
#include "conn/connection.h"

#include "platform/platform.h"

namespace kiv {

Connection::Connection() { platform::startup(); }

Connection::~Connection() {
    // A transfer and the link's worker stop before anything they use goes.
    files::stop(file);
    if (hub) hub->stop();
    if (link) link->stop_worker();
    players.clear();
    link.reset();
    hub.reset();
    platform::cleanup();
}

bool Connection::usable() const {
    if (is_listening()) return true;
    return connected() && link && link->open() && !link->overflowed();
}

void Connection::taken() {
    mutex.assert_held();
    if (!link) return;
    if ((throttled_ && accepting()) || link->peer_gone()) link->wake();
}

std::shared_ptr<Connection> Connection::player_at(int64_t n) {
    std::lock_guard<std::mutex> lk(players_lock);
    if (n < 1 || static_cast<uint64_t>(n) > players.size()) return nullptr;
    return players[static_cast<size_t>(n - 1)];
}

// Bytes the socket did not take wait in the outbox: the hub must now watch
// those players for room, which only the hub's thread may arrange.
void Connection::request_flush(const uint32_t* numbers, size_t n) {
    if (n == 0 || !hub) return;
    {
        std::lock_guard<std::mutex> lk(players_lock);
        flush_requests_.insert(flush_requests_.end(), numbers, numbers + n);
    }
    hub->wake().signal();
}

void Connection::send_to_player(Connection& p, const std::string& rec) {
    if (!p.connected() || !p.link) return;
    p.link->send(rec.data(), rec.size(), false);
    const uint32_t number = static_cast<uint32_t>(p.player_number);
    if (!p.link->outbox_empty()) request_flush(&number, 1);
}

void Connection::send_to_players(const std::string& rec) {
    std::vector<uint32_t> waiting;
    {
        // Lock order: players_lock, then a link's send lock.
        std::lock_guard<std::mutex> lk(players_lock);
        for (auto& p : players) {
            if (!p || !p->connected() || !p->link) continue;
            p->link->send(rec.data(), rec.size(), false);
            if (!p->link->outbox_empty()) waiting.push_back(static_cast<uint32_t>(p->player_number));
        }
    }
    request_flush(waiting.data(), waiting.size());
}

void Connection::on_record(const char* rec, uint32_t n, uint32_t from_addr, uint16_t from_port) {
    switch (kind.load()) {
        case kPlain:
        case kRelay:
            tokens::push(tokens, rec, n, link->delimiter().data(), 0, 0, false);
            break;
        case kDatagram:
            // A datagram endpoint cannot slow its senders: it drops instead.
            tokens::push(tokens, rec, n, link->delimiter().data(), from_addr, from_port, true);
            break;
        case kTyped:
            if (n == 0) return;
            switch (rec[0]) {
                case 'T':
                    tokens::push(tokens, rec + 1, n - 1, nullptr, 0, 0, false);
                    break;
                case 'M':
                    messages::apply_record(messages, reinterpret_cast<const uint8_t*>(rec), n, false);
                    break;
                case 'D':
                    shared_data::apply_record(data, reinterpret_cast<const uint8_t*>(rec), n);
                    break;
                default:
                    break;  // unknown record kinds are dropped
            }
            break;
        default:
            break;
    }
}

bool Connection::accepting() {
    // A player's records leave its queues in the same pass; a datagram
    // endpoint drops past the bound instead of stopping.
    if (is_player || kind.load() == kDatagram) return true;
    const bool ok = !tokens::full(tokens) && messages.queue.bytes() < messages::kQueueBound;
    throttled_ = !ok;
    return ok;
}

bool Connection::drained() { return is_player || (tokens.queue.empty() && messages.queue.empty()); }

void Connection::on_teardown() {
    // The link closes its socket itself; the queues keep what was received.
    shared_data::release(data);
    kind.store(kNotConnected);
}

void Connection::finish() {
    mutex.assert_held();
    on_teardown();
    if (link) link->close_socket();
}

void Connection::on_event() { arrived.notify_all(); }

}  // namespace kiv
