// The shared-data slot table and its records.
#include "shared_data/shared_data.h"

#include <cstring>

#include "base/codec.h"

namespace kiv::shared_data {

namespace {

bool has_zero_byte(const uint8_t digits[3]) { return digits[0] == 0 || digits[1] == 0 || digits[2] == 0; }

void push_change(RecordQueue<Change>& q, int32_t slot, const void* text, uint32_t n) {
    Change& c = q.push_new();
    c.text.assign(text, n);
    c.is_string = 1;
    c.slot = slot;
    q.commit_push(n);
}

void push_change(RecordQueue<Change>& q, int32_t slot, int32_t value, const uint8_t digits[3]) {
    Change& c = q.push_new();
    c.number = value;
    for (int i = 0; i < 3; ++i) c.digits[i] = digits[i];
    c.slot = slot;
    q.commit_push(0);
}

}  // namespace

bool encode_value(int32_t value, uint8_t digits[3]) {
    encode_big(value, digits);
    return !has_zero_byte(digits);
}

void create(Table& t) {
    t.slots.reset(new Slot[kSlots]);
    t.results.reset(new ByteString[kSlots]);
}

void release(Table& t) {
    // The host's copies stay: a C caller may still hold one.
    t.slots.reset();
    t.changes.clear();
}

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

void forward_record(std::string& rec, const Change& ch) {
    if (ch.is_string) {
        str_record(rec, ch.slot, ch.text.data(), ch.text.length());
        return;
    }
    int_record(rec, ch.slot, ch.digits);
}

void store_int(Table& t, int32_t slot, int32_t value, const uint8_t digits[3]) {
    if (!t.slots) return;
    t.touched = true;
    Slot& d = t.slots[slot];
    d.number = value;
    for (int i = 0; i < 3; ++i) d.digits[i] = digits[i];
    d.is_string = 0;
}

void store_str(Table& t, int32_t slot, const char* text, uint32_t n) {
    if (!t.slots) return;
    t.touched = true;
    t.slots[slot].text.assign(text, n);
    t.slots[slot].is_string = 1;
}

bool apply_record(Table& t, const uint8_t* rec, uint32_t n) {
    if (n < 3) return false;  // too short for slot and type: dropped
    if (!t.slots && rec[1] == 0) {
        // A server passes changes on: a slot byte 0 (slot 254) is one a kiv
        // sender refuses to send, and a peer would read the record as ending there.
        t.dropped.fetch_add(1);
        return false;
    }
    const int32_t slot = static_cast<uint8_t>(decode_digit(rec[1]));
    const bool is_int = rec[2] == 'I';
    if (is_int && n < 6) return false;
    if (is_int) {
        const uint8_t* digits = rec + 3;
        const int32_t value = decode_big(digits);
        if (t.slots) {
            store_int(t, slot, value, digits);
        } else if (!has_zero_byte(digits)) {
            push_change(t.changes, slot, value, digits);
        } else {
            // A server passes changes on: one whose record held a 0 byte is
            // dropped, as a kiv sender refuses to send it.
            t.dropped.fetch_add(1);
            return false;
        }
        return true;
    }
    // A string ends at the record's end or at its first 0 byte.
    const char* text = reinterpret_cast<const char*>(rec + 3);
    const void* nul = std::memchr(text, 0, n - 3);
    const uint32_t len = nul ? static_cast<uint32_t>(static_cast<const char*>(nul) - text) : n - 3;
    if (t.slots) {
        store_str(t, slot, text, len);
    } else {
        push_change(t.changes, slot, text, len);
    }
    return true;
}

void apply_change(Table& t, const Change& ch) {
    if (ch.is_string) {
        store_str(t, ch.slot, ch.text.data(), ch.text.length());
    } else {
        store_int(t, ch.slot, ch.number, ch.digits);
    }
}

double type(const Table& t, int32_t slot) { return t.slots && slot_exists(slot) ? t.slots[slot].is_string : 0.0; }

double get_int(const Table& t, int32_t slot) { return t.slots && slot_exists(slot) ? t.slots[slot].number : 0.0; }

const char* get_str(Table& t, int32_t slot) {
    if (!t.slots || !slot_exists(slot)) return "";
    // A received record may replace the slot's text at any moment on the
    // library's thread, so the host gets a copy that only its own calls on
    // this slot replace.
    t.results[slot].assign(t.slots[slot].text);
    return t.results[slot].data();
}

void snapshot(const Table& t, std::string& out) {
    // A room that never set a slot admits its players without a look at all 256.
    if (!t.slots || !t.touched) return;
    std::string rec;
    // Slots 252 and 253 never hold a value: no set or record can reach them.
    for (int32_t s = 0; s < kSlots; ++s) {
        const Slot& d = t.slots[s];
        // The integer as the other players read it: the digits they were sent.
        const bool has_int = decode_big(d.digits) != 0;
        const bool has_text = !d.text.empty();
        // Both values of a slot that differs from an empty one, the one of
        // its current type last, so the joiner's slot ends up the same.
        if (d.is_string) {
            if (has_int) {
                int_record(rec, s, d.digits);
                out += rec;
            }
            str_record(rec, s, d.text.data(), d.text.length());
            out += rec;
        } else if (has_int || has_text) {
            if (has_text) {
                str_record(rec, s, d.text.data(), d.text.length());
                out += rec;
            }
            int_record(rec, s, d.digits);
            out += rec;
        }
    }
}

}  // namespace kiv::shared_data
