// Connection: the whole state of one socket, its threads and its locks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/byte_string.h"
#include "base/record_queue.h"
#include "frame/platform/platform.h"

namespace kiv {

enum Kind : uint8_t { kNotConnected = 0, kPlain = 1, kRelay = 2, kTyped = 3, kDatagram = 4 };

// Fixed settings.
constexpr int kListenBacklog = 16;
constexpr uint32_t kMaxPlayersDefault = 5000;
constexpr int kSlots = 256;
constexpr int kStepPauseMs = 5;
constexpr int kWaitPollMs = 1;
// Most bytes of one unfinished record a connection holds; past it a stream
// stops taking bytes from its socket and a datagram record is dropped.
constexpr uint32_t kRecordBound = 4u * 1024 * 1024;
// How long a stream whose peer has left keeps an unfinished last line (for a
// file receive that may still claim it) before it is torn down.
constexpr int kClosedGraceMs = 2000;
// Most bytes waiting in a stream connection's outbox; past it the peer is
// taken for dead (it stopped reading).
constexpr size_t kOutboxBound = 8u * 1024 * 1024;

struct DataSlot {
    ByteString text;
    int32_t number = 0;
    uint8_t is_string = 0;
    // The digits last sent or received for `number` (those of 0 at first): a
    // server sends a joining player exactly what its other players were sent.
    uint8_t digits[3] = {2, 2, 2};
};

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Socket and identity. Read by every thread; written by connect/listen/accept
    // before the worker starts, and by teardown.
    std::atomic<platform::socket_t> socket{platform::invalid_socket};
    std::atomic<uint8_t> kind{kNotConnected};
    ByteString delimiter;  // host thread writes; the receive step reads under `mutex`
    std::atomic<uint8_t> listening{0};

    // Typed server: players, entry i holds player number i + 1. Appended only
    // by the server pass under `players_lock`; never shrinks while the server
    // exists, so a snapshot of the pointers stays usable.
    std::vector<Connection*> players;
    std::mutex players_lock;
    int16_t player_number = 0;
    std::unique_ptr<DataSlot[]> slot_table;  // typed client or server; guarded by `mutex`
    // The host's copy of each slot's string, made at the first read; only the
    // host's thread touches it, and teardown leaves it.
    std::unique_ptr<ByteString[]> data_results;
    RecordQueue<DataChange> data_changes;
    uint32_t max_players = 0;

    std::mutex mutex;  // receive buffer, pending datagram, queues, slot table
    std::thread worker;

    // Bytes read from the socket and not yet cut into records start at
    // rx_start (records are taken from the front without moving the rest).
    ByteString receive_buffer;
    uint32_t rx_start = 0;
    uint32_t scan_from = 0;              // where the delimiter search resumes
    std::atomic<uint32_t> rx_pending{0};  // receive_buffer bytes not yet cut, for lock-free readers
    std::chrono::steady_clock::time_point closed_since{};  // when the receive step saw the peer leave
    ByteString pending_datagram;
    uint32_t pending_from = 0;  // sender of pending_datagram

    RecordQueue<TokenRecord> tokens;
    ByteString token_text;
    ByteString token_address;
    RecordQueue<MessageRecord> messages;
    ByteString message_value;
    uint8_t message_id = 0;
    int16_t message_player = 0;

    // File transfer.
    std::atomic<uint8_t> file_busy{0};
    ByteString file_name;
    std::thread file_thread;
    std::atomic<uint32_t> file_done{0};
    std::atomic<int32_t> file_total{0};
    std::atomic<uint8_t> file_ok{0};  // the last transfer ran to its end (file closed)

    // Stopping the threads: raised by teardown, seen by the worker between
    // receive steps and by a file transfer between blocks.
    std::atomic<bool> stop{false};
    std::mutex pause_mutex;
    std::condition_variable pause_cv;

    // Sending: held only around socket writes, so that two threads never
    // interleave the bytes of two records, and around closing the socket, so
    // that nobody writes to a socket number after it was closed.
    std::mutex send_lock;
    ByteString outbox;  // whole records the socket has not taken yet, in order
    std::atomic<bool> outbox_waiting{false};  // outbox not empty, for a lock-free look
    std::atomic<bool> outbox_overflow{false};

    bool connected() const { return kind.load() != kNotConnected; }
    bool is_listening() const { return listening.load() != 0; }

    // Sleeps up to ms, or until stop is raised; true when stop is raised.
    bool pause(int ms);
    void wake();
};

// Writes one whole record on a stream connection without blocking: what the
// socket does not take now waits in the outbox, behind earlier records. On a
// datagram connection nothing is kept. False when the connection has no open
// socket (nothing is written).
bool send_record(Connection& c, const void* bytes, size_t n);
// One datagram; true only when the system took it whole.
bool send_datagram(Connection& c, const void* bytes, size_t n, uint32_t addr, uint16_t port);
// Writes what the socket takes of the outbox now.
void flush_outbox(Connection& c);
// For a writer that keeps its own unsent bytes (a file transfer): writes the
// outbox first, then as much of bytes as the socket takes now. ok with the
// count taken (0 while the outbox is not yet empty); would_block; or error
// when the socket failed or is gone.
platform::Io send_behind_outbox(Connection& c, const void* bytes, size_t n, bool more);
// Keeps writing the outbox, waiting for the socket, for up to timeout_ms;
// true when it is empty.
bool flush_outbox_until(Connection& c, int timeout_ms);

enum class Liveness { alive, idle, closed, dead };
// The socket's state: dead on error, reset, a closed socket or an outbox the
// peer never drains; closed once the peer left in order and the socket holds
// nothing more; idle when it is fine but nothing waits to be read.
Liveness liveness(Connection& c);

// Liveness: the socket is open, the peer has neither reset nor (after an
// orderly close) left anything still to be taken, and it keeps reading what
// is sent to it. A bound datagram socket is alive while it is open.
bool alive(Connection& c);

// Closes the socket under the send lock and marks it invalid, so that no
// thread uses the number afterwards (the system reuses numbers).
void close_socket(Connection& c);

}  // namespace kiv
