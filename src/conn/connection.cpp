// Connection: record dispatch to the families, back-pressure, the end of a connection.
#include "conn/connection.h"

#include "conn/trace.h"
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
    // A server keeps its listening flag, and so passes, even torn down; a
    // connection another thread has begun to tear down is not usable.
    if (is_listening()) return true;
    return !torn_down_.load() && connected() && link && link->open() && !link->overflowed();
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

namespace {

// What a typed record is for; false when it is dropped (too short for its
// header, or of no known kind).
bool dispatch_typed(Connection& c, const char* rec, uint32_t n) {
    if (n == 0) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(rec);
    switch (rec[0]) {
        case 'T':
            tokens::push(c.tokens, rec + 1, n - 1, nullptr, 0, 0, false);
            return true;
        case 'M':
            return messages::apply_record(c.messages, bytes, n, false);
        case 'D':
            return shared_data::apply_record(c.data, bytes, n);
        default:
            return false;
    }
}

}  // namespace

void Connection::on_record(const char* rec, uint32_t n, uint32_t from_addr, uint16_t from_port) {
    bool kept = true;
    switch (kind.load()) {
        case kPlain:
        case kRelay:
            tokens::push(tokens, rec, n, link->delimiter().data(), 0, 0, false);
            break;
        case kDatagram:
            // A datagram endpoint cannot slow its senders: it drops instead.
            kept = tokens::push(tokens, rec, n, link->delimiter().data(), from_addr, from_port, true);
            break;
        case kTyped:
            kept = dispatch_typed(*this, rec, n);
            break;
        default:
            kept = false;
            break;
    }
    if (trace::on()) trace::record(*this, kept ? "received" : "dropped", rec, n);
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
    if (trace::on() && connected()) trace::event(*this, "closed", "(the peer left)");
    shared_data::release(data);
    kind.store(kNotConnected);
}

void Connection::finish() {
    mutex.assert_held();
    shared_data::release(data);
    kind.store(kNotConnected);
    if (link) link->close_socket();
}

void Connection::on_event() { arrived.notify_all(); }

}  // namespace kiv
