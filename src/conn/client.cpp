// Client connections of every kind: the TCP connect or UDP bind, the worker, the relay and player handshakes.
#include <cstdlib>
#include <cstring>
#include <string>

#include "conn/failure.h"
#include "conn/host.h"
#include "conn/open.h"
#include "conn/relay_endpoint.h"
#include "conn/traffic.h"

namespace kiv {

namespace {

bool relay_handshake(Connection& c, const char* session, const std::string& where) {
    if (!take_line(c, kHandshakeTimeoutMs, nullptr)) {
        note_failure("relay service at %s: no greeting within %d s", where.c_str(), kHandshakeTimeoutMs / 1000);
        return false;
    }
    send_token(c, session, "", 0);
    if (take_line(c, kHandshakeTimeoutMs, nullptr)) return true;
    note_failure("relay service at %s: no answer to joining '%.100s' within %d s", where.c_str(), session,
                 kHandshakeTimeoutMs / 1000);
    return false;
}

bool player_handshake(Connection& c, const std::string& where) {
    ByteString number;
    if (!take_line(c, kHandshakeTimeoutMs, &number)) {
        note_failure("player server %s: no player number within %d s", where.c_str(), kHandshakeTimeoutMs / 1000);
        return false;
    }
    // The empty token says the server is full.
    if (number.empty()) {
        note_failure("player server %s is full", where.c_str());
        return false;
    }
    c.player_number = static_cast<int16_t>(std::atoi(number.data()));
    return true;
}

// Where a stream connects: the relay service for kind 2, else host:port.
bool stream_target(const char* host, uint16_t port, uint8_t kind, uint32_t* addr, uint16_t* to, std::string* where) {
    if (kind == kRelay) {
        if (std::strcmp(host, kAddressQueryName) == 0) {
            note_failure("connect %s: no relay session may have that name (the service answers it as an "
                         "address query)", kAddressQueryName);
            return false;
        }
        RelayEndpoint relay;
        if (!relay_endpoint(RelayUse::connection, &relay) || !resolve_host(relay.host.c_str(), addr)) return false;
        *to = relay.port;
        *where = relay.host + ":" + std::to_string(relay.port);
        return true;
    }
    *to = port;
    *where = std::string(host).substr(0, 200) + ":" + std::to_string(port);
    return resolve_host(host, addr);
}

bool open_socket(Connection& c, const char* host, uint16_t port, uint8_t kind, std::string* where) {
    if (kind == kDatagram) {
        c.link = net::Link::bind_datagram(c.mutex, c, port);
        if (c.link) return true;
        note_failure("udp port %u: cannot bind: %s", port, platform::last_error_text());
        return false;
    }
    uint32_t addr = 0;
    uint16_t to = port;
    if (!stream_target(host, port, kind, &addr, &to, where)) return false;
    c.link = net::Link::connect_stream(c.mutex, c, addr, to, net::kConnectTimeoutMs);
    if (c.link) return true;
    const char* why = platform::last_error_text();
    if (std::strcmp(why, "timed out") == 0) {
        note_failure("connect %s: timed out after %d s", where->c_str(), net::kConnectTimeoutMs / 1000);
    } else {
        note_failure("connect %s: %s", where->c_str(), why);
    }
    return false;
}

bool connect_op(Connection& c, const char* host, uint16_t port, uint8_t kind) {
    if (kind < kPlain || kind > kDatagram) {
        note_failure("connect: kind %u is none of 1 (plain), 2 (relay), 3 (typed), 4 (UDP)", kind);
        return false;
    }
    std::string where;
    if (!open_socket(c, host, port, kind, &where)) return false;
    // The slot table exists before the worker can hand on a data record.
    if (kind == kTyped) {
        shared_data::create(c.data);
        c.link->end_at_record_bound();
    }
    c.opened_kind = kind;
    c.kind.store(kind);
    if (!c.link->start_worker()) {
        note_failure("connect %s: no thread could be started", where.c_str());
        return false;
    }
    if (kind == kRelay && !relay_handshake(c, host, where)) return false;
    if (kind == kTyped && !player_handshake(c, where)) return false;
    return true;
}

}  // namespace

std::shared_ptr<Connection> open_connection(const char* host, uint16_t port, uint8_t kind) {
    auto c = std::make_shared<Connection>();
    if (!connect_op(*c, host ? host : "", port, kind)) {
        teardown(*c, false);
        c.reset();  // stops the worker and closes the socket
        reap_threads();
        return nullptr;
    }
    return c;
}

double player_id(Connection& c) { return c.kind.load() == kTyped ? c.player_number : 0.0; }

}  // namespace kiv
