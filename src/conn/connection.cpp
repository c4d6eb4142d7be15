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
    if (!link) return;
    if ((throttled_ && accepting()) || link->peer_gone()) link->wake();
}

std::vector<std::shared_ptr<Connection>> Connection::player_list() {
    std::lock_guard<std::mutex> lk(players_lock);
    return players;
}

std::shared_ptr<Connection> Connection::player_at(int64_t n) {
    std::lock_guard<std::mutex> lk(players_lock);
    if (n < 1 || static_cast<uint64_t>(n) > players.size()) return nullptr;
    return players[static_cast<size_t>(n - 1)];
}

void Connection::on_record(const char* rec, uint32_t n, uint32_t from) {
    const char* delim = link->delimiter().data();
    switch (kind.load()) {
        case kPlain:
        case kRelay:
            tokens::push(tokens, rec, n, delim, "", false);
            break;
        case kDatagram: {
            char addr[16];
            platform::format_dotted(from, addr);
            // A datagram endpoint cannot slow its senders: it drops instead.
            tokens::push(tokens, rec, n, delim, addr, true);
            break;
        }
        case kTyped:
            if (n == 0) return;
            switch (rec[0]) {
                case 'T':
                    tokens::push(tokens, rec + 1, n - 1, delim, "", false);
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
    const bool ok = !tokens::full(tokens) && messages.queue.bytes() < kQueueBound;
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
    on_teardown();
    if (link) link->close_socket();
}

void Connection::on_event() { arrived.notify_all(); }

}  // namespace kiv
