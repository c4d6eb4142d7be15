// Test support for typed connections: raw players of a kiv player server, record bytes, typed clients.
#pragma once

#include <thread>
#include <string>
#include <vector>

#include "internals.h"

namespace typed {

// Bytes written as a list of values, so that 0x00 and 0xFF read plainly.
inline std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s += static_cast<char>(v);
    return s;
}

// A raw TCP client of a player server that reads whole records.
struct RawPlayer {
    test::sock_t fd = test::kNoSocket;
    std::string buf;     // bytes received and not yet returned
    std::string number;  // text of the first token ("" when the server was full)

    // rcvbuf > 0 fixes a small receive buffer before connecting, for a
    // player whose backlog should reach the server quickly.
    explicit RawPlayer(uint16_t port, bool greet = true, int rcvbuf = 0) {
        fd = test::connect_to(port, rcvbuf);
        if (greet) {
            const std::string first = record();
            number = first.size() >= 2 ? first.substr(1, first.size() - 2) : "<none>";
        }
    }
    ~RawPlayer() {
        if (fd != test::kNoSocket) test::close_socket(fd);
    }
    RawPlayer(const RawPlayer&) = delete;
    RawPlayer& operator=(const RawPlayer&) = delete;

    bool send(const std::string& b) const { return test::write_all(fd, b); }

    // The next record including its final 0x0A, or "<none>" after timeout_ms.
    std::string record(int timeout_ms = 5000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const size_t nl = buf.find('\n');
            if (nl != std::string::npos) {
                std::string r = buf.substr(0, nl + 1);
                buf.erase(0, nl + 1);
                return r;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) return "<none>";
        }
    }

    // Everything that arrives until the line has been quiet for quiet_ms.
    std::string quiet(int quiet_ms = 50) {
        std::string out = buf + test::read_quiet(fd, quiet_ms);
        buf.clear();
        return out;
    }

    // True when the server closed this client within timeout_ms.
    bool closed(int timeout_ms = 5000) const { return test::peer_closed(fd, timeout_ms); }

private:
    // Waits up to timeout_ms for bytes; false on timeout or close.
    bool fill(int timeout_ms) {
        if (!test::readable(fd, timeout_ms)) return false;
        char tmp[65536];
        const auto r = recv(fd, tmp, sizeof tmp, 0);
        if (r <= 0) return false;
        buf.append(tmp, static_cast<size_t>(r));
        return true;
    }
};

// A typed server on an ephemeral port.
struct Server {
    double handle = 0;
    uint16_t port = 0;
    explicit Server(double limit = 0) {
        handle = kiv_listen(0, 3, limit);
        port = test::port_of_handle(handle);
    }
    kiv::Connection& conn() const { return *kiv::api::resolve(handle); }
    size_t entries() const {
        std::lock_guard<std::mutex> lk(conn().players_lock);
        return conn().players.size();
    }
    // Player n's entry; null once the player has departed.
    std::shared_ptr<kiv::Connection> entry(size_t n) const { return conn().player_at(static_cast<int64_t>(n)); }
    bool departed(size_t n) const { return entry(n) == nullptr; }
};

// A kiv typed client of a raw listener that greets it with `greeting`:
// the handle (0 when the connect failed) and the accepted raw end.
struct TypedPair {
    test::Listener listener;
    double handle = 0;
    test::sock_t peer = test::kNoSocket;
    explicit TypedPair(const std::string& greeting = "T3\n") {
        std::thread server([&] {
            peer = listener.accept_one();
            if (peer != test::kNoSocket) test::write_all(peer, greeting);
        });
        handle = kiv_connect("127.0.0.1", listener.port, 3);
        server.join();
    }
    ~TypedPair() {
        if (peer != test::kNoSocket) test::close_socket(peer);
    }
};

// Takes the next message of a connection within timeout_ms as
// "value|id|player", or "<none>".
inline std::string next_message(double handle, int timeout_ms = 5000) {
    if (!test::wait_until([&] { return kiv_message_receive(handle) == 1.0; }, timeout_ms)) return "<none>";
    return std::string(kiv_message_value(handle)) + "|" + std::to_string(static_cast<int>(kiv_message_id(handle))) +
           "|" + std::to_string(static_cast<int>(kiv_message_player(handle)));
}

}  // namespace typed
