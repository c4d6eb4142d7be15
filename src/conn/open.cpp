// Opening client connections and servers, handshakes, teardown, addresses.
#include "conn/open.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conn/relay_endpoint.h"
#include "conn/traffic.h"

namespace kiv {

namespace {

// Clients a plain server's system queue keeps.
constexpr int kListenBacklog = 16;
// A player server takes its clients once per pass: a crowd joining at once
// must fit in the queue meanwhile, or the system drops their connects and
// they retry only seconds later.
constexpr int kPlayerBacklog = 1024;
// How long a closing connection waits for the socket to take records the
// script sent just before it disconnected.
constexpr int kLingerMs = 250;
// The address answer is cut to what the result buffer holds.
constexpr size_t kAnswerBound = 1023;

using Clock = std::chrono::steady_clock;

bool is_ascii_letter(unsigned char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); }

// "localhost" in any case.
bool is_localhost(const char* host) {
    const char* name = "localhost";
    for (; *name; ++name, ++host) {
        const unsigned char ch = static_cast<unsigned char>(*host);
        if ((ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch) != static_cast<unsigned char>(*name)) return false;
    }
    return *host == 0;
}

// Waits for the next token within timeout_ms and takes its text.
bool next_line(Connection& c, int timeout_ms, ByteString* text) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lk(c.mutex);
    c.arrived.wait_until(lk, deadline, [&] { return !c.tokens.queue.empty() || !c.connected(); });
    const TokenRecord* r = c.tokens.queue.front();
    if (!r) return false;
    if (text) text->assign(r->text);
    c.tokens.queue.pop();
    c.taken();
    return true;
}

bool relay_handshake(Connection& c, const char* host) {
    if (!next_line(c, kHandshakeTimeoutMs, nullptr)) return false;  // greeting
    send_token(c, host, "", 0);
    return next_line(c, kHandshakeTimeoutMs, nullptr);  // answer
}

bool player_handshake(Connection& c) {
    ByteString number;
    if (!next_line(c, kHandshakeTimeoutMs, &number)) return false;
    // The empty token says the server is full.
    if (number.empty()) return false;
    c.player_number = static_cast<int16_t>(std::atoi(number.data()));
    return true;
}

bool connect_op(Connection& c, const char* host, uint16_t port, uint8_t kind) {
    if (kind < kPlain || kind > kDatagram) return false;
    const platform::socket_t s = kind == kDatagram ? platform::open_datagram() : platform::open_stream();
    if (s == platform::invalid_socket) return false;
    c.link.reset(new net::Link(c.mutex, c, s, kind == kDatagram));
    uint32_t addr = 0;
    if (kind == kRelay) {
        RelayEndpoint relay;
        if (!relay_endpoint(RelayUse::connection, &relay) || !resolve_host(relay.host.c_str(), &addr)) return false;
        port = relay.port;
    } else if (kind != kDatagram && !resolve_host(host, &addr)) {
        return false;
    }
    if (kind == kDatagram) {
        if (!platform::bind(s, 0, port) || !platform::set_multicast_loop_off(s)) return false;
    } else if (!platform::connect(s, addr, port)) {
        return false;
    }
    // The slot table exists before the worker can hand on a data record.
    if (kind == kTyped) shared_data::create(c.data);
    c.kind.store(kind);
    if (!c.link->start_worker()) return false;
    if (kind == kRelay && !relay_handshake(c, host ? host : "")) return false;
    if (kind == kTyped && !player_handshake(c)) return false;
    return true;
}

}  // namespace

bool resolve_host(const char* host, uint32_t* addr) {
    if (!host) host = "";
    for (const char* p = host; *p; ++p) {
        if (is_ascii_letter(static_cast<unsigned char>(*p))) {
            if (platform::resolve(host, addr)) return true;
            // Only the local machine's own name stands for loopback when the
            // system cannot look it up; any other name that fails fails.
            if (!is_localhost(host)) return false;
            *addr = platform::loopback_address();
            return true;
        }
    }
    return platform::parse_dotted(host, addr);
}

std::shared_ptr<Connection> open_connection(const char* host, uint16_t port, uint8_t kind) {
    auto c = std::make_shared<Connection>();
    if (!connect_op(*c, host, port, kind)) {
        teardown(*c, false);
        return nullptr;  // destroying it stops the worker and closes the socket
    }
    return c;
}

std::shared_ptr<Connection> open_server(uint16_t port, uint8_t mode, uint32_t limit) {
    if (mode != kPlain && mode != kTyped) return nullptr;
    auto c = std::make_shared<Connection>();
    const platform::socket_t s = platform::open_stream();
    if (s == platform::invalid_socket) return nullptr;
    c->hub.reset(new net::Hub(c->mutex, *c, s));
    // A port that cannot be listened on is reported, not handed out as a
    // server that would never see a client.
    if (!platform::set_nonblocking(s) || !platform::bind(s, 0, port) ||
        !platform::listen(s, mode == kTyped ? kPlayerBacklog : kListenBacklog)) {
        return nullptr;
    }
    c->kind.store(mode);
    c->listening.store(1);
    if (mode == kTyped) {
        shared_data::create(c->data);
        c->max_players = (limit >= 1 && limit <= kMaxPlayersDefault) ? limit : kMaxPlayersDefault;
        // Only now: a pass that ran before the server was complete would
        // take it for something else.
        if (!c->hub->start()) return nullptr;
    }
    return c;
}

std::shared_ptr<Connection> accept_client(Connection& server) {
    if (server.kind.load() != kPlain || !server.is_listening() || !server.hub) return nullptr;
    const platform::socket_t s = server.hub->accept();
    if (s == platform::invalid_socket) return nullptr;
    auto c = std::make_shared<Connection>();
    c->link.reset(new net::Link(c->mutex, *c, s, false));
    c->kind.store(kPlain);
    if (!c->link->start_worker()) return nullptr;
    return c;
}

double player_id(Connection& c) { return c.kind.load() == kTyped ? c.player_number : 0.0; }

bool teardown(Connection& c, bool linger) {
    if (!c.connected()) return false;
    if (c.kind.load() == kRelay && c.link) {
        // The relay service's goodbye line.
        static const char kGoodbye[] = "`\n";
        c.link->send(kGoodbye, 2, true);
    }
    files::stop(c.file);
    if (c.link) c.link->stop_worker();
    if (c.hub) c.hub->stop();
    // A player server's players go with it, released at once.
    std::vector<std::shared_ptr<Connection>> gone;
    {
        std::lock_guard<std::mutex> lk(c.players_lock);
        gone.swap(c.players);
        c.players.resize(gone.size());
    }
    for (auto& p : gone) {
        if (p && p->link) p->link->close_socket();
    }
    gone.clear();
    if (linger && c.link) c.link->flush_for(kLingerMs);
    {
        std::lock_guard<std::mutex> lk(c.mutex);
        c.finish();
        if (c.hub) c.hub->close_listener();
    }
    c.on_event();
    return true;
}

const char* peer_address(Connection& c, int64_t player) {
    thread_local char dotted[16];
    const uint8_t kind = c.kind.load();
    if (kind == kDatagram || kind == kNotConnected) return "";
    std::shared_ptr<Connection> p;
    net::Link* link = c.link.get();
    if (c.is_listening()) {
        if (kind != kTyped) return "";  // a plain server has no peer
        p = c.player_at(player);
        if (!p || !p->connected() || !p->link) return "";
        link = p->link.get();
    }
    uint32_t addr;
    if (!link || !link->peer_address(&addr)) return "";
    platform::format_dotted(addr, dotted);
    return dotted;
}

const char* query_own_address() {
    static char answer_buffer[kAnswerBound + 1];
    // A short-lived plain connection, never entered in the table.
    RelayEndpoint relay;
    if (!relay_endpoint(RelayUse::address_query, &relay)) return "";
    std::shared_ptr<Connection> q = open_connection(relay.host.c_str(), relay.port, kPlain);
    if (!q) return "";
    send_token(*q, "IPADDRESS", "", 0);
    ByteString answer;
    // The service greets first; its second line is the answer. Both waits end
    // when the service goes away or stays silent too long.
    if (!next_line(*q, kQueryTimeoutMs, nullptr) || !next_line(*q, kQueryTimeoutMs, &answer)) {
        teardown(*q);
        return "";
    }
    size_t n = answer.length();
    if (n > kAnswerBound) n = kAnswerBound;
    std::memcpy(answer_buffer, answer.data(), n);
    answer_buffer[n] = 0;
    send_token(*q, "`", "", 0);  // the service's goodbye line
    teardown(*q);
    return answer_buffer;
}

}  // namespace kiv
