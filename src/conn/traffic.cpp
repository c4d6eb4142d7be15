// The families' exports on a connection: sending, taking and waiting.
#include "conn/traffic.h"

#include <chrono>
#include <cstring>
#include <string>

#include "conn/failure.h"
#include "conn/host.h"
#include "conn/trace.h"

namespace kiv {

namespace {

bool refuse(const char* why) {
    note_failure("%s", why);
    return false;
}

void traced(Connection& c, bool sent, const std::string& rec) {
    if (trace::on()) trace::record(c, sent ? "sent" : "refused", rec.data(), rec.size());
}

// The script's own record on a client: refused (false) while the outbox is
// full or the peer can take nothing more, so that nothing accepted is lost.
bool to_peer(Connection& c, const std::string& rec) {
    if (!c.link) return refuse("the connection has no socket");
    const net::Sent sent = c.link->send(rec.data(), rec.size(), true);
    traced(c, sent == net::Sent::ok, rec);
    switch (sent) {
        case net::Sent::ok:
            return true;
        case net::Sent::full:
            return refuse("the peer is not reading: 8 MiB already wait to be sent");
        case net::Sent::closed:
            break;
    }
    return refuse("the peer has left");
}

// A player server's record from its script to every player.
void to_players(Connection& c, const std::string& rec) {
    traced(c, true, rec);
    c.send_to_players(rec);
}

bool plain_server(const Connection& c) { return c.is_listening() && c.kind.load() != kTyped; }

// Text a typed record can carry: an LF, its delimiter, would end the record
// early and make the rest a record nobody sent. Plain kinds carry any bytes.
bool typed_text_fits(Connection& c, const char* text) {
    if (std::strchr(text, '\n') == nullptr) return true;
    if (trace::on()) trace::record(c, "refused", text, std::strlen(text));
    return refuse("typed text may not hold a line feed");
}

}  // namespace

// ---- Tokens

bool send_token(Connection& c, const char* text, const char* host, uint16_t port) {
    const uint8_t kind = c.kind.load();
    if (kind < kPlain || kind > kDatagram) return refuse("the connection is closed");
    if (!text) text = "";
    if (kind == kTyped && !typed_text_fits(c, text)) return false;
    std::string rec;
    if (c.is_listening()) {
        if (kind != kTyped) return refuse("a plain server has no peer to send to; use an accepted connection");
        tokens::typed_record(rec, text, std::strlen(text));
        to_players(c, rec);
        return true;
    }
    if (c.file.busy.load()) return refuse("a file transfer is running on this connection");
    if (!c.link) return refuse("the connection has no socket");
    if (kind == kTyped) {
        tokens::typed_record(rec, text, std::strlen(text));
    } else {
        net::Lock lk(c.mutex);
        tokens::plain_record(rec, text, c.link->delimiter());
    }
    if (kind == kDatagram) {
        // 1 only when the system took the datagram.
        uint32_t addr;
        const bool sent = port != 0 && resolve_host(host, &addr) && c.link->send_to(rec.data(), rec.size(), addr, port);
        traced(c, sent, rec);
        if (sent) return true;
        if (port == 0) return refuse("a UDP send needs a port 1..65535");
        if (!failure_noted()) note_failure("udp send to %.200s:%u: %s", host, port, platform::last_error_text());
        return false;
    }
    return to_peer(c, rec);
}

bool set_delimiter(Connection& c, const char* delimiter) {
    const uint8_t kind = c.kind.load();
    if ((kind != kPlain && kind != kDatagram) || c.is_listening() || !c.link) {
        return refuse("only plain and UDP connections have a delimiter of their own");
    }
    {
        net::Lock lk(c.mutex);
        c.link->set_delimiter(delimiter ? delimiter : "");
    }
    // Bytes already held may now make records.
    c.link->wake();
    return true;
}

bool take_token(Connection& c) {
    if (plain_server(c)) return refuse("a plain server receives nothing; use an accepted connection");
    if (c.file.busy.load()) return refuse("a file transfer is running on this connection");
    net::Lock lk(c.mutex);
    if (!tokens::take(c.tokens)) return false;  // nothing waits: no failure to report
    c.taken();
    return true;
}

bool wait_token(Connection& c) {
    // A plain server's own queue never fills.
    if (plain_server(c)) return refuse("a plain server receives nothing; use an accepted connection");
    return c.wait_for([&] { return !c.tokens.queue.empty(); }) || refuse("the connection ended");
}

const char* token_value(Connection& c) { return plain_server(c) ? "" : c.tokens.text.data(); }

// The sender stays readable after a disconnect through handle 0, as the
// token does.
const char* token_ipaddress(Connection& c) { return c.opened_kind == kDatagram ? c.tokens.address : ""; }

double token_port(Connection& c) { return c.opened_kind == kDatagram ? c.tokens.port : 0.0; }

bool take_line(Connection& c, int timeout_ms, ByteString* text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    net::UniqueLock lk(c.mutex);
    c.arrived.wait_until(lk, deadline, [&] { return !c.tokens.queue.empty() || !c.connected(); });
    const tokens::Record* r = c.tokens.queue.front();
    if (!r) return false;
    if (text) text->assign(r->text);
    c.tokens.queue.pop();
    c.taken();
    return true;
}

// ---- Messages

bool send_message(Connection& c, int32_t id, int32_t player, const char* value) {
    if (c.kind.load() != kTyped) return refuse("messages travel only on typed connections and player servers");
    if (!messages::id_fits(id)) return refuse("a message id must be 0..251 or 255");
    if (!value) value = "";
    if (!typed_text_fits(c, value)) return false;
    std::string rec;
    if (c.is_listening()) {
        if (player == 0) {
            // To the server's own script.
            {
                net::Lock lk(c.mutex);
                messages::push(c.messages, value, static_cast<uint32_t>(std::strlen(value)), static_cast<uint8_t>(id),
                               0, true);
            }
            c.on_event();
        } else if (player == -1) {
            messages::build_record(rec, id, 0, value, std::strlen(value));
            to_players(c, rec);
        } else if (auto p = c.player_at(player)) {
            messages::build_record(rec, id, 0, value, std::strlen(value));
            traced(*p, true, rec);
            c.send_to_player(*p, rec);
        }
        return true;
    }
    if (!messages::target_fits(player)) return refuse("a client's message goes to -1, 0 or a player 1..32767");
    messages::build_record(rec, id, player, value, std::strlen(value));
    return to_peer(c, rec);
}

bool take_message(Connection& c) {
    if (c.kind.load() != kTyped) return refuse("messages travel only on typed connections and player servers");
    net::Lock lk(c.mutex);
    if (!messages::take(c.messages)) return false;
    c.taken();
    return true;
}

bool wait_message(Connection& c) {
    if (c.kind.load() != kTyped) return true;
    return c.wait_for([&] { return !c.messages.queue.empty(); }) || refuse("the connection ended");
}

// The current message is kept after teardown (kind 0) so that the last one
// taken stays readable; other kinds never have one.
static bool holds_messages(Connection& c) {
    const uint8_t kind = c.kind.load();
    return kind == kTyped || kind == kNotConnected;
}

const char* message_value(Connection& c) { return holds_messages(c) ? c.messages.value.data() : ""; }

double message_id(Connection& c) { return holds_messages(c) ? c.messages.id : 0.0; }

double message_player(Connection& c) { return holds_messages(c) ? c.messages.player : 0.0; }

// ---- Shared data

namespace {

bool data_fits(Connection& c, int32_t slot) {
    if (c.kind.load() != kTyped) return refuse("shared data lives only on typed connections and player servers");
    return shared_data::slot_fits(slot) || refuse("a shared-data slot must be 0..251 or 255");
}

// Stores and sends under c's mutex. On a server that is what keeps a
// joining player consistent: the pass admits it under the same mutex, so it
// gets the value either in its join snapshot or as this record, never
// neither. A client stores only what it could send.
template <typename Store>
bool store_and_send(Connection& c, const std::string& rec, Store store) {
    net::Lock lk(c.mutex);
    if (c.is_listening()) {
        store();
        to_players(c, rec);
        return true;
    }
    if (!to_peer(c, rec)) return false;
    store();
    return true;
}

}  // namespace

bool data_set_int(Connection& c, int32_t slot, int32_t value) {
    if (!data_fits(c, slot)) return false;
    uint8_t digits[3];
    if (!shared_data::encode_value(value, digits)) {
        return refuse("this integer's record would hold a 0 byte, which a peer reads as its end");
    }
    std::string rec;
    shared_data::int_record(rec, slot, digits);
    return store_and_send(c, rec, [&] { shared_data::store_int(c.data, slot, value, digits); });
}

bool data_set_str(Connection& c, int32_t slot, const char* text) {
    if (!text) text = "";
    if (!data_fits(c, slot) || !typed_text_fits(c, text)) return false;
    const uint32_t n = static_cast<uint32_t>(std::strlen(text));
    std::string rec;
    shared_data::str_record(rec, slot, text, n);
    return store_and_send(c, rec, [&] { shared_data::store_str(c.data, slot, text, n); });
}

// The getters' 0 and "" are answers too (a slot holding 0): only what makes
// them fail says why.
static bool has_slots(Connection& c, int32_t slot) {
    if (c.kind.load() != kTyped) return refuse("shared data lives only on typed connections and player servers");
    return shared_data::slot_exists(slot) || refuse("a shared-data slot is 0..255");
}

double data_type(Connection& c, int32_t slot) {
    if (!has_slots(c, slot)) return 0.0;
    net::Lock lk(c.mutex);
    return shared_data::type(c.data, slot);
}

double data_get_int(Connection& c, int32_t slot) {
    if (!has_slots(c, slot)) return 0.0;
    net::Lock lk(c.mutex);
    return shared_data::get_int(c.data, slot);
}

const char* data_get_str(Connection& c, int32_t slot) {
    if (!has_slots(c, slot)) return "";
    net::Lock lk(c.mutex);
    return shared_data::get_str(c.data, slot);
}

// ---- Files

static bool may_transfer(Connection& c) {
    if (c.kind.load() == kPlain && !c.is_listening() && c.link) return true;
    return refuse("files travel only on plain connections (kind 1 or an accepted client)");
}

bool file_send(Connection& c, const char* name) {
    const char* why = nullptr;
    if (!may_transfer(c)) return false;
    if (files::start_send(c.file, *c.link, c.mutex, name, &why)) return true;
    note_failure("file_send %.300s: %s", name, why);
    return false;
}

bool file_receive(Connection& c, const char* name, int32_t size) {
    const char* why = nullptr;
    if (!may_transfer(c)) return false;
    if (files::start_receive(c.file, *c.link, c.mutex, c.tokens, name, size, &why)) return true;
    note_failure("file_receive %.300s: %s", name, why);
    return false;
}

double file_wait(Connection& c) {
    // Other kinds carry no transfer; a connection torn down since is judged
    // by how its last transfer ended.
    if (c.opened_kind != kPlain || c.is_listening()) return 1.0;
    if (files::wait(c.file)) return 1.0;
    return refuse("the transfer did not complete"), 0.0;
}

double file_size(const char* name) {
    const char* why = nullptr;
    const double size = files::file_size(name, &why);
    if (why) note_failure("filesize %.300s: %s", name, why);
    return size;
}

double player_count(Connection& c) {
    return c.is_listening() && c.kind.load() == kTyped ? c.live_players.load() : 0.0;
}

}  // namespace kiv
