// Opening client connections of every kind.
#include "net/connect.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "net/receive.h"
#include "net/teardown.h"
#include "tokens/tokens.h"

#ifndef KIV_RELAY_ADDRESS
#define KIV_RELAY_ADDRESS "127.0.0.1"
#endif

namespace kiv {

namespace {

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

bool relay_handshake(Connection& c, const char* host) {
    if (!wait_for_token(c, kHandshakeTimeoutMs)) return false;
    pop_token(c, nullptr);  // greeting
    send_token(c, host, "", 0);
    if (!wait_for_token(c, kHandshakeTimeoutMs)) return false;
    pop_token(c, nullptr);  // answer
    return true;
}

bool player_handshake(Connection& c) {
    if (!wait_for_token(c, kHandshakeTimeoutMs)) return false;
    ByteString number;
    pop_token(c, &number);
    // The empty token says the server is full.
    if (number.empty()) return false;
    c.player_number = static_cast<int16_t>(std::atoi(number.data()));
    return true;
}

bool connect_op(Connection& c, const char* host, uint16_t port, uint8_t kind) {
    if (kind < kPlain || kind > kDatagram) return false;
    const platform::socket_t s = kind == kDatagram ? platform::open_datagram() : platform::open_stream();
    c.socket.store(s);
    if (s == platform::invalid_socket) return false;
    uint32_t addr = 0;
    if (kind == kRelay) {
        if (!platform::parse_dotted(KIV_RELAY_ADDRESS, &addr)) return false;
        port = kRelayPort;
    } else if (kind != kDatagram && !resolve_host(host, &addr)) {
        return false;
    }
    if (kind == kDatagram) {
        if (!platform::bind(s, 0, port) || !platform::set_multicast_loop_off(s)) return false;
    } else if (!platform::connect(s, addr, port)) {
        return false;
    }
    // The slot table exists before the worker can dispatch a data record.
    if (kind == kTyped) c.slot_table.reset(new DataSlot[kSlots]);
    c.kind.store(kind);
    start_worker(c);
    if (kind == kRelay && !relay_handshake(c, host ? host : "")) return false;
    if (kind == kTyped && !player_handshake(c)) return false;
    c.listening.store(0);
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

Connection* open_connection(const char* host, uint16_t port, uint8_t kind) {
    Connection* c = new Connection();
    if (!connect_op(*c, host, port, kind)) {
        delete c;  // tears down, stops the worker, closes the socket
        return nullptr;
    }
    return c;
}

bool wait_for_token(Connection& c, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (c.tokens.size() == 0) {
        if (!c.connected() || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
    }
    return true;
}

void pop_token(Connection& c, ByteString* text) {
    std::lock_guard<std::mutex> lk(c.mutex);
    const TokenRecord* r = c.tokens.front();
    if (!r) return;
    if (text) text->assign(r->text);
    c.tokens.pop();
}

}  // namespace kiv
