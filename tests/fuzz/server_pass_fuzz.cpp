// server_pass_fuzz: a player server's hub and pass fed its players' arbitrary bytes, checked against a model of what everybody receives.
//
// The server runs on fake sockets; its hub has the fake readiness set but no
// thread: the target runs each pass with what a level-triggered wait finds
// (fake_net.h), now and then with an event nothing explains. Clients connect,
// send bursts (any bytes, many short records, one long record), read slowly
// or not at all, close or reset (a reset also fails writes); the script sets
// slots and takes tokens and messages; a player that takes nothing is
// dropped at once or never (the input chooses). Each pass is modelled as
// read, release, admit, relay, and checked:
//   - a pass reads a player at most 64 KiB and hands on the first 512 of its
//     complete records, nobody while the room is held; complete records
//     left behind make the next wait end at once;
//   - in player order, each player's tokens, then messages, then data
//     changes: tokens to every other player as "T", the text up to its first
//     0 byte, LF, and whole into the script's queue; messages by target (0
//     the script, -1 everybody else and the script, n player n) with id and
//     sender, the value cut at a 0 byte, an id byte 0 dropped and counted;
//     data changes stored and passed on to everybody else with the digits
//     they came with, those with a 0 digit or slot byte dropped; past its bound the
//     script's queue drops the newest;
//   - newcomers only when the listener is ready: number, snapshot, then the
//     records of the pass that admits them; a full server answers "T" LF and
//     closes;
//   - the room is held while an outbox is past 1 MiB, until it is under
//     256 KiB; a player is released only when it left (an orderly one once
//     all it sent was read and relayed, or at the 4 MiB bound) or, with
//     stalls dropped, when it did not take everything;
//   - every byte a client receives is its model's, in order (a released
//     one's a prefix); at the end the hub goes idle, everybody who left is
//     released and every socket closed.
#include <cmath>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fake_net.h"
#include "conn/connection.h"
#include "conn/traffic.h"
#include "net/threads.h"

namespace {

using fake::byte_of;
using fake::digit_of;
using kiv::platform::socket_t;

constexpr size_t kRecordsPerPass = 512;
constexpr size_t kBytesPerPass = 64 * 1024;
constexpr size_t kHighWater = 1024 * 1024;
constexpr size_t kLowWater = 256 * 1024;

struct Client {
    socket_t s;
    int number = 0;  // 0 until admitted
    bool refused = false, released = false;
    std::string sent;    // every byte it sent
    size_t cut = 0;      // its records were handed on up to here
    size_t no_lf = 0;    // sent[cut, no_lf) holds no LF: not searched again
    bool more = false;   // its last read stopped at its share
    std::string expect;  // what it should receive
    size_t checked = 0;  // of which this much was compared

    // The next LF in sent[cut, end), or end.
    size_t next_lf(size_t end) {
        const size_t from = std::max(cut, no_lf);
        const void* lf = from < end ? std::memchr(sent.data() + from, '\n', end - from) : nullptr;
        if (!lf) no_lf = std::max(from, end);
        return lf ? static_cast<size_t>(static_cast<const char*>(lf) - sent.data()) : end;
    }
    // Takes off its first complete records in sent[cut, end), at most max.
    std::vector<std::string> take(size_t end, size_t max) {
        std::vector<std::string> out;
        for (size_t lf; out.size() < max && (lf = next_lf(end)) < end; cut = lf + 1) {
            out.push_back(sent.substr(cut, lf - cut));
        }
        return out;
    }
};

struct Slot {
    bool is_string = false;
    int32_t number = 0;
    std::string digits = std::string(3, '\x02');  // those of 0
    std::string text;
};

struct Message {
    std::string value;
    uint8_t id;
    int16_t player;
};

int32_t decode3(const std::string& d) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(d.data());
    return digit_of(b[0]) * 62500 + digit_of(b[1]) * 250 + digit_of(b[2]);
}

std::string upto_nul(const std::string& s) { return s.substr(0, s.find('\0')); }

class Run {
public:
    explicit Run(FuzzedDataProvider& in) : in_(in) {
        fake::net.reset();
        fake::net.listener = fake::net.open();
        fake::net.longs = in_.ConsumeIntegralInRange<int>(0, 7) == 0;
        stall_drops_ = in_.ConsumeBool();
        kiv::pass_limits.stall = std::chrono::milliseconds(stall_drops_ ? 0 : 3600 * 1000);
        server_.hub.reset(new kiv::net::Hub(server_.mutex, server_, fake::net.listener));
        server_.opened_kind = kiv::kTyped;
        server_.kind.store(kiv::kTyped);
        server_.listening.store(1);
        kiv::shared_data::create(server_.data);
        server_.max_players = in_.ConsumeIntegralInRange<uint32_t>(1, 6);
        // A hub that could start no thread keeps its readiness set.
        kiv::net::fail_thread_starts(1);
        FAKE_CHECK(!server_.hub->start());
        for (int i = in_.ConsumeIntegralInRange<int>(1, 4); i > 0; --i) connect();
    }

    void go() {
        while (in_.remaining_bytes() > 0) step();
        // Everybody reads at last; the hub must then go idle.
        for (Client& c : clients_) sock(c).room = SIZE_MAX;
        auto busy = [this] { return timeout_ != -1 || fake::net.woken || !fake::net.ready().empty(); };
        for (int i = 0; i < 20000 && busy(); ++i) pass(fake::net.ready());
        FAKE_CHECK(!busy());
        while (take_token()) {
        }
        while (take_message()) {
        }
        FAKE_CHECK(tokens_.empty() && messages_.empty());
        for (int s = 0; s < kiv::shared_data::kSlots; ++s) {
            const kiv::shared_data::Slot& got = server_.data.slots[s];
            FAKE_CHECK((got.is_string != 0) == table_[s].is_string);
            FAKE_CHECK(std::string(got.text.data(), got.text.length()) == table_[s].text);
            FAKE_CHECK(got.number == table_[s].number);
        }
        for (Client& c : clients_) {
            fake::Socket& k = sock(c);
            FAKE_CHECK(k.out == c.expect || (c.released || c.refused));
            if (k.left()) FAKE_CHECK(c.released || c.refused);
            // A player present has had every complete record it sent handed on.
            if (c.number > 0 && !c.released) FAKE_CHECK(c.next_lf(k.read_total) == k.read_total);
        }
    }

private:
    fake::Socket& sock(const Client& c) { return fake::net.sockets[c.s]; }
    Client& any_client() { return clients_[in_.ConsumeIntegralInRange<size_t>(0, clients_.size() - 1)]; }

    void step() {
        switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
            case 1:
            case 2: {
                Client& c = any_client();
                std::string bytes = fake::burst(in_, true);
                if (bytes.empty() || sock(c).left() || sock(c).lib_closed) break;
                c.sent += bytes;
                sock(c).in.push_back({std::move(bytes)});
                break;
            }
            case 3:
            case 4: {
                // What the wait finds, and now and then a read or write event
                // for anybody (the listener, a player gone, a stranger).
                std::vector<kiv::platform::PollEvent> ev = fake::net.ready();
                if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
                    ev.push_back({in_.ConsumeIntegralInRange<uint32_t>(0, static_cast<uint32_t>(entries_.size()) + 1),
                                  static_cast<uint8_t>(in_.ConsumeIntegralInRange<int>(1, 3))});
                }
                pass(ev);
                break;
            }
            case 5:
                if (clients_.size() < 12) connect();
                break;
            case 6: {
                Client& c = any_client();
                (in_.ConsumeBool() ? sock(c).peer_closed : sock(c).peer_reset) = true;
                break;
            }
            case 7: {
                static const size_t rooms[] = {0, 1, 5, 64, 300000, SIZE_MAX};
                Client& c = any_client();
                sock(c).room = rooms[in_.ConsumeIntegralInRange<int>(0, 5)];
                break;
            }
            case 8:
                in_.ConsumeBool() ? take_token() : take_message();
                break;
            case 9:
                script_set();
                break;
        }
    }

    void connect() {
        Client c;
        c.s = fake::net.open();
        fake::net.accept_queue.push_back(c.s);
        waiting_.push_back(clients_.size());
        clients_.push_back(std::move(c));
    }

    std::shared_ptr<kiv::Connection> player(size_t j) { return server_.player_at(static_cast<int64_t>(j + 1)); }

    // One pass, and the model's account of it.
    int pass(const std::vector<kiv::platform::PollEvent>& ev) {
        const bool held = held_;
        std::vector<size_t> read_before;
        for (const Client& c : clients_) read_before.push_back(sock(c).read_total);
        const uint64_t tokens_dropped = server_.tokens.dropped.load(), messages_dropped = server_.messages.dropped.load();
        int timeout;
        {
            // As the hub's thread: the wake is seen before the pass.
            server_.hub->wake().seen();
            fake::net.woken = false;
            kiv::net::Lock lk(server_.mutex);
            timeout = timeout_ = server_.pass(ev.data(), ev.size());
        }

        // Read: each player present, in number order, hands on its records.
        std::vector<std::pair<size_t, std::vector<std::string>>> sent;  // sender entry, records
        std::vector<size_t> released;
        uint32_t live = 0, unsure = 0;  // players counted when the pass admits; releases of either timing
        for (size_t j = 0; j < entries_.size(); ++j) {
            if (entries_[j] < 0) continue;
            Client& c = clients_[entries_[j]];
            fake::Socket& k = sock(c);
            const size_t read = k.read_total - read_before[entries_[j]];
            FAKE_CHECK(read <= kBytesPerPass && (!held || read == 0));
            // Only players named by an event, or carried over, are read.
            bool named = c.more;
            for (const auto& e : ev) named |= e.tag == j + 1 && (e.got & (fake::kWantRead | fake::kWantHangup));
            FAKE_CHECK(named || read == 0);
            std::vector<std::string> recs;
            if (!held) recs = c.take(k.read_total, kRecordsPerPass);
            const bool left_behind = c.next_lf(k.read_total) < k.read_total;
            const bool stalled = stall_drops_ && k.room != SIZE_MAX;
            if (const auto p = player(j)) {
                ++live;
                kiv::net::Lock lk(p->mutex);
                // It holds what it read past its last record (this pass's bytes compared).
                const size_t h = p->link->held(), fresh = std::min(h, read);
                FAKE_CHECK(c.cut + h == k.read_total);
                FAKE_CHECK(c.sent.compare(k.read_total - fresh, fresh, p->link->held_data() + h - fresh, fresh) == 0);
                // One that stopped at its share is read again at once; else
                // no record is left behind, and one that left is released
                // by the pass that reads it to its end.
                c.more = p->link->more();
                FAKE_CHECK(c.more && !held ? timeout == 0 : held || (!left_behind && (!k.left() || k.pending() > 0)));
            } else {
                released.push_back(j);
                c.released = true;
                // It left (an orderly one read and relayed to its end), it
                // stalled, or its unfinished record reached the bound.
                const bool at_bound = k.read_total - c.cut >= kiv::net::kRecordBound;
                FAKE_CHECK(k.peer_reset || stalled || at_bound ||
                           (k.peer_closed && !left_behind && k.pending() == 0));
                // A stall is released after the admissions, an orderly
                // leaver or one at the bound before them; a reset either.
                live += !k.left() && !at_bound;
                unsure += k.peer_reset || ((k.left() || at_bound) && stalled);
            }
            if (!recs.empty()) sent.push_back({j, std::move(recs)});
        }

        // Admit, when the listener is ready, in order until full; the rest are refused.
        bool listener = false;
        for (const auto& e : ev) listener |= e.tag == kiv::net::Hub::kListenerTag;
        const size_t first_new = entries_.size(), offered = listener ? std::min<size_t>(waiting_.size(), 256) : 0;
        const size_t admitted = server_.players.size() - first_new;
        auto room = [&](uint32_t n) { return std::min<size_t>(offered, n < server_.max_players ? server_.max_players - n : 0); };
        FAKE_CHECK(admitted >= room(live + unsure) && admitted <= room(live));
        for (size_t i = 0; i < offered; ++i) {
            Client& c = clients_[waiting_.front()];
            waiting_.pop_front();
            fake::Socket& k = sock(c);
            if (i < admitted) {
                entries_.push_back(static_cast<int>(&c - clients_.data()));
                c.number = static_cast<int>(entries_.size());
                c.expect += "T" + std::to_string(c.number) + "\n" + snapshot();
                // One the pass could not write to at all is gone already.
                if (player(entries_.size() - 1)) continue;
                FAKE_CHECK(k.peer_reset || (stall_drops_ && k.room != SIZE_MAX));
                c.released = true;
                released.push_back(entries_.size() - 1);
            } else {
                c.refused = true;
                FAKE_CHECK(k.lib_closed && std::string("T\n").compare(0, k.out.size(), k.out) == 0);
            }
        }
        FAKE_CHECK(fake::net.accept_queue.size() == waiting_.size());
        FAKE_CHECK(server_.live_players.load() == present());

        // Relay, in player order: its tokens, then messages, then data changes.
        size_t tokens_added = 0, messages_added = 0, id_zero = 0;
        for (const auto& s : sent) {
            const int number = static_cast<int>(s.first + 1);
            // Players released in this pass too: a prefix of theirs is checked.
            auto to = [&](size_t j, const std::string& rec) {
                if (j < entries_.size() && entries_[j] >= 0) clients_[entries_[j]].expect += rec;
            };
            auto others = [&](const std::string& rec) {
                for (size_t j = 0; j < entries_.size(); ++j) {
                    if (j != s.first) to(j, rec);
                }
            };
            for (const std::string& r : s.second) {
                if (r.empty() || r[0] != 'T') continue;
                tokens_.push_back(r.substr(1));
                ++tokens_added;
                others("T" + upto_nul(r.substr(1)) + "\n");
            }
            for (const std::string& r : s.second) {
                if (r.size() < 4 || r[0] != 'M') continue;
                const uint8_t* b = reinterpret_cast<const uint8_t*>(r.data());
                const uint8_t id = static_cast<uint8_t>(digit_of(b[1]));
                const int16_t target = static_cast<int16_t>(digit_of(b[2]) * 250 + digit_of(b[3]));
                if (b[1] == 0) {
                    ++id_zero;
                    continue;
                }
                if (target == 0 || target == -1) {
                    messages_.push_back({r.substr(4), id, static_cast<int16_t>(number)});
                    ++messages_added;
                }
                const std::string rec = std::string("M") + static_cast<char>(byte_of(id)) +
                                        static_cast<char>(byte_of(number / 250)) +
                                        static_cast<char>(byte_of(number % 250)) + upto_nul(r.substr(4)) + "\n";
                if (target == -1) others(rec);
                if (target >= 1) to(static_cast<size_t>(target - 1), rec);
            }
            for (const std::string& r : s.second) {
                // A slot byte 0 (slot 254) cannot pass on: dropped.
                if (r.size() < 3 || r[0] != 'D' || r[1] == '\0') continue;
                const int32_t slot = static_cast<uint8_t>(digit_of(static_cast<uint8_t>(r[1])));
                Slot& d = table_[slot];
                const std::string head = std::string("D") + static_cast<char>(byte_of(slot));
                if (r[2] == 'I') {
                    if (r.size() < 6 || r.substr(3, 3).find('\0') != std::string::npos) continue;
                    d.is_string = false;
                    d.digits = r.substr(3, 3);
                    d.number = decode3(d.digits);
                    others(head + "I" + d.digits + "\n");
                } else {
                    d.is_string = true;
                    d.text = upto_nul(r.substr(3));
                    others(head + "S" + d.text + "\n");
                }
            }
        }
        // The script's queues drop the newest past their bound; an id byte 0 is counted too.
        const uint64_t td = server_.tokens.dropped.load() - tokens_dropped;
        const uint64_t md = server_.messages.dropped.load() - messages_dropped;
        FAKE_CHECK(td <= tokens_added && md >= id_zero && md - id_zero <= messages_added);
        tokens_.resize(tokens_.size() - td);
        messages_.resize(messages_.size() - (md - id_zero));

        for (size_t j : released) entries_[j] = -1;

        // Outboxes (none to a reset peer): the room is held past the
        // high-water mark until under the low one; with stalls dropped,
        // everybody left has taken everything.
        size_t most = 0;
        for (size_t j = 0; j < entries_.size(); ++j) {
            if (entries_[j] < 0) continue;
            const Client& c = clients_[entries_[j]];
            const size_t outbox = sock(c).peer_reset ? 0 : c.expect.size() - sock(c).out.size();
            FAKE_CHECK(!stall_drops_ || outbox == 0);
            most = std::max(most, outbox);
        }
        held_ = held_ ? most > kLowWater : most > kHighWater;
        for (size_t j = 0; j < entries_.size(); ++j) {
            if (entries_[j] < 0) continue;
            const auto p = player(j);
            kiv::net::Lock lk(p->mutex);
            FAKE_CHECK(p->link->reading_held() == held_);
        }
        check_output();
        return timeout;
    }

    uint32_t present() const {
        uint32_t n = 0;
        for (int e : entries_) n += e >= 0 && !clients_[e].released;
        return n;
    }

    // What brings a newcomer's table to the server's: every slot that differs
    // from an empty one, in slot order; of a slot holding both values, the
    // one of its type last.
    std::string snapshot() const {
        std::string out;
        for (int32_t s = 0; s < kiv::shared_data::kSlots; ++s) {
            const Slot& d = table_[s];
            const std::string head = std::string("D") + static_cast<char>(byte_of(s));
            const std::string as_int = head + "I" + d.digits + "\n", as_text = head + "S" + d.text + "\n";
            const bool has_int = decode3(d.digits) != 0, has_text = !d.text.empty();
            if (d.is_string) {
                out += (has_int ? as_int : "") + as_text;
            } else if (has_int || has_text) {
                out += (has_text ? as_text : "") + as_int;
            }
        }
        return out;
    }

    // Bytes a client received so far are its model's, in order.
    void check_output() {
        for (Client& c : clients_) {
            const std::string& out = sock(c).out;
            if (c.refused || c.number == 0) {
                FAKE_CHECK(c.refused || out.empty());
                continue;
            }
            FAKE_CHECK(out.size() <= c.expect.size());
            FAKE_CHECK(out.compare(c.checked, std::string::npos, c.expect, c.checked, out.size() - c.checked) == 0);
            c.checked = out.size();
        }
    }

    void script_set() {
        const int32_t slot = in_.ConsumeIntegralInRange<int32_t>(-1, 256);
        const int32_t value = in_.ConsumeIntegral<int32_t>();
        const bool ok = kiv::data_set_int(server_, slot, value);
        // Refused: slots the digit cannot carry, and values whose digits
        // would hold a 0 byte.
        std::string digits;
        digits += static_cast<char>(byte_of(value / 62500));
        digits += static_cast<char>(byte_of(static_cast<int32_t>(std::floor(static_cast<double>(value % 62500) / 250.0))));
        digits += static_cast<char>(byte_of(value % 250));
        FAKE_CHECK(ok == (kiv::shared_data::slot_fits(slot) && digits.find('\0') == std::string::npos));
        if (!ok) return;
        Slot& d = table_[slot];
        d.is_string = false;
        d.number = value;
        d.digits = digits;
        for (int e : entries_) {
            if (e >= 0) clients_[e].expect += std::string("D") + static_cast<char>(byte_of(slot)) + "I" + digits + "\n";
        }
    }

    bool take_token() {
        if (!kiv::take_token(server_)) return false;
        FAKE_CHECK(!tokens_.empty() && std::string(server_.tokens.text.data(), server_.tokens.text.length()) == tokens_[0]);
        tokens_.pop_front();
        return true;
    }

    bool take_message() {
        if (!kiv::take_message(server_)) return false;
        FAKE_CHECK(!messages_.empty());
        const Message& m = messages_.front();
        FAKE_CHECK(std::string(server_.messages.value.data(), server_.messages.value.length()) == m.value);
        FAKE_CHECK(server_.messages.id == m.id && server_.messages.player == m.player);
        messages_.pop_front();
        return true;
    }

    FuzzedDataProvider& in_;
    kiv::Connection server_;
    bool stall_drops_ = false;  // a player that takes nothing is dropped at once
    std::vector<Client> clients_;
    std::deque<size_t> waiting_;  // clients in the accept queue
    std::vector<int> entries_;    // the player list: client index, -1 once released
    bool held_ = false;           // the room is held
    int timeout_ = -1;            // what the hub asked of its next wait
    Slot table_[kiv::shared_data::kSlots];
    std::deque<std::string> tokens_;  // the script's queues
    std::deque<Message> messages_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::install();
    FuzzedDataProvider in(data, size);
    {
        Run run(in);
        run.go();
    }
    // Every socket, the listener too, was closed by the pass or the teardown.
    for (const auto& s : fake::net.sockets) FAKE_CHECK(s.second.lib_closed);
    FAKE_CHECK(kiv::net::Link::count() == 0);
    return 0;
}
