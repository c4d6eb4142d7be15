// The shared-data slot table, data records and their forwarding on a server.
#include "shared_data/shared_data.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/codec.h"
#include "frame/table.h"
#include "net/players.h"
#include "net/server_pass.h"

namespace kiv {

namespace {

// One digit byte carries 0..251 and 255; 252 and 253 would decode as 124 and
// 8, and 254 would be a 0 byte.
bool slot_fits(int32_t slot) { return slot >= 0 && slot <= 255 && (slot < 252 || slot > 254); }

bool slot_exists(int32_t slot) { return slot >= 0 && slot < kSlots; }

void store_int(DataSlot& s, int32_t value, const uint8_t digits[3]) {
    s.number = value;
    for (int i = 0; i < 3; ++i) s.digits[i] = digits[i];
    s.is_string = 0;
}

void store_str(DataSlot& s, const void* text, uint32_t n) {
    s.text.assign(text, n);
    s.is_string = 1;
}

bool has_zero_byte(const uint8_t digits[3]) { return digits[0] == 0 || digits[1] == 0 || digits[2] == 0; }

void int_record(std::string& rec, int32_t slot, const uint8_t digits[3]) {
    rec.assign(1, 'D');
    rec += static_cast<char>(encode_digit(slot));
    rec += 'I';
    rec.append(reinterpret_cast<const char*>(digits), 3);
    rec += '\n';
}

void str_record(std::string& rec, int32_t slot, const char* text, size_t n) {
    rec.assign(1, 'D');
    rec += static_cast<char>(encode_digit(slot));
    rec += 'S';
    rec.append(text, n);
    rec += '\n';
}

// The record a server passes on for a player's change: an integer keeps the
// digits it arrived with, so every other player reads what the server stored.
void build_forward(std::string& rec, const DataChange& ch) {
    if (ch.is_string) {
        str_record(rec, ch.slot, ch.text.data(), ch.text.length());
    } else {
        int_record(rec, ch.slot, ch.digits);
    }
}

// Sends to c (a client, or a player of a server) or, from a server, to every
// player. Returns false when c is not typed.
bool send_int(Connection& c, int32_t slot, const uint8_t digits[3]) {
    if (c.kind.load() != kTyped) return false;
    if (c.is_listening()) {
        for (Connection* p : player_snapshot(c)) {
            if (p) send_int(*p, slot, digits);
        }
    } else {
        std::string rec;
        int_record(rec, slot, digits);
        send_record(c, rec.data(), rec.size());
    }
    return true;
}

bool send_str(Connection& c, int32_t slot, const char* text) {
    if (c.kind.load() != kTyped) return false;
    if (c.is_listening()) {
        for (Connection* p : player_snapshot(c)) {
            if (p) send_str(*p, slot, text);
        }
    } else {
        std::string rec;
        str_record(rec, slot, text, std::strlen(text));
        send_record(c, rec.data(), rec.size());
    }
    return true;
}

}  // namespace

// Store and send happen under c's mutex. On a server that is what keeps a
// joining player consistent: the pass admits it under the same mutex, so it
// gets the value either in its join snapshot or as this record, never
// neither (a set between the sends and the store would be lost to it).
bool data_set_int(Connection& c, int32_t slot, int32_t value) {
    if (c.kind.load() != kTyped || !slot_fits(slot)) return false;
    uint8_t digits[3];
    encode_big(value, digits);
    // A 0 byte would end the record early for a peer that reads it as C text.
    if (has_zero_byte(digits)) return false;
    std::lock_guard<std::mutex> lk(c.mutex);
    if (c.slot_table) store_int(c.slot_table[slot], value, digits);
    return send_int(c, slot, digits);
}

bool data_set_str(Connection& c, int32_t slot, const char* text) {
    if (!text) text = "";
    if (c.kind.load() != kTyped || !slot_fits(slot)) return false;
    // A line end would cut the record and make the rest a record of its own.
    if (std::strchr(text, '\n')) return false;
    std::lock_guard<std::mutex> lk(c.mutex);
    if (c.slot_table) store_str(c.slot_table[slot], text, static_cast<uint32_t>(std::strlen(text)));
    return send_str(c, slot, text);
}

double data_type(Connection& c, int32_t slot) {
    if (c.kind.load() != kTyped || !slot_exists(slot)) return 0.0;
    std::lock_guard<std::mutex> lk(c.mutex);
    return c.slot_table ? c.slot_table[slot].is_string : 0.0;
}

double data_get_int(Connection& c, int32_t slot) {
    if (c.kind.load() != kTyped || !slot_exists(slot)) return 0.0;
    std::lock_guard<std::mutex> lk(c.mutex);
    return c.slot_table ? c.slot_table[slot].number : 0.0;
}

const char* data_get_str(Connection& c, int32_t slot) {
    if (c.kind.load() != kTyped || !slot_exists(slot)) return frame::empty_string();
    std::lock_guard<std::mutex> lk(c.mutex);
    if (!c.slot_table) return frame::empty_string();
    // A received record may replace the slot's text at any moment on the
    // worker, so the host gets a copy that only its own reads of this slot
    // replace: reading another slot leaves it, and so does a teardown.
    if (!c.data_results) c.data_results.reset(new ByteString[kSlots]);
    ByteString& copy = c.data_results[slot];
    copy.assign(c.slot_table[slot].text);
    return copy.data();
}

void apply_data_record(Connection& c, const uint8_t* rec, uint32_t n) {
    if (n < 3) return;  // too short for slot and type: dropped
    const int32_t slot = static_cast<uint8_t>(decode_digit(rec[1]));
    const bool is_int = rec[2] == 'I';
    if (is_int && n < 6) return;
    if (is_int) {
        const uint8_t* digits = rec + 3;
        const int32_t value = decode_big(digits);
        if (c.slot_table) {
            store_int(c.slot_table[slot], value, digits);
        } else if (!has_zero_byte(digits)) {
            // A server passes changes on: one whose record held a 0 byte is
            // dropped, as a kiv sender refuses to send it.
            push_change(c.data_changes, slot, value, digits);
        }
        return;
    }
    // A string ends at the record's end or at its first 0 byte.
    const char* text = reinterpret_cast<const char*>(rec + 3);
    const void* nul = std::memchr(text, 0, n - 3);
    const uint32_t len = nul ? static_cast<uint32_t>(static_cast<const char*>(nul) - text) : n - 3;
    if (c.slot_table) {
        store_str(c.slot_table[slot], text, len);
    } else {
        push_change(c.data_changes, slot, text, len);
    }
}

void send_join_snapshot(Connection& server, Connection& player) {
    if (!server.slot_table) return;
    // Records are gathered so that a joiner costs a few writes rather than
    // one per slot; past this much they go out before more are gathered.
    constexpr size_t kGather = 64 * 1024;
    std::string out, rec;
    const auto add = [&] {
        out += rec;
        if (out.size() >= kGather) {
            send_record(player, out.data(), out.size());
            out.clear();
        }
    };
    // Slots 252 and 253 never hold a value: no set or record can reach them.
    for (int32_t s = 0; s < kSlots; ++s) {
        const DataSlot& d = server.slot_table[s];
        // The integer as the other players read it: the digits they were sent.
        const bool has_int = decode_big(d.digits) != 0;
        const bool has_text = !d.text.empty();
        // Both values of a slot that differs from an empty one, the one of
        // its current type last, so the joiner's slot ends up the same.
        if (d.is_string) {
            if (has_int) {
                int_record(rec, s, d.digits);
                add();
            }
            str_record(rec, s, d.text.data(), d.text.length());
            add();
        } else if (has_int || has_text) {
            if (has_text) {
                str_record(rec, s, d.text.data(), d.text.length());
                add();
            }
            int_record(rec, s, d.digits);
            add();
        }
    }
    if (!out.empty()) send_record(player, out.data(), out.size());
}

void apply_player_changes(Connection& server, Connection& player, size_t i, PassOutput& out) {
    if (player.data_changes.size() == 0) return;  // an idle player costs no lock
    std::string rec;
    for (;;) {
        std::lock_guard<std::mutex> lk(player.mutex);
        const DataChange* ch = player.data_changes.front();
        if (!ch) return;
        if (server.slot_table) {
            DataSlot& d = server.slot_table[ch->slot];
            if (ch->is_string) {
                store_str(d, ch->text.data(), ch->text.length());
            } else {
                store_int(d, ch->number, ch->digits);
            }
        }
        // Forwarded to everybody else; the sender already has it. Every slot
        // a record can name (254 and 255 included) travels back unchanged.
        build_forward(rec, *ch);
        out.to_all_but(i, rec);
        player.data_changes.pop();
    }
}

}  // namespace kiv
