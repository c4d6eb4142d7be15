// The receive worker and the receive step: framing of records on streams and datagrams.
#include "net/receive.h"

#include "messages/messages.h"
#include "net/server_pass.h"
#include "net/teardown.h"
#include "shared_data/shared_data.h"
#include "tokens/tokens.h"

namespace kiv {

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kDatagramMax = 65536;
// Datagrams read in one step while no record completes; the rest wait in the
// socket for the next step, so that one step (and its lock) stays short.
constexpr int kDatagramsPerStep = 256;

thread_local char t_scratch[kDatagramMax + 1];

// Finds the first complete record in the unread part of the receive buffer.
// rec_len: its bytes before the delimiter; rec_end: bytes including it.
bool find_record(Connection& c, uint32_t* rec_len, uint32_t* rec_end) {
    const char* base = c.receive_buffer.data() + c.rx_start;
    const uint32_t avail = c.receive_buffer.length() - c.rx_start;
    const uint32_t dlen = c.delimiter.length();
    if (dlen == 0) {
        // The empty delimiter is found after every byte that arrives.
        if (avail <= c.scan_from) return false;
        *rec_len = *rec_end = c.scan_from + 1;
        return true;
    }
    if (c.scan_from < avail) {
        long pos = find_bytes(base + c.scan_from, avail - c.scan_from, c.delimiter.data(), dlen);
        if (pos >= 0) {
            *rec_len = c.scan_from + static_cast<uint32_t>(pos);
            *rec_end = *rec_len + dlen;
            return true;
        }
    }
    // A delimiter that starts in the last dlen - 1 bytes may still complete.
    c.scan_from = avail >= dlen ? avail - dlen + 1 : 0;
    return false;
}

void drop_front(Connection& c, uint32_t n) {
    c.rx_start += n;
    c.scan_from = 0;
    const uint32_t len = c.receive_buffer.length();
    if (c.rx_start >= len) {
        c.receive_buffer.clear();
        c.rx_start = 0;
    } else if (c.rx_start > kChunk && c.rx_start > len / 2) {
        // Compact now and then, so taking records from the front stays linear.
        c.receive_buffer.erase_front(c.rx_start);
        c.rx_start = 0;
    }
    c.rx_pending.store(c.receive_buffer.length() - c.rx_start);
}

// Cuts one complete record from the receive buffer and dispatches it.
bool take_record(Connection& c, uint32_t from_addr) {
    uint32_t len, end;
    if (!find_record(c, &len, &end)) return false;
    dispatch_record(c, c.receive_buffer.data() + c.rx_start, len, from_addr);
    drop_front(c, end);
    return true;
}

bool step_stream(Connection& c, size_t* budget) {
    if (take_record(c, 0)) return true;
    const platform::socket_t s = c.socket.load();
    for (;;) {
        const uint32_t held = c.receive_buffer.length() - c.rx_start;
        // Past the bound the bytes stay in the socket, where a file receive
        // can still take them.
        if (held >= kRecordBound) return false;
        size_t want = kChunk;
        if (want > kRecordBound - held) want = kRecordBound - held;
        if (budget) {
            if (*budget == 0) return false;
            if (want > *budget) want = *budget;
        }
        platform::Io r = platform::recv(s, t_scratch, want, false);
        if (r.status != platform::Status::ok || r.bytes == 0) return false;
        if (budget) *budget -= r.bytes;
        c.receive_buffer.append(t_scratch, static_cast<uint32_t>(r.bytes));
        c.rx_pending.store(c.receive_buffer.length() - c.rx_start);
        if (take_record(c, 0)) return true;
    }
}

bool step_datagram(Connection& c) {
    const platform::socket_t s = c.socket.load();
    for (int i = 0; i < kDatagramsPerStep; ++i) {
        if (c.pending_datagram.empty()) {
            uint32_t from = 0;
            platform::Io r = platform::recvfrom(s, t_scratch, kDatagramMax, &from);
            if (r.status != platform::Status::ok) return false;
            if (r.bytes == 0) continue;  // an empty datagram carries nothing
            c.pending_datagram.assign(t_scratch, static_cast<uint32_t>(r.bytes));
            c.pending_from = from;
        }
        // Move the datagram behind the partial record; what follows the
        // record's end goes back to wait for the next step.
        c.receive_buffer.append(c.pending_datagram);
        c.pending_datagram.clear();
        uint32_t len, end;
        if (find_record(c, &len, &end)) {
            const uint32_t stop = c.rx_start + end;
            if (stop < c.receive_buffer.length()) {
                c.pending_datagram.assign(c.receive_buffer.data() + stop, c.receive_buffer.length() - stop);
                c.receive_buffer.truncate(stop);
            }
            dispatch_record(c, c.receive_buffer.data() + c.rx_start, len, c.pending_from);
            drop_front(c, end);
            return true;
        }
        if (c.receive_buffer.length() - c.rx_start > kRecordBound) {
            // An endless record: drop what was gathered of it.
            c.receive_buffer.clear();
            c.rx_start = 0;
            c.scan_from = 0;
        }
        c.rx_pending.store(c.receive_buffer.length() - c.rx_start);
    }
    return false;
}

void worker_main(Connection* c) {
    while (!c->stop.load()) {
        receive_step(*c);
        if (c->stop.load()) break;
        flush_outbox(*c);
        if (c->pause(kStepPauseMs)) break;
    }
}

}  // namespace

void start_worker(Connection& c) { c.worker = std::thread(worker_main, &c); }

bool receive_step_with_budget(Connection& c, size_t* budget) {
    std::lock_guard<std::mutex> lk(c.mutex);
    const uint8_t kind = c.kind.load();
    if (kind < kPlain || kind > kDatagram) return false;
    if (c.is_listening()) {
        if (kind == kTyped) server_pass(c);
        return false;
    }
    switch (liveness(c)) {
        case Liveness::idle:
            // Nothing new in the socket: only records already read ahead.
            if (kind != kDatagram) return take_record(c, 0);
            break;
        case Liveness::alive:
            break;
        case Liveness::closed:
            // The peer left in order: finish what it sent, keep the
            // connection while the script still has records to take.
            if (take_record(c, 0)) return true;
            if (c.tokens.size() != 0 || c.messages.size() != 0) return false;
            // An unfinished last line is kept a moment for a file receive
            // that may still claim it, then the departure is noticed.
            if (c.rx_pending.load() != 0) {
                const auto now = std::chrono::steady_clock::now();
                if (c.closed_since == std::chrono::steady_clock::time_point{}) c.closed_since = now;
                if (now - c.closed_since < std::chrono::milliseconds(kClosedGraceMs)) return false;
            }
            teardown_in_step(c);
            c.stop.store(true);
            return false;
        case Liveness::dead:
            teardown_in_step(c);
            c.stop.store(true);
            return false;
    }
    if (kind == kDatagram) return step_datagram(c);
    return step_stream(c, budget);
}

bool receive_step(Connection& c) { return receive_step_with_budget(c, nullptr); }

void dispatch_record(Connection& c, const char* rec, uint32_t n, uint32_t from_addr) {
    switch (c.kind.load()) {
        case kPlain:
        case kRelay:
            push_token(c.tokens, rec, n, c.delimiter.data(), "");
            break;
        case kDatagram: {
            char addr[16];
            platform::format_dotted(from_addr, addr);
            push_token(c.tokens, rec, n, c.delimiter.data(), addr);
            break;
        }
        case kTyped:
            if (n == 0) return;
            switch (rec[0]) {
                case 'T':
                    push_token(c.tokens, rec + 1, n - 1, c.delimiter.data(), "");
                    break;
                case 'M':
                    apply_message_record(c, reinterpret_cast<const uint8_t*>(rec), n);
                    break;
                case 'D':
                    apply_data_record(c, reinterpret_cast<const uint8_t*>(rec), n);
                    break;
                default:
                    break;  // unknown record kinds are dropped
            }
            break;
        default:
            break;
    }
}

void delimiter_changed(Connection& c) {
    const uint32_t avail = c.receive_buffer.length() - c.rx_start;
    c.scan_from = c.delimiter.length() == 0 ? avail : 0;
}

}  // namespace kiv
