// receive_fuzz: the receive path of every connection kind, over fake sockets, checked against a model of the byte stream.
//
// The input picks a kind (plain, relay, typed, datagram) and then a list of
// steps: bytes arrive in chunks of its choosing, the link is pumped with
// small bounds, the script takes tokens and messages, changes the delimiter,
// and (plain) starts and ends a file receive that claims bytes already read.
// The peer may close or reset. Checks:
//   plain kinds  what the script took (each token's text and the delimiter
//                in force when it was cut), the file's bytes, the tokens
//                still queued, the bytes still held and those still in the
//                socket are, in order, exactly the bytes that arrived; every
//                token ends at the first match of its delimiter; a datagram
//                token names the sender of the datagram that completed it;
//   typed        every complete line dispatches as its first byte says and
//                only from its own bytes (each record is handed on in a heap
//                block of exactly its length, so a read past it is an ASan
//                report); short records are dropped;
//   always       the pump respects its record and byte bounds, reads nothing
//                while a file receive owns the socket, a stream that stopped
//                reading at a bound does not wait for reading, and a peer
//                that closed is noticed once every byte it sent was read, or
//                once a wait sees it leave with an unfinished record at the
//                4 MiB bound. Bursts of repeated bytes reach the bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fake_net.h"
#include "files/files.h"
#include "conn/connection.h"
#include "conn/traffic.h"

namespace {

using fake::digit_of;

// Hands each record on in a block of exactly its size, and counts them.
class Exact final : public kiv::net::Handler {
public:
    explicit Exact(kiv::Connection& c) : c_(c) {}
    void on_record(const char* rec, uint32_t n, uint32_t from, uint16_t port) override {
        ++records;
        // A datagram record carries the sender of the datagram read last.
        if (datagram) FAKE_CHECK(from == fake::net.last_from);
        froms.push_back({from, port});
        std::unique_ptr<char[]> copy(new char[n]);
        if (n > 0) std::memcpy(copy.get(), rec, n);
        c_.on_record(copy.get(), n, from, port);
    }
    bool accepting() override { return c_.accepting(); }
    bool drained() override { return c_.drained(); }
    void on_teardown() override { c_.on_teardown(); }
    void on_event() override { c_.on_event(); }
    bool datagram = false;
    size_t records = 0;
    std::deque<std::pair<uint32_t, uint16_t>> froms;  // the sender passed with each record, in order

private:
    kiv::Connection& c_;
};

struct Message {
    std::string value;
    uint8_t id;
    int16_t player;
};
struct Change {
    int32_t slot;
    bool is_string;
    std::string text;
    int32_t number;
    bool not_passed = false;  // a server passes it not on: slot byte 0, or a 0 byte in its digits
};

// What a typed stream's complete lines should have produced.
struct TypedModel {
    std::vector<std::string> tokens;
    std::vector<Message> messages;
    std::vector<Change> changes;
    size_t end = 0;  // where the lines modelled end

    void line(const std::string& r) {
        if (r.empty()) return;
        const uint8_t* b = reinterpret_cast<const uint8_t*>(r.data());
        if (r[0] == 'T') {
            tokens.push_back(r.substr(1));
        } else if (r[0] == 'M' && r.size() >= 4) {
            messages.push_back({r.substr(4), static_cast<uint8_t>(digit_of(b[1])),
                                static_cast<int16_t>(digit_of(b[2]) * 250 + digit_of(b[3]))});
        } else if (r[0] == 'D' && r.size() >= 3) {
            const int32_t slot = static_cast<uint8_t>(digit_of(b[1]));
            if (r[2] == 'I') {
                if (r.size() < 6) return;
                changes.push_back({slot, false, "", digit_of(b[3]) * 62500 + digit_of(b[4]) * 250 + digit_of(b[5]),
                                   b[1] == 0 || b[3] == 0 || b[4] == 0 || b[5] == 0});
            } else {
                std::string text = r.substr(3);
                text = text.substr(0, text.find('\0'));
                changes.push_back({slot, true, text, 0, b[1] == 0});
            }
        }
    }
};

class Run {
public:
    Run(FuzzedDataProvider& in) : in_(in), exact_(c_) {
        fake::net.reset();
        fake::net.longs = in_.ConsumeIntegralInRange<int>(0, 7) == 0;
        kind_ = static_cast<uint8_t>(in_.ConsumeIntegralInRange<int>(1, 4));
        with_table_ = in_.ConsumeBool();
        sock_ = fake::net.open();
        c_.link.reset(new kiv::net::Link(c_.mutex, exact_, sock_, kind_ == kiv::kDatagram));
        c_.kind.store(kind_);
        exact_.datagram = kind_ == kiv::kDatagram;
        if (kind_ == kiv::kTyped && with_table_) kiv::shared_data::create(c_.data);
    }

    ~Run() {
        if (file_) std::fclose(file_);
        std::free(file_buf_);
    }

    void go() {
        while (in_.remaining_bytes() > 0) step();
        end_transfer();
        // Everything that can still be cut is cut and taken.
        for (int i = 0; i < 100000; ++i) {
            const size_t segments = sock().in.size(), read = sock().read_total;
            bool took = pump(SIZE_MAX, 4096) > 0;
            while (take_token()) took = true;
            while (kind_ == kiv::kTyped && take_message()) took = true;
            if (!took && !c_.link->more() && sock().in.size() == segments && sock().read_total == read) break;
        }
        wait();
        if (kind_ == kiv::kTyped) {
            finish_typed();
        } else {
            // Nothing is left but an unfinished last record.
            kiv::net::Lock lk(c_.mutex);
            FAKE_CHECK(c_.tokens.queue.empty());
        }
        // A stream's departed peer is noticed once all it sent was read, or
        // once a wait saw it leave while an unfinished record is at the bound.
        if (kind_ != kiv::kDatagram && sock().left() &&
            (sock().in.empty() || c_.link->held() >= kiv::net::kRecordBound)) {
            FAKE_CHECK(c_.link->peer_gone());
        }
        check_stream(true);
    }

private:
    fake::Socket& sock() { return fake::net.sockets[sock_]; }

    void step() {
        switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
            case 1:
                arrive();
                break;
            case 2:
            case 3: {
                static const size_t budgets[] = {1, 2, 3, 5, 8, 64, static_cast<size_t>(-1)};
                const size_t budget = budgets[in_.ConsumeIntegralInRange<int>(0, 6)];
                pump(budget, in_.ConsumeIntegralInRange<size_t>(1, 5));
                break;
            }
            case 4:
                for (int n = in_.ConsumeIntegralInRange<int>(1, 3); n > 0; --n) take_token();
                break;
            case 5:
                if (kind_ == kiv::kTyped) {
                    take_message();
                } else {
                    set_delimiter();
                }
                break;
            case 6:
                set_delimiter();
                break;
            case 7:
                if (transfer_) {
                    end_transfer();
                } else {
                    start_transfer();
                }
                break;
            case 8:
                if (in_.ConsumeBool()) {
                    sock().peer_closed = true;
                } else {
                    sock().peer_reset = true;
                }
                break;
            case 9:
                if (kind_ == kiv::kDatagram) {
                    sock().in.push_back({"", 0, 0, true});  // a failed read
                } else {
                    wait();
                }
                break;
        }
        check_stream(false);
    }

    void arrive() {
        fake::Segment seg;
        // Datagrams stay small: one longer than 64 KiB is cut by the system.
        // A long run of 'x' is one record unless the delimiter cuts it to bits.
        bool long_ok;
        {
            kiv::net::Lock lk(c_.mutex);
            long_ok = !cuts_runs(c_.link->delimiter().data());
        }
        seg.bytes = kind_ == kiv::kDatagram ? in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange<size_t>(0, 48))
                                             : fake::burst(in_, long_ok);
        long_ = long_ || seg.bytes.size() > 65536;
        seg.from = kiv::platform::make_address(127, 0, 0, in_.ConsumeIntegral<uint8_t>());
        seg.port = in_.ConsumeIntegral<uint16_t>();
        // A stream peer that closed sends nothing more; a datagram socket
        // has no end.
        if (kind_ != kiv::kDatagram && (sock().peer_closed || sock().peer_reset)) return;
        if (kind_ != kiv::kDatagram && seg.bytes.empty()) return;
        arrived_ += seg.bytes;
        sock().in.push_back(std::move(seg));
    }

    static bool cuts_runs(const char* d) { return !*d || std::strchr(d, 'x'); }

    size_t pump(size_t budget, size_t max) {
        const size_t read_before = sock().read_total;
        const size_t records_before = exact_.records;
        size_t n;
        {
            kiv::net::Lock lk(c_.mutex);
            n = c_.link->pump(budget, max);
        }
        const size_t read = sock().read_total - read_before;
        FAKE_CHECK(n == exact_.records - records_before);
        FAKE_CHECK(n <= max);
        if (kind_ != kiv::kDatagram) FAKE_CHECK(read <= budget);
        if (transfer_) FAKE_CHECK(read == 0);  // the file owns the socket's bytes
        // A stream that stopped reading with bytes in its socket (a bound, a
        // file receive) does not wait for them: it would wake at once for ever.
        kiv::net::Lock lk(c_.mutex);
        if (kind_ != kiv::kDatagram && budget == SIZE_MAX && !c_.link->more() && sock().pending() > 0 &&
            !c_.link->peer_gone()) {
            FAKE_CHECK(!(c_.link->wants() & fake::kWantRead));
        }
        return n;
    }

    // What the worker does after its wait: a hang-up it saw is noted.
    void wait() {
        kiv::net::Lock lk(c_.mutex);
        if (sock().got(c_.link->wants()) & fake::kWantHangup) c_.link->note_hangup();
    }

    bool take_token() {
        std::string text, delim;
        std::pair<uint32_t, uint16_t> from;
        {
            kiv::net::Lock lk(c_.mutex);
            const kiv::tokens::Record* r = c_.tokens.queue.front();
            if (!r) return false;
            text.assign(r->text.data(), r->text.length());
            delim.assign(r->delimiter.data(), r->delimiter.length());
            from = {r->from_addr, r->from_port};
        }
        const bool took = kiv::take_token(c_);
        FAKE_CHECK(took == !transfer_);  // a file receive owns the tokens
        if (!took) return false;
        FAKE_CHECK(std::string(c_.tokens.text.data(), c_.tokens.text.length()) == text);
        if (kind_ == kiv::kTyped) {
            FAKE_CHECK(taken_tokens_ < typed_.tokens.size() || (refresh_typed(), taken_tokens_ < typed_.tokens.size()));
            FAKE_CHECK(typed_.tokens[taken_tokens_] == text);
            ++taken_tokens_;
            return true;
        }
        // A datagram token names its sender (a port-0 sender reads as none).
        char dotted[16] = "";
        if (kind_ == kiv::kDatagram) {
            FAKE_CHECK(token_index_ < exact_.froms.size() && from == exact_.froms[token_index_]);
            if (from.second != 0) kiv::platform::format_dotted(from.first, dotted);
        } else {
            FAKE_CHECK(from.first == 0 && from.second == 0);
        }
        FAKE_CHECK(std::string(c_.tokens.address) == dotted && c_.tokens.port == from.second);
        ++token_index_;
        // A token ends at the first match of its delimiter.
        if (delim.empty()) {
            FAKE_CHECK(!text.empty());
        } else {
            FAKE_CHECK((text + delim).find(delim) == text.size());
        }
        taken_ += text;
        taken_ += delim;
        return true;
    }

    bool take_message() {
        std::string value;
        {
            kiv::net::Lock lk(c_.mutex);
            const kiv::messages::Record* r = c_.messages.queue.front();
            if (!r) return false;
            value.assign(r->value.data(), r->value.length());
        }
        FAKE_CHECK(kiv::take_message(c_));
        if (taken_messages_ >= typed_.messages.size()) refresh_typed();
        FAKE_CHECK(taken_messages_ < typed_.messages.size());
        const Message& m = typed_.messages[taken_messages_++];
        FAKE_CHECK(std::string(c_.messages.value.data(), c_.messages.value.length()) == m.value);
        FAKE_CHECK(value == m.value);
        FAKE_CHECK(c_.messages.id == m.id);
        FAKE_CHECK(c_.messages.player == m.player);
        return true;
    }

    void set_delimiter() {
        const std::string d = in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange<size_t>(0, 3));
        // Millions of one-byte records from a long burst would only be slow.
        if (long_ && cuts_runs(d.c_str())) return;
        const bool ok = kiv::set_delimiter(c_, d.c_str());
        FAKE_CHECK(ok == (kind_ == kiv::kPlain || kind_ == kiv::kDatagram));
        if (ok) {
            kiv::net::Lock lk(c_.mutex);
            FAKE_CHECK(std::string(c_.link->delimiter().data()) == d.substr(0, d.find('\0')));
        }
    }

    // A file receive of the input's size: what was read already goes to the
    // file first; the rest comes from the socket while the link does not read.
    void start_transfer() {
        if (kind_ != kiv::kPlain) return;
        file_size_ = in_.ConsumeIntegralInRange<int32_t>(-2, 80);
        if (file_) std::fclose(file_);
        std::free(file_buf_);
        file_buf_ = nullptr;
        file_len_ = 0;
        file_ = open_memstream(&file_buf_, &file_len_);
        FAKE_CHECK(file_ != nullptr);
        transfer_ = true;
        c_.file.busy.store(1);
        int64_t done;
        {
            kiv::net::Lock lk(c_.mutex);
            c_.link->pause_reading(true);
            done = kiv::files::put_back(c_.file, *c_.link, c_.tokens, file_, file_size_);
        }
        FAKE_CHECK(done >= 0);
        FAKE_CHECK(done <= (file_size_ > 0 ? file_size_ : 0));
        file_done_ = done;
        read_file(in_.ConsumeIntegralInRange<size_t>(0, 80));
    }

    // The transfer thread's own reads, straight from the socket.
    void read_file(size_t most) {
        char buf[128];
        while (most > 0 && file_done_ < file_size_) {
            size_t want = std::min<size_t>(sizeof buf, most);
            want = std::min<size_t>(want, static_cast<size_t>(file_size_ - file_done_));
            const kiv::platform::Io r = c_.link->read_raw(buf, want);
            if (r.status != kiv::platform::Status::ok || r.bytes == 0) break;
            FAKE_CHECK(std::fwrite(buf, 1, r.bytes, file_) == r.bytes);
            file_done_ += static_cast<int64_t>(r.bytes);
            most -= r.bytes;
        }
    }

    void end_transfer() {
        if (!transfer_) return;
        read_file(static_cast<size_t>(-1));
        FAKE_CHECK(std::fflush(file_) == 0);
        FAKE_CHECK(static_cast<int64_t>(file_len_) == file_done_);
        taken_.append(file_buf_, file_len_);
        {
            kiv::net::Lock lk(c_.mutex);
            c_.link->pause_reading(false);
        }
        c_.file.busy.store(0);
        transfer_ = false;
    }

    // Plain kinds: taken, queued, held and unread bytes are the arrived ones
    // (after each step while that is cheap, and at the end).
    void check_stream(bool always) {
        if (kind_ == kiv::kTyped || (!always && (arrived_.size() > 65536 || c_.tokens.queue.size() > 256))) return;
        std::string all = taken_;
        if (transfer_) {
            FAKE_CHECK(std::fflush(file_) == 0);
            all.append(file_buf_, file_len_);
        }
        {
            kiv::net::Lock lk(c_.mutex);
            // A file receive's bytes come before the tokens cut after it.
            all += queued_bytes();
            all.append(c_.link->held_data(), c_.link->held());
        }
        fake::Socket& k = sock();
        for (size_t i = 0; i < k.in.size(); ++i) {
            if (k.in[i].error) continue;
            all.append(k.in[i].bytes, i == 0 ? k.offset : 0, std::string::npos);
        }
        FAKE_CHECK(all == arrived_);
    }

    // Tokens still queued, text and delimiter, in order (caller holds the mutex).
    std::string queued_bytes() {
        // Pop them into a copy and push them back: the queue has only front access.
        struct Item {
            std::string text, delim;
            uint32_t addr;
            uint16_t port;
        };
        std::vector<Item> items;
        while (const kiv::tokens::Record* r = c_.tokens.queue.front()) {
            items.push_back({std::string(r->text.data(), r->text.length()),
                             std::string(r->delimiter.data(), r->delimiter.length()), r->from_addr, r->from_port});
            c_.tokens.queue.pop();
        }
        std::string out;
        for (const Item& i : items) {
            out += i.text + i.delim;
            kiv::tokens::push(c_.tokens, i.text.data(), static_cast<uint32_t>(i.text.size()), i.delim.c_str(), i.addr,
                              i.port, false);
        }
        return out;
    }

    // Typed: the model of every complete line that arrived so far, up to
    // one that reaches the 4 MiB bound unfinished (the link reads no further).
    void refresh_typed() {
        typed_ = TypedModel();
        for (;;) {
            const size_t lf = arrived_.find('\n', typed_.end);
            if (lf == std::string::npos || lf - typed_.end >= kiv::net::kRecordBound) break;
            typed_.line(arrived_.substr(typed_.end, lf - typed_.end));
            typed_.end = lf + 1;
        }
    }

    void finish_typed() {
        refresh_typed();
        FAKE_CHECK(taken_tokens_ == typed_.tokens.size());
        FAKE_CHECK(taken_messages_ == typed_.messages.size());
        kiv::net::Lock lk(c_.mutex);
        // Held and unread: what follows the last line cut.
        const size_t unread = sock().pending();
        FAKE_CHECK(std::string(c_.link->held_data(), c_.link->held()) + arrived_.substr(arrived_.size() - unread) ==
                   arrived_.substr(typed_.end));
        if (with_table_) {
            // The table holds each slot's last change.
            std::vector<const Change*> last(256, nullptr);
            for (const Change& ch : typed_.changes) last[ch.slot] = &ch;
            for (int s = 0; s < 256; ++s) {
                const kiv::shared_data::Slot& slot = c_.data.slots[s];
                if (!last[s]) {
                    FAKE_CHECK(slot.is_string == 0 && slot.number == 0);
                } else if (last[s]->is_string) {
                    FAKE_CHECK(slot.is_string == 1);
                    FAKE_CHECK(std::string(slot.text.data(), slot.text.length()) == last[s]->text);
                } else {
                    FAKE_CHECK(slot.is_string == 0 && slot.number == last[s]->number);
                }
            }
            FAKE_CHECK(c_.data.changes.empty());
        } else {
            // A player on a server's side queues its changes for the pass,
            // but not one a kiv sender could not have sent: slot byte 0, or
            // an integer whose digits hold a 0 byte (never passed on, counted).
            kiv::RecordQueue<kiv::shared_data::Change>& q = c_.data.changes;
            size_t kept = 0;
            for (const Change& ch : typed_.changes) kept += ch.not_passed ? 0 : 1;
            FAKE_CHECK(q.size() == kept && c_.data.dropped.load() == typed_.changes.size() - kept);
            for (const Change& ch : typed_.changes) {
                if (ch.not_passed) continue;
                const kiv::shared_data::Change* d = q.front();
                FAKE_CHECK(d && d->slot == ch.slot && (d->is_string != 0) == ch.is_string);
                if (ch.is_string) {
                    FAKE_CHECK(std::string(d->text.data(), d->text.length()) == ch.text);
                } else {
                    FAKE_CHECK(d->number == ch.number);
                }
                q.pop();
            }
        }
    }

    FuzzedDataProvider& in_;
    kiv::Connection c_;
    Exact exact_;
    uint8_t kind_ = 0;
    bool with_table_ = false;
    bool long_ = false;  // a long burst arrived
    kiv::platform::socket_t sock_ = kiv::platform::invalid_socket;

    std::string arrived_;  // every byte that arrived, in order
    std::string taken_;    // what the script took: tokens with their delimiters, files
    size_t token_index_ = 0;

    TypedModel typed_;
    size_t taken_tokens_ = 0;
    size_t taken_messages_ = 0;

    bool transfer_ = false;
    int32_t file_size_ = 0;
    int64_t file_done_ = 0;
    std::FILE* file_ = nullptr;
    char* file_buf_ = nullptr;
    size_t file_len_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::install();
    FuzzedDataProvider in(data, size);
    {
        Run run(in);
        run.go();
    }
    // The link closed its socket when the connection went.
    for (const auto& s : fake::net.sockets) FAKE_CHECK(s.second.lib_closed);
    return 0;
}
