// Shared data: 256 slots of integers or strings mirrored between a server and its players.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_string.h"
#include "base/record_queue.h"

namespace kiv::shared_data {

constexpr int kSlots = 256;

// A player's change to a slot, on its way through the server.
struct Change {
    ByteString text;  // empty for an integer change
    int32_t number = 0;
    uint8_t digits[3] = {0, 0, 0};  // an integer's digits as they arrived (number is what they read as)
    uint8_t is_string = 0;
    int32_t slot = 0;
};

struct Slot {
    ByteString text;
    int32_t number = 0;
    uint8_t is_string = 0;
    // The digits last sent or received for `number` (those of 0 at first):
    // a server sends a joining player exactly what its other players got.
    uint8_t digits[3] = {2, 2, 2};
};

// A connection's shared data. A typed client and a server keep the table; a
// player on the server side keeps only the changes its records carry, which
// the server pass applies. All of it under the connection's mutex.
struct Table {
    std::unique_ptr<Slot[]> slots;
    std::unique_ptr<ByteString[]> results;  // the host's copy of each slot's string
    RecordQueue<Change> changes;
    std::atomic<uint64_t> dropped{0};  // changes that cannot pass on
    bool touched = false;  // a slot was ever stored: a joiner's snapshot has something to say
};

void create(Table& t);
void release(Table& t);

// One digit byte carries 0..251 and 255; 252 and 253 would decode as 124 and
// 8, and 254 would be a 0 byte.
inline bool slot_fits(int32_t slot) { return slot >= 0 && slot <= 255 && (slot < 252 || slot > 254); }
inline bool slot_exists(int32_t slot) { return slot >= 0 && slot < kSlots; }

// The three digits of value; false when one would be a 0 byte (a peer that
// reads the record as C text would stop there): such a value is refused.
bool encode_value(int32_t value, uint8_t digits[3]);

// The records of a set: "D", slot digit, "I" and three digits, or "S" and
// the text; LF.
void int_record(std::string& rec, int32_t slot, const uint8_t digits[3]);
void str_record(std::string& rec, int32_t slot, const char* text, size_t n);
// The record a server passes on for a player's change: an integer keeps the
// digits it arrived with, so every other player reads what the server stored.
void forward_record(std::string& rec, const Change& ch);

void store_int(Table& t, int32_t slot, int32_t value, const uint8_t digits[3]);
void store_str(Table& t, int32_t slot, const char* text, uint32_t n);
// Applies one received "D" record (rec[0] == 'D'): to the table, or onto the
// change queue where there is no table. Short records are dropped (false).
bool apply_record(Table& t, const uint8_t* rec, uint32_t n);
// Stores a player's change in the server's table.
void apply_change(Table& t, const Change& ch);

double type(const Table& t, int32_t slot);
double get_int(const Table& t, int32_t slot);
const char* get_str(Table& t, int32_t slot);

// The records that bring a newcomer's table to the server's: every slot
// that differs from an empty one, in slot order, with the digits live
// players were sent. Appended to out.
void snapshot(const Table& t, std::string& out);

}  // namespace kiv::shared_data
