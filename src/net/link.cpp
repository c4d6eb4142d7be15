// Link: reading and cutting records, the outbox, the worker that waits on events.
#include "net/link.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "net/threads.h"

namespace kiv::net {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kDatagramMax = 65536;
// Records a worker hands on before it looks at its stop flag and outbox
// again; the next round follows at once.
constexpr size_t kRecordsPerRound = 4096;
// Reads in one round (a flood of datagrams that complete no record must not
// hold the mutex for ever).
constexpr int kReadsPerRound = 256;

std::atomic<long> g_links{0};

}  // namespace

Link::Link(Mutex& mutex, Handler& handler, platform::socket_t s, bool datagram)
    : mutex_(mutex), handler_(handler), datagram_(datagram), socket_(s), delimiter_("\n") {
    g_links.fetch_add(1);
}

std::unique_ptr<Link> Link::connect_stream(Mutex& mutex, Handler& handler, uint32_t addr, uint16_t port,
                                           int timeout_ms) {
    const platform::socket_t s = platform::open_stream();
    if (s == platform::invalid_socket) return nullptr;
    std::unique_ptr<Link> l(new Link(mutex, handler, s, false));
    if (!platform::connect(s, addr, port, timeout_ms)) return nullptr;
    return l;
}

std::unique_ptr<Link> Link::bind_datagram(Mutex& mutex, Handler& handler, uint16_t port) {
    const platform::socket_t s = platform::open_datagram();
    if (s == platform::invalid_socket) return nullptr;
    std::unique_ptr<Link> l(new Link(mutex, handler, s, true));
    if (!platform::bind(s, 0, port) || !platform::set_multicast_loop_off(s)) return nullptr;
    return l;
}

Link::~Link() {
    stop_worker();
    close_socket();
    g_links.fetch_sub(1);
}

long Link::count() { return g_links.load(); }

// ---- Threads

bool Link::start_worker() {
    if (!own_wake_.open()) return false;
    wake_ = &own_wake_;
    std::lock_guard<std::mutex> lk(thread_lock_);
    return start_thread(worker_, [this] { run(); });
}

void Link::stop_worker() {
    stop_.store(true);
    wake();
    std::thread t;
    {
        std::lock_guard<std::mutex> lk(thread_lock_);
        if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) t.swap(worker_);
    }
    if (t.joinable()) t.join();
}

// The worker's end after its peer left: the socket, the wake handle and the
// thread itself go now; what the handler keeps stays for the script.
void Link::end_by_itself() {
    own_wake_.close();
    std::lock_guard<std::mutex> lk(thread_lock_);
    // Last touch of this link: a host may destroy it as soon as the lock goes.
    if (worker_.joinable()) retire(std::move(worker_));
}

// One round under the mutex: read and hand on, then say what to wait for.
// Returns the wait's time limit (-1 none, 0 at once).
int Link::step(bool* event, bool* ended, uint8_t* want) {
    Lock lk(mutex_);
    if (!open()) {
        *ended = true;
        return -1;
    }
    if (write_failed_.load() && !gone_.load()) mark_gone();
    try {
        *event = pump(static_cast<size_t>(-1), kRecordsPerRound) > 0;
    } catch (const std::bad_alloc&) {
        // A record that found no memory is dropped; the rest go on.
    }
    int timeout_ms = -1;
    if (more_) {
        timeout_ms = 0;  // stopped at a bound, not at an empty socket
    } else if (finished(&timeout_ms)) {
        handler_.on_teardown();
        close_socket();
        rx_.release();
        *ended = true;
        return -1;
    }
    *want = wants();
    return timeout_ms;
}

void Link::run() {
    for (;;) {
        own_wake_.seen();
        if (stop_.load()) return;
        bool event = false, ended = false;
        uint8_t want = 0;
        const int timeout_ms = step(&event, &ended, &want);
        if (event || ended) handler_.on_event();
        if (ended) return end_by_itself();
        flush();  // a failed write wakes this worker, whose next step ends the link
        if (!outbox_empty()) want |= platform::kWantWrite;
        platform::WaitItem item{socket(), want, 0};
        const int r = platform::wait(own_wake_.handle(), &item, 1, timeout_ms);
        if (r < 0) {
            // The wait itself failed (no more handles): the socket is
            // unusable for this worker; leave it to teardown.
            {
                Lock lk(mutex_);
                handler_.on_teardown();
                close_socket();
            }
            handler_.on_event();
            return end_by_itself();
        }
        if (item.got & platform::kWantHangup) {
            Lock lk(mutex_);
            note_hangup();
        }
    }
}

// ---- Receive side

bool Link::find_record(uint32_t* len, uint32_t* end) {
    const char* base = rx_.data() + rx_start_;
    const uint32_t avail = rx_.length() - rx_start_;
    const uint32_t dlen = delimiter_.length();
    if (dlen == 0) {
        // The empty delimiter is found after every byte that arrives.
        if (avail <= scan_from_) return false;
        *len = *end = scan_from_ + 1;
        return true;
    }
    if (scan_from_ < avail) {
        const long pos = find_bytes(base + scan_from_, avail - scan_from_, delimiter_.data(), dlen);
        if (pos >= 0) {
            *len = scan_from_ + static_cast<uint32_t>(pos);
            *end = *len + dlen;
            return true;
        }
    }
    // A delimiter that starts in the last dlen - 1 bytes may still complete.
    scan_from_ = avail >= dlen ? avail - dlen + 1 : 0;
    return false;
}

void Link::drop_front(uint32_t n) {
    rx_start_ += n;
    scan_from_ = 0;
    const uint32_t len = rx_.length();
    if (rx_start_ >= len) {
        rx_.clear();
        rx_start_ = 0;
    } else if (rx_start_ > kChunk && rx_start_ > len / 2) {
        // Compact now and then, so taking records from the front stays linear.
        rx_.erase_front(rx_start_);
        rx_start_ = 0;
    }
}

void Link::consume(uint32_t n) {
    mutex_.assert_held();
    drop_front(n < held() ? n : held());
}

void Link::prepend(const char* p, uint32_t n) {
    mutex_.assert_held();
    if (n == 0) return;
    ByteString joined;
    joined.append(p, n);
    joined.append(held_data(), held());
    rx_.swap(joined);
    rx_start_ = 0;
    scan_from_ = 0;
}

bool Link::cut_one() {
    uint32_t len, end;
    if (!find_record(&len, &end)) return false;
    // The handler may throw on a record it cannot store: the record is
    // dropped all the same, so the stream stays in step.
    struct Dropper {
        Link& l;
        uint32_t end;
        ~Dropper() { l.drop_front(end); }
    } dropper{*this, end};
    handler_.on_record(rx_.data() + rx_start_, len, rx_from_, rx_from_port_);
    return true;
}

void Link::set_delimiter(const char* d) {
    mutex_.assert_held();
    delimiter_.assign(d ? d : "");
    // An empty delimiter cuts after the next byte that arrives.
    scan_from_ = delimiter_.length() == 0 ? held() : 0;
}

void Link::pause_reading(bool paused) {
    mutex_.assert_held();
    paused_ = paused;
}

void Link::hold_reading(bool held) {
    mutex_.assert_held();
    held_back_ = held;
}

void Link::mark_gone() {
    if (gone_.load()) return;
    gone_since_ = Clock::now();
    gone_.store(true);
}

bool Link::read_stream(size_t* budget) {
    const uint32_t h = held();
    // Past the bound the bytes stay in the socket; with the peer gone, or
    // where nothing but a record could take them, the unfinished record
    // never completes. (A peer whose last bytes wait behind a full window
    // cannot even say it left.)
    if (h >= kRecordBound) {
        if (hangup_seen_ || end_at_bound_) mark_gone();
        return false;
    }
    if (*budget == 0) return false;
    size_t want = kChunk;
    if (want > kRecordBound - h) want = kRecordBound - h;
    if (want > *budget) want = *budget;
    // Read straight into the buffer's spare room: no copy, and no scratch
    // buffer on every thread.
    const platform::Io r = platform::recv(socket(), rx_.room_for(static_cast<uint32_t>(want)), want);
    if (r.status == platform::Status::ok && r.bytes > 0) {
        *budget -= r.bytes;
        rx_.grow(static_cast<uint32_t>(r.bytes));
        // A short read emptied the socket: asking again would only fail;
        // the next readiness says when more came.
        drained_ = r.bytes < want;
        return true;
    }
    // Closed in order, reset or failed: everything before it was read.
    if (r.status != platform::Status::would_block) mark_gone();
    return false;
}

bool Link::read_datagram() {
    uint32_t from = 0;
    uint16_t from_port = 0;
    if (held() > kRecordBound) {
        // An endless record: drop what was gathered of it.
        rx_.clear();
        rx_start_ = 0;
        scan_from_ = 0;
    }
    const platform::Io r =
        platform::recvfrom(socket(), rx_.room_for(kDatagramMax), kDatagramMax, &from, &from_port);
    if (r.status != platform::Status::ok) return false;
    rx_.grow(static_cast<uint32_t>(r.bytes));
    // Every record this datagram completes ends inside it.
    rx_from_ = from;
    rx_from_port_ = from_port;
    return true;
}

size_t Link::pump(size_t budget, size_t max_records) {
    mutex_.assert_held();
    size_t records = 0;
    more_ = false;
    if (!open()) return 0;
    for (int reads = 0;; ++reads) {
        while (records < max_records && handler_.accepting() && cut_one()) ++records;
        if (paused_ || held_back_ || gone_.load() || !handler_.accepting()) break;
        if (records >= max_records || reads >= kReadsPerRound) {
            more_ = true;
            break;
        }
        if (datagram_ ? !read_datagram() : !read_stream(&budget)) {
            if (gone_.load()) continue;  // cut what the last read completed
            if (!datagram_ && budget == 0) more_ = true;  // a share read, maybe more waits
            break;
        }
        if (drained_) {
            drained_ = false;
            // A peer that hung up: read on to its end now, so its leaving is
            // noticed in this round rather than the next.
            if (hangup_seen_) continue;
            while (records < max_records && handler_.accepting() && cut_one()) ++records;
            if (records >= max_records) more_ = true;
            break;
        }
    }
    return records;
}

bool Link::finished(int* deadline_ms) {
    mutex_.assert_held();
    *deadline_ms = -1;
    if (!gone_.load() || paused_ || !handler_.drained()) return false;
    if (held() == 0) return true;
    // An unfinished last line is kept a moment for a file receive that may
    // still claim it, then the departure is noticed.
    const auto left = std::chrono::milliseconds(kClosedGraceMs) - (Clock::now() - gone_since_);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    if (ms <= 0) return true;
    *deadline_ms = static_cast<int>(ms) + 1;
    return false;
}

uint8_t Link::wants() {
    mutex_.assert_held();
    uint8_t want = 0;
    if (!paused_ && !gone_.load()) {
        const bool reading = !held_back_ && handler_.accepting() && (datagram_ || held() < kRecordBound);
        if (reading) {
            want |= platform::kWantRead;
        } else if (!datagram_ && !hangup_seen_) {
            want |= platform::kWantHangup;  // the peer's leaving still shows
        }
    }
    if (!outbox_empty()) want |= platform::kWantWrite;
    return want;
}

void Link::note_hangup() {
    mutex_.assert_held();
    hangup_seen_ = true;
    // Bytes past the bound never make a record: with the peer gone, the
    // unfinished one never completes.
    if (!paused_ && held() >= kRecordBound) mark_gone();
}

// ---- Send side

void Link::note_write_failure() {
    // The peer can take nothing more: what waits for it goes, and the worker
    // ends the connection once the script has taken what arrived.
    write_failed_.store(true);
    outbox_.clear();
    outbox_size_.store(0);
    wake();
}

bool Link::drain_outbox(platform::socket_t s) {
    uint32_t sent = 0;
    bool ok = true;
    while (sent < outbox_.length()) {
        const platform::Io r = platform::send(s, outbox_.data() + sent, outbox_.length() - sent, false);
        if (r.status == platform::Status::ok && r.bytes > 0) {
            sent += static_cast<uint32_t>(r.bytes);
            continue;
        }
        ok = r.status == platform::Status::would_block || r.status == platform::Status::ok;
        break;
    }
    if (!ok) {
        note_write_failure();
        return false;
    }
    if (sent > 0) progress_ = Clock::now();
    outbox_.erase_front(sent);
    outbox_size_.store(outbox_.length());
    return true;
}

Sent Link::send(const void* bytes, size_t n, bool own) {
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket();
    if (s == platform::invalid_socket || write_failed_.load()) return Sent::closed;
    if (overflow_.load()) return own ? Sent::full : Sent::closed;
    const char* p = static_cast<const char*>(bytes);
    // A record the outbox could not take whole is refused before any of it
    // is written, so the stream never carries part of a record.
    if (own && outbox_.length() + n > kOutboxBound) return Sent::full;
    size_t sent = 0;
    if (outbox_.empty()) {
        while (sent < n) {
            const platform::Io r = platform::send(s, p + sent, n - sent, false);
            if (r.status != platform::Status::ok || r.bytes == 0) {
                if (r.status == platform::Status::error) {
                    note_write_failure();
                    return Sent::closed;
                }
                break;
            }
            sent += r.bytes;
        }
    }
    if (sent < n) {
        if (outbox_.length() + (n - sent) > kOutboxBound) {
            // A relay the peer does not read: it is taken for dead.
            overflow_.store(true);
            wake();
            return Sent::closed;
        }
        const bool was_empty = outbox_.empty();
        outbox_.append(p + sent, static_cast<uint32_t>(n - sent));
        outbox_size_.store(outbox_.length());
        if (was_empty) {
            progress_ = Clock::now();
            wake();  // the waiter now also waits for room
        }
    }
    return Sent::ok;
}

bool Link::send_to(const void* p, size_t n, uint32_t addr, uint16_t port) {
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket();
    if (s == platform::invalid_socket) return false;
    const platform::Io r = platform::sendto(s, p, n, addr, port);
    return r.status == platform::Status::ok && r.bytes == n;
}

void Link::flush() {
    if (outbox_empty()) return;
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket();
    if (s != platform::invalid_socket && !outbox_.empty()) drain_outbox(s);
}

bool Link::stalled(std::chrono::milliseconds limit) {
    if (outbox_empty()) return false;
    std::lock_guard<std::mutex> lk(send_lock_);
    return !outbox_.empty() && Clock::now() - progress_ >= limit;
}

bool Link::flush_for(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        platform::socket_t s;
        {
            std::lock_guard<std::mutex> lk(send_lock_);
            s = socket();
            if (s == platform::invalid_socket || !drain_outbox(s)) return false;
            if (outbox_.empty()) return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        platform::WaitItem item{s, platform::kWantWrite, 0};
        platform::wait(nullptr, &item, 1, static_cast<int>(left));
    }
}

platform::Io Link::send_behind(const void* bytes, size_t n, bool more) {
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket();
    if (s == platform::invalid_socket || overflow_.load() || write_failed_.load()) {
        return {platform::Status::error, 0};
    }
    if (!outbox_.empty()) {
        if (!drain_outbox(s)) return {platform::Status::error, 0};
        if (!outbox_.empty()) return {platform::Status::ok, 0};
    }
    const char* p = static_cast<const char*>(bytes);
    size_t sent = 0;
    while (sent < n) {
        const platform::Io r = platform::send(s, p + sent, n - sent, more);
        if (r.status != platform::Status::ok || r.bytes == 0) {
            if (sent == 0) return r;
            break;
        }
        sent += r.bytes;
    }
    return {platform::Status::ok, sent};
}

platform::Io Link::read_raw(void* p, size_t n) {
    std::lock_guard<std::mutex> lk(send_lock_);  // the socket stays open meanwhile
    const platform::socket_t s = socket();
    if (s == platform::invalid_socket) return {platform::Status::closed, 0};
    return platform::recv(s, p, n);
}

bool Link::wait_io(uint8_t want, Wake& stop) {
    platform::WaitItem item{socket(), want, 0};
    return platform::wait(stop.handle(), &item, 1, -1) >= 0;
}

void Link::close_socket() {
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket_.exchange(platform::invalid_socket);
    if (s != platform::invalid_socket) platform::close(s);
    outbox_.release();
    outbox_size_.store(0);
}

bool Link::peer_address(uint32_t* addr) {
    std::lock_guard<std::mutex> lk(send_lock_);  // the socket stays open meanwhile
    const platform::socket_t s = socket();
    return s != platform::invalid_socket && platform::peer_address(s, addr);
}

uint16_t Link::local_port() {
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket();
    uint16_t port = 0;
    return s != platform::invalid_socket && platform::local_port(s, &port) ? port : 0;
}

}  // namespace kiv::net
