// The families' exports on a connection: sending, taking and waiting.
#include "conn/traffic.h"

#include <cstring>
#include <string>

#include "conn/open.h"

namespace kiv {

namespace {

// A player server's records to its players: a player that does not read
// them is dropped by the pass once its outbox overflows.
void to_players(Connection& server, const std::string& rec) {
    for (auto& p : server.player_list()) {
        if (p && p->connected() && p->link) p->link->send(rec.data(), rec.size(), false);
    }
}

// The script's own record on a client: refused (false) while the outbox
// is full, so that nothing accepted is lost.
bool to_peer(Connection& c, const std::string& rec) {
    return c.link && c.link->send(rec.data(), rec.size(), true) != net::Sent::full;
}

bool plain_server(const Connection& c) { return c.is_listening() && c.kind.load() != kTyped; }

// Text a typed record can carry: an LF, its delimiter, would end the record
// early and make the rest a record nobody sent. Plain kinds carry any bytes.
bool typed_text_fits(const char* text) { return std::strchr(text, '\n') == nullptr; }

}  // namespace

// ---- Tokens

bool send_token(Connection& c, const char* text, const char* host, uint16_t port) {
    const uint8_t kind = c.kind.load();
    if (kind < kPlain || kind > kDatagram) return false;
    if (!text) text = "";
    if (kind == kTyped && !typed_text_fits(text)) return false;
    std::string rec;
    if (c.is_listening()) {
        if (kind != kTyped) return false;
        tokens::typed_record(rec, text, std::strlen(text));
        to_players(c, rec);
        return true;
    }
    if (c.file.busy.load() || !c.link) return false;
    if (kind == kTyped) {
        tokens::typed_record(rec, text, std::strlen(text));
    } else {
        std::lock_guard<std::mutex> lk(c.mutex);
        tokens::plain_record(rec, text, c.link->delimiter());
    }
    if (kind == kDatagram) {
        // 1 only when the system took the datagram.
        uint32_t addr;
        return port != 0 && resolve_host(host, &addr) && c.link->send_to(rec.data(), rec.size(), addr, port);
    }
    return to_peer(c, rec);
}

bool set_delimiter(Connection& c, const char* delimiter) {
    const uint8_t kind = c.kind.load();
    if ((kind != kPlain && kind != kDatagram) || c.is_listening() || !c.link) return false;
    {
        std::lock_guard<std::mutex> lk(c.mutex);
        c.link->set_delimiter(delimiter ? delimiter : "");
    }
    // Bytes already held may now make records.
    c.link->wake();
    return true;
}

bool take_token(Connection& c) {
    if (plain_server(c) || c.file.busy.load()) return false;
    std::lock_guard<std::mutex> lk(c.mutex);
    if (!tokens::take(c.tokens)) return false;
    c.taken();
    return true;
}

bool wait_token(Connection& c) {
    // A plain server's own queue never fills.
    if (plain_server(c)) return false;
    return c.wait_for([&] { return !c.tokens.queue.empty(); });
}

const char* token_value(Connection& c) { return plain_server(c) ? "" : c.tokens.text.data(); }

const char* token_ipaddress(Connection& c) { return c.kind.load() == kDatagram ? c.tokens.address.data() : ""; }

// ---- Messages

bool send_message(Connection& c, int32_t id, int32_t player, const char* value) {
    if (c.kind.load() != kTyped || !messages::id_fits(id)) return false;
    if (!value) value = "";
    if (!typed_text_fits(value)) return false;
    std::string rec;
    if (c.is_listening()) {
        if (player == 0) {
            // To the server's own script.
            {
                std::lock_guard<std::mutex> lk(c.mutex);
                messages::push(c.messages, value, static_cast<uint32_t>(std::strlen(value)), static_cast<uint8_t>(id),
                               0, true);
            }
            c.on_event();
        } else if (player == -1) {
            messages::build_record(rec, id, 0, value, std::strlen(value));
            to_players(c, rec);
        } else if (auto p = c.player_at(player)) {
            messages::build_record(rec, id, 0, value, std::strlen(value));
            if (p->connected() && p->link) p->link->send(rec.data(), rec.size(), false);
        }
        return true;
    }
    if (!messages::target_fits(player)) return false;
    messages::build_record(rec, id, player, value, std::strlen(value));
    return to_peer(c, rec);
}

bool take_message(Connection& c) {
    if (c.kind.load() != kTyped) return false;
    std::lock_guard<std::mutex> lk(c.mutex);
    if (!messages::take(c.messages)) return false;
    c.taken();
    return true;
}

bool wait_message(Connection& c) {
    if (c.kind.load() != kTyped) return true;
    return c.wait_for([&] { return !c.messages.queue.empty(); });
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

// Store and send happen under c's mutex. On a server that is what keeps a
// joining player consistent: the pass admits it under the same mutex, so it
// gets the value either in its join snapshot or as this record, never
// neither.
bool data_set_int(Connection& c, int32_t slot, int32_t value) {
    if (c.kind.load() != kTyped || !shared_data::slot_fits(slot)) return false;
    uint8_t digits[3];
    if (!shared_data::encode_value(value, digits)) return false;
    std::string rec;
    shared_data::int_record(rec, slot, digits);
    std::lock_guard<std::mutex> lk(c.mutex);
    if (c.is_listening()) {
        shared_data::store_int(c.data, slot, value, digits);
        to_players(c, rec);
        return true;
    }
    if (!to_peer(c, rec)) return false;
    shared_data::store_int(c.data, slot, value, digits);
    return true;
}

bool data_set_str(Connection& c, int32_t slot, const char* text) {
    if (!text) text = "";
    if (c.kind.load() != kTyped || !shared_data::slot_fits(slot) || !typed_text_fits(text)) return false;
    const uint32_t n = static_cast<uint32_t>(std::strlen(text));
    std::string rec;
    shared_data::str_record(rec, slot, text, n);
    std::lock_guard<std::mutex> lk(c.mutex);
    if (c.is_listening()) {
        shared_data::store_str(c.data, slot, text, n);
        to_players(c, rec);
        return true;
    }
    if (!to_peer(c, rec)) return false;
    shared_data::store_str(c.data, slot, text, n);
    return true;
}

double data_type(Connection& c, int32_t slot) {
    if (c.kind.load() != kTyped) return 0.0;
    std::lock_guard<std::mutex> lk(c.mutex);
    return shared_data::type(c.data, slot);
}

double data_get_int(Connection& c, int32_t slot) {
    if (c.kind.load() != kTyped) return 0.0;
    std::lock_guard<std::mutex> lk(c.mutex);
    return shared_data::get_int(c.data, slot);
}

const char* data_get_str(Connection& c, int32_t slot) {
    if (c.kind.load() != kTyped) return "";
    std::lock_guard<std::mutex> lk(c.mutex);
    return shared_data::get_str(c.data, slot);
}

// ---- Files

static bool may_transfer(Connection& c) { return c.kind.load() == kPlain && !c.is_listening() && c.link; }

bool file_send(Connection& c, const char* name) {
    return may_transfer(c) && files::start_send(c.file, *c.link, c.mutex, name);
}

bool file_receive(Connection& c, const char* name, int32_t size) {
    return may_transfer(c) && files::start_receive(c.file, *c.link, c.mutex, c.tokens, name, size);
}

double file_wait(Connection& c) {
    // Other kinds carry no transfer; a connection torn down since (kind 0)
    // is judged by how its last transfer ended.
    const uint8_t kind = c.kind.load();
    if (kind != kPlain && kind != kNotConnected) return 1.0;
    return files::wait(c.file) ? 1.0 : 0.0;
}

}  // namespace kiv
