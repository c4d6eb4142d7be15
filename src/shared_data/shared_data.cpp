// The shared-data slot table and its records.
#include "shared_data/shared_data.h"

#include <cstring>

#include "base/codec.h"

namespace kiv::shared_data {

namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

int64_t clamp_digit(int64_t d) { return d < -2 ? -2 : (d > 251 ? 251 : d); }

// Digits that decode to exactly n, for every n a received record can carry
// (62500a + 250b + c with digits -2..251). The sender's encode_big does not
// always give these back: -1 arrives as -251, which encode_big would pass on
// as -501. A player's change therefore reaches the others as the server
// stored it.
void encode_big_exact(int32_t n, uint8_t out[3]) {
    const int64_t a = clamp_digit(floor_div(n, 62500));
    const int64_t rest = n - a * 62500;
    const int64_t b = clamp_digit(floor_div(rest, 250));
    const int64_t c = rest - b * 250;
    out[0] = encode_digit(static_cast<int32_t>(a));
    out[1] = encode_digit(static_cast<int32_t>(b));
    out[2] = encode_digit(static_cast<int32_t>(c));
}

void digits_record(std::string& rec, int32_t slot, const uint8_t digits[3]) {
    rec.assign(1, 'D');
    rec += static_cast<char>(encode_digit(slot));
    rec += 'I';
    rec.append(reinterpret_cast<const char*>(digits), 3);
    rec += '\n';
}

}  // namespace

void create(Table& t) {
    t.slots.reset(new Slot[kSlots]);
    t.results.reset(new ByteString[kSlots]);
}

void release(Table& t) {
    // The host's copies stay: a C caller may still hold one.
    t.slots.reset();
    t.changes.clear();
}

void int_record(std::string& rec, int32_t slot, int32_t value) {
    uint8_t digits[3];
    encode_big(value, digits);
    digits_record(rec, slot, digits);
}

void str_record(std::string& rec, int32_t slot, const char* text, size_t n) {
    rec.assign(1, 'D');
    rec += static_cast<char>(encode_digit(slot));
    rec += 'S';
    rec.append(text, n);
    rec += '\n';
}

void forward_record(std::string& rec, const DataChange& ch) {
    if (ch.is_string) {
        str_record(rec, ch.slot, ch.text.data(), ch.text.length());
        return;
    }
    uint8_t digits[3];
    encode_big_exact(ch.number, digits);
    digits_record(rec, ch.slot, digits);
}

void store_int(Table& t, int32_t slot, int32_t value) {
    if (!t.slots) return;
    t.slots[slot].number = value;
    t.slots[slot].is_string = 0;
    encode_big(value, t.slots[slot].sent);
}

void store_str(Table& t, int32_t slot, const char* text, uint32_t n) {
    if (!t.slots) return;
    t.slots[slot].text.assign(text, n);
    t.slots[slot].is_string = 1;
}

void apply_record(Table& t, const uint8_t* rec, uint32_t n) {
    if (n < 3) return;  // too short for slot and type: dropped
    const int32_t slot = static_cast<uint8_t>(decode_digit(rec[1]));
    const bool is_int = rec[2] == 'I';
    if (is_int && n < 6) return;
    if (is_int) {
        const int32_t value = decode_big(rec + 3);
        if (t.slots) {
            store_int(t, slot, value);
        } else {
            push_change(t.changes, slot, value);
        }
        return;
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
}

void apply_change(Table& t, const DataChange& ch) {
    if (ch.is_string) {
        store_str(t, ch.slot, ch.text.data(), ch.text.length());
    } else {
        store_int(t, ch.slot, ch.number);
        // Passed on by forward_record's digits, not the sender's.
        if (t.slots) encode_big_exact(ch.number, t.slots[ch.slot].sent);
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

void snapshot(const Table& t, std::vector<std::string>& records) {
    if (!t.slots) return;
    for (int32_t s = 0; s < kSlots; ++s) {
        const Slot& d = t.slots[s];
        if (d.is_string != 0 || d.number == 0) continue;
        records.emplace_back();
        digits_record(records.back(), s, d.sent);
    }
}

}  // namespace kiv::shared_data
