// Messages: id- and player-numbered values between a player server and its players.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/byte_string.h"
#include "base/record_queue.h"

namespace kiv::messages {

// Most bytes of received messages a connection keeps for a script that has
// not taken them (see tokens::kQueueBound).
constexpr size_t kQueueBound = 8u * 1024 * 1024;

struct Record {
    ByteString value;
    int16_t player = 0;
    uint8_t id = 0;
};

struct Box {
    RecordQueue<Record> queue;
    ByteString value;  // the current message
    uint8_t id = 0;
    int16_t player = 0;
    std::atomic<uint64_t> dropped{0};
};

// One digit byte cannot carry 252 and 253 (they would decode as 124 and 8)
// nor 254 (a 0 byte).
inline bool id_fits(int32_t id) { return id >= 0 && id <= 255 && (id < 252 || id > 254); }
// From a client, players below -1 would need a digit that comes out as a 0
// byte or decodes to another number.
inline bool target_fits(int32_t player) { return player >= -1 && player <= 32767; }

// "M", id digit, two player digits, the value up to its first 0 byte, LF
// (a peer reads the value as C text; see tokens::typed_record).
void build_record(std::string& rec, int32_t id, int32_t player, const char* value, size_t n);
// Whether a received record's id byte can pass on: a 0 byte cannot (the
// receiver would read the record as ending there).
inline bool relayable(const Record& r) { return r.id != 254; }

// A received "M" record (rec[0] == 'M') onto the queue; one too short for
// its header is dropped (false). drop_when_full: see tokens::push.
bool apply_record(Box& box, const uint8_t* rec, uint32_t n, bool drop_when_full);
// Queues a message the server's own script sent to player 0; false when
// it was dropped (see tokens::push).
bool push(Box& box, const char* value, uint32_t n, uint8_t id, int16_t player, bool drop_when_full);

bool take(Box& box);

}  // namespace kiv::messages
