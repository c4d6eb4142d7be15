// Link: reading and cutting records, the outbox, the worker that waits on events.
#include "net/link.h"

#include <new>
#include <system_error>

#include "net/threads.h"

namespace kiv::net {

namespace {

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

Link::Link(std::mutex& mutex, Handler& handler, platform::socket_t s, bool datagram)
    : mutex_(mutex), handler_(handler), datagram_(datagram), socket_(s), delimiter_("\n") {
    g_links.fetch_add(1);
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
    return start_thread(worker_, [this] { run(); });
}

void Link::stop_worker() {
    stop_.store(true);
    wake();
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void Link::run() {
    for (;;) {
        own_wake_.seen();
        if (stop_.load()) return;
        bool event = false;
        bool ended = false;
        int timeout_ms = -1;
        uint8_t want = 0;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (!open()) return;
            try {
                event = pump(static_cast<size_t>(-1), kRecordsPerRound) > 0;
            } catch (const std::bad_alloc&) {
                // A record that found no memory is dropped; the rest go on.
            }
            if (more_) {
                timeout_ms = 0;  // stopped at a bound, not at an empty socket
                want = wants();
            } else if (finished(&timeout_ms)) {
                handler_.on_teardown();
                close_socket();
                ended = true;
            } else {
                want = wants();
            }
        }
        if (event || ended) handler_.on_event();
        if (ended) return;
        if (!flush()) want |= platform::kWantRead;  // a failed socket shows on the read side
        if (!outbox_empty()) want |= platform::kWantWrite;
        platform::WaitItem item{socket(), want, 0};
        if (platform::wait(own_wake_.handle(), &item, 1, timeout_ms) < 0) {
            // The wait itself failed (no more handles): the socket is
            // unusable for this worker; leave it to teardown.
            {
                std::lock_guard<std::mutex> lk(mutex_);
                handler_.on_teardown();
                close_socket();
            }
            handler_.on_event();
            return;
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

void Link::consume(uint32_t n) { drop_front(n < held() ? n : held()); }

void Link::prepend(const char* p, uint32_t n) {
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
    handler_.on_record(rx_.data() + rx_start_, len, rx_from_);
    return true;
}

void Link::set_delimiter(const char* d) {
    delimiter_.assign(d ? d : "");
    // An empty delimiter cuts after the next byte that arrives.
    scan_from_ = delimiter_.length() == 0 ? held() : 0;
}

void Link::pause_reading(bool paused) { paused_ = paused; }

bool Link::read_stream(size_t* budget) {
    const uint32_t h = held();
    // Past the bound the bytes stay in the socket.
    if (h >= kRecordBound || *budget == 0) return false;
    size_t want = kChunk;
    if (want > kRecordBound - h) want = kRecordBound - h;
    if (want > *budget) want = *budget;
    // Read straight into the buffer's spare room: no copy, and no scratch
    // buffer on every thread.
    const platform::Io r = platform::recv(socket(), rx_.room_for(static_cast<uint32_t>(want)), want, false);
    if (r.status == platform::Status::ok && r.bytes > 0) {
        *budget -= r.bytes;
        rx_.grow(static_cast<uint32_t>(r.bytes));
        return true;
    }
    if (r.status != platform::Status::would_block) {
        // Closed in order, reset or failed: everything before it was read.
        gone_.store(true);
        gone_since_ = std::chrono::steady_clock::now();
    }
    return false;
}

bool Link::read_datagram() {
    uint32_t from = 0;
    if (held() > kRecordBound) {
        // An endless record: drop what was gathered of it.
        rx_.clear();
        rx_start_ = 0;
        scan_from_ = 0;
    }
    const platform::Io r = platform::recvfrom(socket(), rx_.room_for(kDatagramMax), kDatagramMax, &from);
    if (r.status != platform::Status::ok) return false;
    rx_.grow(static_cast<uint32_t>(r.bytes));
    // Every record this datagram completes ends inside it.
    rx_from_ = from;
    return true;
}

size_t Link::pump(size_t budget, size_t max_records) {
    size_t records = 0;
    more_ = false;
    if (!open()) return 0;
    for (int reads = 0;; ++reads) {
        while (records < max_records && handler_.accepting() && cut_one()) ++records;
        if (paused_ || gone_.load() || !handler_.accepting()) break;
        if (records >= max_records || reads >= kReadsPerRound) {
            more_ = true;
            break;
        }
        if (datagram_ ? !read_datagram() : !read_stream(&budget)) {
            if (gone_.load()) continue;  // cut what the last read completed
            break;
        }
    }
    return records;
}

bool Link::finished(int* deadline_ms) {
    *deadline_ms = -1;
    if (!gone_.load() || paused_ || !handler_.drained()) return false;
    if (held() == 0) return true;
    // An unfinished last line is kept a moment for a file receive that may
    // still claim it, then the departure is noticed.
    const auto left = std::chrono::milliseconds(kClosedGraceMs) - (std::chrono::steady_clock::now() - gone_since_);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    if (ms <= 0) return true;
    *deadline_ms = static_cast<int>(ms) + 1;
    return false;
}

uint8_t Link::wants() {
    uint8_t want = 0;
    if (!paused_ && !gone_.load() && handler_.accepting() && (datagram_ || held() < kRecordBound)) {
        want |= platform::kWantRead;
    }
    if (!outbox_empty()) want |= platform::kWantWrite;
    return want;
}

// ---- Send side

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
    if (ok) {
        outbox_.erase_front(sent);
    } else {
        // The peer can take nothing more: what waits for it goes, and the
        // waiter stops asking for room it will never get.
        write_failed_ = true;
        outbox_.clear();
    }
    outbox_waiting_.store(!outbox_.empty());
    return ok;
}

Sent Link::send(const void* bytes, size_t n, bool own) {
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket();
    if (s == platform::invalid_socket) return Sent::closed;
    if (overflow_.load()) return own ? Sent::full : Sent::closed;
    // A failed socket: the read side ends the connection; nothing more goes.
    if (write_failed_) return Sent::ok;
    const char* p = static_cast<const char*>(bytes);
    // A record the outbox could not take whole is refused before any of it
    // is written, so the stream never carries part of a record.
    if (own && outbox_.length() + n > kOutboxBound) return Sent::full;
    size_t sent = 0;
    if (outbox_.empty()) {
        while (sent < n) {
            const platform::Io r = platform::send(s, p + sent, n - sent, false);
            if (r.status != platform::Status::ok || r.bytes == 0) {
                // A failed socket shows on the read side, where the worker
                // finds it; what is left is dropped with the connection.
                if (r.status == platform::Status::error) {
                    write_failed_ = true;
                    return Sent::ok;
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
        outbox_waiting_.store(true);
        if (was_empty) wake();  // the waiter now also waits for room
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

bool Link::flush() {
    if (!outbox_waiting_.load()) return true;
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket();
    if (s == platform::invalid_socket || outbox_.empty()) return true;
    return drain_outbox(s);
}

bool Link::flush_for(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        platform::socket_t s;
        {
            std::lock_guard<std::mutex> lk(send_lock_);
            s = socket();
            if (s == platform::invalid_socket || !drain_outbox(s)) return false;
            if (outbox_.empty()) return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        platform::WaitItem item{s, platform::kWantWrite, 0};
        platform::wait(nullptr, &item, 1, static_cast<int>(left));
    }
}

platform::Io Link::send_behind(const void* bytes, size_t n, bool more) {
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket();
    if (s == platform::invalid_socket || overflow_.load()) return {platform::Status::error, 0};
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

void Link::close_socket() {
    std::lock_guard<std::mutex> lk(send_lock_);
    const platform::socket_t s = socket_.exchange(platform::invalid_socket);
    if (s != platform::invalid_socket) platform::close(s);
    outbox_.clear();
    outbox_waiting_.store(false);
}

bool Link::peer_address(uint32_t* addr) {
    std::lock_guard<std::mutex> lk(send_lock_);  // the socket stays open meanwhile
    const platform::socket_t s = socket();
    return s != platform::invalid_socket && platform::peer_address(s, addr);
}

}  // namespace kiv::net
