// Tokens: delimiter-ended lines on every kind of connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/byte_string.h"
#include "base/record_queue.h"

namespace kiv::tokens {

// A connection's tokens: the queue the receive side fills (under the
// connection's mutex) and the current token the script took.
struct Box {
    RecordQueue<TokenRecord> queue;
    ByteString text;     // the current token
    ByteString address;  // its sender, on a datagram endpoint
    std::atomic<uint64_t> dropped{0};
};

// Queues a received token. On a connection that cannot slow its sender (a
// datagram endpoint, a server's own queue), one past the bound is dropped
// and counted instead.
void push(Box& box, const char* text, uint32_t n, const char* delimiter, const char* address, bool drop_when_full);
inline bool full(const Box& box) { return box.queue.bytes() >= kQueueBound; }

// Moves the oldest token into the current one; false when none waits.
bool take(Box& box);

// A typed stream's token record: "T", the text, LF (by length, so a relayed
// token holding a 0 byte passes on whole).
void typed_record(std::string& rec, const char* text, size_t n);
// A plain record: the text, then the connection's delimiter.
void plain_record(std::string& rec, const char* text, const ByteString& delimiter);

}  // namespace kiv::tokens
