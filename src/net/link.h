// Link: the transport of one socket. It reads, cuts records at the delimiter,
// hands each complete record to its handler, and sends through an outbox. It
// knows nothing of what a record means.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "base/byte_string.h"
#include "net/mutex.h"
#include "net/wake.h"
#include "platform/platform.h"

namespace kiv::net {

// Most bytes of one unfinished record a link holds; past it a stream stops
// reading its socket (the bytes wait there, where a file receive can still
// take them) and a datagram link drops what it gathered of the record.
constexpr uint32_t kRecordBound = 4u * 1024 * 1024;
// Most bytes waiting in a stream's outbox for its peer to read.
constexpr size_t kOutboxBound = 8u * 1024 * 1024;
// How long a stream whose peer has left keeps an unfinished last line (a
// file receive may still claim it) before it is torn down.
constexpr int kClosedGraceMs = 2000;
// How long a connection the system gives up on may take to say so: the
// TCP connect of every kind waits at most this.
constexpr int kConnectTimeoutMs = 10000;

// What a link hands its records to. Every call but on_event is made with the
// link's mutex held.
class Handler {
public:
    virtual ~Handler() = default;
    // One complete record, its delimiter removed. from_addr, from_port: the
    // sender on a datagram link.
    virtual void on_record(const char* rec, uint32_t n, uint32_t from_addr, uint16_t from_port) = 0;
    // False while the records the script has not taken are at their bound:
    // the link stops reading (TCP then slows the sender) until woken.
    virtual bool accepting() { return true; }
    // True when nothing received still waits for the script: a link whose
    // peer has gone is then torn down.
    virtual bool drained() { return true; }
    // The link's own worker is tearing it down (its peer has gone).
    virtual void on_teardown() {}
    // Records arrived, or the link ended. Called without the mutex, so that
    // it may wake the host's waits.
    virtual void on_event() {}
};

enum class Sent { ok, full, closed };

class Link {
public:
    // mutex guards the receive side and whatever the handler keeps.
    Link(Mutex& mutex, Handler& handler, platform::socket_t s, bool datagram);
    // A stream connected to addr:port within timeout_ms, or a datagram
    // endpoint bound to port on every interface; null when the system
    // refuses (its reason: platform::last_error_text()).
    static std::unique_ptr<Link> connect_stream(Mutex& mutex, Handler& handler, uint32_t addr, uint16_t port,
                                                int timeout_ms);
    static std::unique_ptr<Link> bind_datagram(Mutex& mutex, Handler& handler, uint16_t port);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // ---- Threads. A link either has a worker of its own or is read by
    // whoever waits on its socket with `wake` (a server's players).
    bool start_worker();
    void use_wake(Wake* wake) { wake_ = wake; }
    // Stops and joins the worker (never from the worker itself). A worker
    // that ended on its own (its peer left) has already let go of its
    // thread, its wake handle and its socket.
    void stop_worker();
    void wake() {
        if (wake_) wake_->signal();
    }

    // ---- Receive side; the mutex held (checked where it is a Mutex).
    // Reads what the socket holds (at most budget bytes), cuts and hands on
    // complete records (at most max_records) while the handler accepts.
    // Returns the records handed on.
    size_t pump(size_t budget, size_t max_records);
    const ByteString& delimiter() const { return delimiter_; }
    // The bytes already held are cut again with the new delimiter.
    void set_delimiter(const char* d);
    // Bytes read and not yet cut into records.
    uint32_t held() const { return rx_.length() - rx_start_; }
    const char* held_data() const { return rx_.data() + rx_start_; }
    void consume(uint32_t n);
    // Puts bytes in front of what is held (a file receive's put-back).
    void prepend(const char* p, uint32_t n);
    // Reading stops while a file transfer owns the socket's bytes.
    void pause_reading(bool paused);
    // No file receive can claim bytes past the record bound here (a typed
    // stream): a record that reaches it ends the link.
    void end_at_record_bound() { end_at_bound_ = true; }
    // Reading stops while the owner holds it back (a server whose readers
    // fell behind); the peer's leaving is still watched.
    void hold_reading(bool held);
    bool reading_held() const { return held_back_; }
    // The last pump stopped at a bound with more to do.
    bool more() const { return more_; }
    // The peer has closed or the socket failed, and every byte it yielded
    // was read (or can never be: see note_hangup).
    bool peer_gone() const { return gone_.load(); }
    // Peer gone, everything taken: time to tear down. deadline_ms: -1, or
    // how long an unfinished last line may still wait.
    bool finished(int* deadline_ms);
    // What a wait on this socket should look for now.
    uint8_t wants();
    // A wait found the peer gone while the link was not reading. A record
    // left unfinished at the bound can never complete: the link then counts
    // as gone. Otherwise what waits in the socket is read once reading
    // resumes.
    void note_hangup();

    // ---- Send side; no mutex needed. Whole records only, in order.
    // own: the script's own send, refused (full) when the outbox is at its
    // bound; otherwise (a server's relays) overflowing marks the peer dead.
    Sent send(const void* p, size_t n, bool own);
    // True when the system took the whole datagram.
    bool send_to(const void* p, size_t n, uint32_t addr, uint16_t port);
    // Writes what the socket takes of the outbox now (a failed write marks
    // the link, see write_failed()).
    void flush();
    bool outbox_empty() const { return outbox_size_.load() == 0; }
    size_t outbox_bytes() const { return outbox_size_.load(); }
    bool overflowed() const { return overflow_.load(); }
    // A write failed: the peer can take nothing more.
    bool write_failed() const { return write_failed_.load(); }
    // Bytes have waited in the outbox and none were taken for at least limit.
    bool stalled(std::chrono::milliseconds limit);
    // Keeps writing the outbox for up to timeout_ms; true when it emptied.
    bool flush_for(int timeout_ms);

    // ---- A file transfer's own reads and writes, under the same rules as
    // every other send and close. For a writer with its own bytes: the
    // outbox first, then as much of p as the socket takes now.
    platform::Io send_behind(const void* p, size_t n, bool more);
    platform::Io read_raw(void* p, size_t n);
    // Waits until the socket is ready for `want` or `stop` is signalled;
    // false when the wait failed. The socket is never closed while a
    // transfer waits: teardown stops the transfer first.
    bool wait_io(uint8_t want, Wake& stop);

    // ---- The socket.
    platform::socket_t socket() const { return socket_.load(); }
    bool open() const { return socket_.load() != platform::invalid_socket; }
    // Closes under the send lock and marks the socket invalid, so that no
    // thread uses the number afterwards (the system reuses numbers).
    void close_socket();
    bool peer_address(uint32_t* addr);
    // 0 once closed.
    uint16_t local_port();

    // Links alive in the process: a departed peer's buffers must go with it.
    static long count();

private:
    bool find_record(uint32_t* len, uint32_t* end);
    void drop_front(uint32_t n);
    bool cut_one();
    bool read_stream(size_t* budget);
    bool read_datagram();
    void mark_gone();
    bool drain_outbox(platform::socket_t s);
    void note_write_failure();
    void run();
    int step(bool* event, bool* ended, uint8_t* want);
    void end_by_itself();

    Mutex& mutex_;
    Handler& handler_;
    const bool datagram_;
    std::atomic<platform::socket_t> socket_;

    // Receive side, under mutex_.
    ByteString delimiter_;
    ByteString rx_;
    uint32_t rx_start_ = 0;
    uint32_t scan_from_ = 0;
    uint32_t rx_from_ = 0;  // sender of the datagram last read
    uint16_t rx_from_port_ = 0;
    bool paused_ = false;
    bool held_back_ = false;
    bool hangup_seen_ = false;  // stop watching for it once noticed
    bool drained_ = false;      // the last read took less than asked: the socket is empty
    bool end_at_bound_ = false;
    bool more_ = false;         // the last pump stopped at a bound with more to do
    std::atomic<bool> gone_{false};
    std::chrono::steady_clock::time_point gone_since_{};

    // Send side, under send_lock_.
    std::mutex send_lock_;
    ByteString outbox_;
    std::atomic<size_t> outbox_size_{0};
    std::atomic<bool> overflow_{false};
    std::atomic<bool> write_failed_{false};
    std::chrono::steady_clock::time_point progress_{};  // last write while bytes waited

    friend class Hub;
    uint8_t watched_ = 0;  // what the hub's set watches for this link

    std::mutex thread_lock_;  // the worker's std::thread object
    std::thread worker_;
    Wake own_wake_;
    Wake* wake_ = nullptr;
    std::atomic<bool> stop_{false};
};

}  // namespace kiv::net
