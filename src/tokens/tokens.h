// Tokens: delimiter-ended lines on every kind of connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/byte_string.h"
#include "base/record_queue.h"

namespace kiv::tokens {

// Most bytes of received tokens a connection keeps for a script that has
// not taken them; past it a stream stops reading (TCP slows the sender) and
// a datagram endpoint or a server's own queue drops.
constexpr size_t kQueueBound = 8u * 1024 * 1024;

struct Record {
    ByteString text;
    // The connection's delimiter when the token was queued, on the plain
    // kinds (a file receive puts both back); empty on typed streams.
    ByteString delimiter;
    uint32_t from_addr = 0;  // the sender, on a datagram endpoint
    uint16_t from_port = 0;
};

// A connection's tokens: the queue the receive side fills (under the
// connection's lock) and the current token the script took.
struct Box {
    RecordQueue<Record> queue;
    ByteString text;         // the current token
    char address[16] = "";   // its sender, on a datagram endpoint
    uint16_t port = 0;
    std::atomic<uint64_t> dropped{0};
};

// Queues a received token. On a connection that cannot slow its sender (a
// datagram endpoint, a server's own queue), one past the bound is dropped
// and counted instead (false).
bool push(Box& box, const char* text, uint32_t n, const char* delimiter, uint32_t from_addr, uint16_t from_port,
          bool drop_when_full);
inline bool full(const Box& box) { return box.queue.bytes() >= kQueueBound; }

// Moves the oldest token into the current one; false when none waits.
bool take(Box& box);

// A typed stream's token record: "T", the text up to its first 0 byte, LF.
// A peer reads text as C text: what follows a 0 byte would never arrive
// whole, so it never goes out.
void typed_record(std::string& rec, const char* text, size_t n);
// A plain record: the text, then the connection's delimiter.
void plain_record(std::string& rec, const char* text, const ByteString& delimiter);

}  // namespace kiv::tokens
