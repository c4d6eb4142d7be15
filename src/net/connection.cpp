// Connection construction and destruction, sending through the outbox, liveness.
#include "net/connection.h"

#include "net/teardown.h"

namespace kiv {

Connection::Connection() : delimiter("\n") { platform::startup(); }

Connection::~Connection() {
    // kiv_disconnect has already torn down (and lingered); players and
    // connections left at unload close at once.
    teardown(*this, false);
    // A worker that tore its connection down itself has ended but not been
    // joined; a finished file transfer likewise.
    stop_threads(*this);
    close_socket(*this);  // a connect that failed half way leaves an open socket
    platform::cleanup();
    // Players live as long as their server; destroying each closes its socket.
    for (Connection* p : players) delete p;
    players.clear();
}

bool Connection::pause(int ms) {
    std::unique_lock<std::mutex> lk(pause_mutex);
    return pause_cv.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stop.load(); });
}

void Connection::wake() {
    // Taking the pause mutex orders the stop flag before the waiter's check.
    { std::lock_guard<std::mutex> lk(pause_mutex); }
    pause_cv.notify_all();
}

namespace {

// Writes from the front of the outbox until the socket stops taking bytes.
// Caller holds send_lock. False when the socket reported an error.
bool drain_outbox(Connection& c, platform::socket_t s) {
    uint32_t sent = 0;
    bool ok = true;
    while (sent < c.outbox.length()) {
        platform::Io r = platform::send(s, c.outbox.data() + sent, c.outbox.length() - sent, false);
        if (r.status == platform::Status::ok && r.bytes > 0) {
            sent += static_cast<uint32_t>(r.bytes);
            continue;
        }
        ok = r.status == platform::Status::would_block || r.status == platform::Status::ok;
        break;
    }
    c.outbox.erase_front(sent);
    c.outbox_waiting.store(!c.outbox.empty());
    return ok;
}

}  // namespace

bool send_record(Connection& c, const void* bytes, size_t n) {
    std::lock_guard<std::mutex> lk(c.send_lock);
    platform::socket_t s = c.socket.load();
    if (s == platform::invalid_socket) return false;
    const char* p = static_cast<const char*>(bytes);
    size_t sent = 0;
    if (c.outbox.empty()) {
        // Whatever was written before must go first; with an empty outbox
        // this record may go straight to the socket.
        while (sent < n) {
            platform::Io r = platform::send(s, p + sent, n - sent, false);
            if (r.status != platform::Status::ok || r.bytes == 0) {
                if (r.status == platform::Status::error) return true;  // dead: noticed by the probe
                break;
            }
            sent += r.bytes;
        }
    }
    if (sent < n) {
        if (c.outbox.length() + (n - sent) > kOutboxBound) {
            c.outbox_overflow.store(true);
            return true;
        }
        c.outbox.append(p + sent, static_cast<uint32_t>(n - sent));
        c.outbox_waiting.store(true);
    }
    return true;
}

bool send_datagram(Connection& c, const void* bytes, size_t n, uint32_t addr, uint16_t port) {
    std::lock_guard<std::mutex> lk(c.send_lock);
    platform::socket_t s = c.socket.load();
    if (s == platform::invalid_socket) return false;
    const platform::Io r = platform::sendto(s, bytes, n, addr, port);
    return r.status == platform::Status::ok && r.bytes == n;
}

void flush_outbox(Connection& c) {
    if (!c.outbox_waiting.load()) return;
    std::lock_guard<std::mutex> lk(c.send_lock);
    platform::socket_t s = c.socket.load();
    if (s == platform::invalid_socket || c.outbox.empty()) return;
    drain_outbox(c, s);
}

platform::Io send_behind_outbox(Connection& c, const void* bytes, size_t n, bool more) {
    std::lock_guard<std::mutex> lk(c.send_lock);
    const platform::socket_t s = c.socket.load();
    if (s == platform::invalid_socket || c.outbox_overflow.load()) return {platform::Status::error, 0};
    if (!c.outbox.empty()) {
        if (!drain_outbox(c, s)) return {platform::Status::error, 0};
        if (!c.outbox.empty()) return {platform::Status::ok, 0};
    }
    const char* p = static_cast<const char*>(bytes);
    size_t sent = 0;
    while (sent < n) {
        platform::Io r = platform::send(s, p + sent, n - sent, more);
        if (r.status != platform::Status::ok || r.bytes == 0) {
            if (sent == 0) return r;
            break;
        }
        sent += r.bytes;
    }
    return {platform::Status::ok, sent};
}

bool flush_outbox_until(Connection& c, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        platform::socket_t s;
        {
            std::lock_guard<std::mutex> lk(c.send_lock);
            s = c.socket.load();
            if (s == platform::invalid_socket) return false;
            if (!drain_outbox(c, s)) return false;
            if (c.outbox.empty()) return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        platform::wait_writable(s, static_cast<int>(left.count() < 20 ? left.count() : 20));
    }
}

Liveness liveness(Connection& c) {
    if (c.outbox_overflow.load()) return Liveness::dead;
    std::lock_guard<std::mutex> lk(c.send_lock);
    platform::socket_t s = c.socket.load();
    if (s == platform::invalid_socket) return Liveness::dead;
    if (c.kind.load() == kDatagram) return Liveness::alive;
    switch (platform::probe(s)) {
        case platform::Probe::alive:
            return Liveness::alive;
        case platform::Probe::idle:
            return Liveness::idle;
        case platform::Probe::closed:
            return Liveness::closed;
        case platform::Probe::dead:
            break;
    }
    return Liveness::dead;
}

bool alive(Connection& c) {
    switch (liveness(c)) {
        case Liveness::alive:
        case Liveness::idle:
            return true;
        case Liveness::closed:
            // The peer has gone, but what it sent before leaving is still
            // owed to the script: the receive step keeps the connection until
            // every record has been cut and taken, then tears it down.
            return c.connected();
        case Liveness::dead:
            break;
    }
    return false;
}

void close_socket(Connection& c) {
    std::lock_guard<std::mutex> lk(c.send_lock);
    platform::socket_t s = c.socket.exchange(platform::invalid_socket);
    if (s != platform::invalid_socket) platform::close(s);
    c.outbox.clear();
    c.outbox_waiting.store(false);
}

}  // namespace kiv
