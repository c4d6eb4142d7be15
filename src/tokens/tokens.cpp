// Token sending, the token queue and the relaying of players' tokens.
#include "tokens/tokens.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "frame/table.h"
#include "net/connect.h"
#include "net/players.h"
#include "net/receive.h"
#include "net/server_pass.h"

namespace kiv {

namespace {

// A token record of a typed stream: "T", the text, a newline (by length, so
// a relayed token holding a 0 byte is passed on whole).
void typed_record(std::string& rec, const char* text, size_t n) {
    rec.assign(1, 'T');
    rec.append(text, n);
    rec += '\n';
}

}  // namespace

bool send_token(Connection& c, const char* text, const char* host, uint16_t port) {
    const uint8_t kind = c.kind.load();
    if (kind < kPlain || kind > kDatagram) return false;
    if (!text) text = "";
    // A line end inside a typed record would make the rest a record nobody
    // sent. Plain kinds carry what the script gives (it may speak lines).
    if (kind == kTyped && std::strchr(text, '\n')) return false;
    if (c.is_listening()) {
        if (kind != kTyped) return false;
        std::string rec;
        typed_record(rec, text, std::strlen(text));
        for (Connection* p : player_snapshot(c)) {
            if (p && p->kind.load() == kTyped) send_record(*p, rec.data(), rec.size());
        }
        return true;
    }
    if (c.file_busy.load()) return false;
    std::string rec;
    if (kind == kTyped) {
        typed_record(rec, text, std::strlen(text));
    } else {
        rec = text;
        rec.append(c.delimiter.data(), c.delimiter.length());
    }
    if (kind == kDatagram) {
        // True only when the system took the datagram: a destination that
        // does not resolve, or port 0, sends nothing.
        uint32_t addr;
        if (port == 0 || !resolve_host(host, &addr)) return false;
        return send_datagram(c, rec.data(), rec.size(), addr, port);
    }
    send_record(c, rec.data(), rec.size());
    return true;
}

bool set_delimiter(Connection& c, const char* delimiter) {
    const uint8_t kind = c.kind.load();
    if ((kind != kPlain && kind != kDatagram) || c.is_listening()) return false;
    // A transfer holds the connection's lock until it ends: refuse rather
    // than freeze the script meanwhile.
    if (c.file_busy.load()) return false;
    std::lock_guard<std::mutex> lk(c.mutex);
    c.delimiter.assign(delimiter ? delimiter : "");
    delimiter_changed(c);
    return true;
}

bool take_token(Connection& c) {
    if (c.is_listening() && c.kind.load() != kTyped) return false;
    if (c.file_busy.load()) return false;
    std::lock_guard<std::mutex> lk(c.mutex);
    const TokenRecord* r = c.tokens.front();
    if (!r) return false;
    c.token_text.assign(r->text);
    c.token_address.assign(r->address);
    c.tokens.pop();
    return true;
}

bool wait_token(Connection& c) {
    // A plain server's own queue never fills.
    if (c.is_listening() && c.kind.load() != kTyped) return false;
    while (c.tokens.size() == 0) {
        if (!c.connected()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
    }
    return true;
}

const char* token_value(Connection& c) {
    if (c.is_listening() && c.kind.load() != kTyped) return frame::empty_string();
    return c.token_text.data();
}

const char* token_ipaddress(Connection& c) {
    if (c.kind.load() != kDatagram) return frame::empty_string();
    return c.token_address.data();
}

void relay_player_tokens(Connection& server, Connection& player, size_t i, PassOutput& out) {
    // A player's queues are filled and emptied only on the server's worker,
    // which is running this: no player lock is needed here.
    std::string rec;
    while (const TokenRecord* r = player.tokens.front()) {
        push_token(server.tokens, r->text.data(), r->text.length(), r->delimiter.data(), "");
        typed_record(rec, r->text.data(), r->text.length());
        out.to_all_but(i, rec);
        player.tokens.pop();
    }
}

}  // namespace kiv
