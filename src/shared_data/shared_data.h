// Shared data: 256 slots of integers or strings mirrored between a server and its players.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_string.h"
#include "base/record_queue.h"

namespace kiv::shared_data {

constexpr int kSlots = 256;

struct Slot {
    ByteString text;
    int32_t number = 0;
    uint8_t is_string = 0;
    // The digits the players were last sent for the number, so that a
    // newcomer's snapshot reads as it did for those present (a script's -1
    // reads as -251, a player's -251 must stay -251).
    uint8_t sent[3] = {2, 2, 2};
};

// A connection's shared data. A typed client and a server keep the table; a
// player on the server side keeps only the changes its records carry, which
// the server pass applies. All of it under the connection's mutex.
struct Table {
    std::unique_ptr<Slot[]> slots;
    std::unique_ptr<ByteString[]> results;  // the host's copy of each slot's string
    RecordQueue<DataChange> changes;
};

void create(Table& t);
void release(Table& t);

// One digit byte carries 0..251 and 255; 252 and 253 would decode as 124 and
// 8, and 254 would be a 0 byte.
inline bool slot_fits(int32_t slot) { return slot >= 0 && slot <= 255 && (slot < 252 || slot > 254); }
inline bool slot_exists(int32_t slot) { return slot >= 0 && slot < kSlots; }

// The records of a set: "D", slot digit, "I" and three digits, or "S" and
// the text; LF.
void int_record(std::string& rec, int32_t slot, int32_t value);
void str_record(std::string& rec, int32_t slot, const char* text, size_t n);
// The record a server passes on for a player's change.
void forward_record(std::string& rec, const DataChange& ch);

void store_int(Table& t, int32_t slot, int32_t value);
void store_str(Table& t, int32_t slot, const char* text, uint32_t n);
// Applies one received "D" record (rec[0] == 'D'): to the table, or onto the
// change queue where there is no table. Short records are dropped.
void apply_record(Table& t, const uint8_t* rec, uint32_t n);
// Stores a player's change in the server's table.
void apply_change(Table& t, const DataChange& ch);

double type(const Table& t, int32_t slot);
double get_int(const Table& t, int32_t slot);
const char* get_str(Table& t, int32_t slot);

// The records that bring a newcomer's table to what the players present
// read: each integer slot in the digits they were sent.
void snapshot(const Table& t, std::vector<std::string>& records);

}  // namespace kiv::shared_data
