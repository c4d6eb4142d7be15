// server_pass_fuzz: a player server's pass fed one player's arbitrary bytes, checked against a model of what everybody receives.
//
// A player server runs on fake sockets without its thread: the target marks
// what a wait would find ready and calls the pass itself, as the hub does.
// Quiet players join before and after the fuzzed one, read slowly, close or
// reset; the fuzzed player's bytes arrive in chunks; the server's script
// sets slots and takes tokens and messages. Checks, against a model built
// from the fuzzed player's lines:
//   - every token reaches every other player present as "T", text, LF, and
//     the server's token queue;
//   - messages go by their target (0 the script, -1 everybody else and the
//     script, n player n), carrying their id and the sender's number;
//   - data changes are stored by the server and passed on to everybody else
//     with digits that read as the stored value; a newcomer's snapshot reads
//     as what the players present read;
//   - within one pass the player's tokens go out before its messages, and
//     those before its data changes; each kind keeps its order;
//   - a newcomer gets its number first, a client of a full server "T" LF and
//     a close; no other byte reaches anybody;
//   - one pass reads at most what was ready (or its share) and hands on at
//     most its share of records, and asks for the next pass when complete
//     records wait; a departed player is released at once.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fake_net.h"
#include "conn/connection.h"
#include "conn/traffic.h"

namespace {

using fake::byte_of;
using fake::digit_of;
using kiv::platform::socket_t;

constexpr size_t kRecordsPerPass = 512;
constexpr size_t kBytesPerPass = 256 * 1024;

// One record a player should receive: exact bytes, or an integer data
// record, whose digits only have to read as the value.
struct Rec {
    std::string bytes;
    bool is_int = false;
    int32_t slot = 0;
    int32_t value = 0;
};

struct Client {
    socket_t s;
    bool fuzzed = false;
    bool refused = false;
    int number = 0;  // 0 until admitted
    std::vector<Rec> expect;
};

struct Slot {
    bool is_string = false;
    int32_t number = 0;   // what the server stores
    int32_t reads = 0;    // what the players present read
    std::string text;
};

int32_t decode3(const uint8_t* b) { return digit_of(b[0]) * 62500 + digit_of(b[1]) * 250 + digit_of(b[2]); }

// What a player reads for a value the server's script set: the sender's
// digits (truncating division, the middle digit floored).
int32_t read_of_script_value(int32_t n) {
    const int64_t d0 = n / 62500;
    const int64_t d1 = static_cast<int64_t>(std::floor(static_cast<double>(n % 62500) / 250.0));
    const int64_t d2 = n % 250;
    const uint8_t b[3] = {byte_of(static_cast<int32_t>(d0)), byte_of(static_cast<int32_t>(d1)),
                          byte_of(static_cast<int32_t>(d2))};
    return decode3(b);
}

std::string number_bytes(int32_t n) {
    std::string s;
    s += static_cast<char>(byte_of(n / 250));
    s += static_cast<char>(byte_of(n % 250));
    return s;
}

class Run {
public:
    explicit Run(FuzzedDataProvider& in) : in_(in) {
        fake::net.reset();
        fake::net.listener = fake::net.open();
        server_.hub.reset(new kiv::net::Hub(server_.mutex, server_, fake::net.listener));
        server_.kind.store(kiv::kTyped);
        server_.listening.store(1);
        kiv::shared_data::create(server_.data);
        server_.max_players = in_.ConsumeIntegralInRange<uint32_t>(1, 6);
        const int before = in_.ConsumeIntegralInRange<int>(0, 3);
        for (int i = 0; i < before; ++i) connect(false);
        connect(true);
    }

    void go() {
        while (in_.remaining_bytes() > 0) step();
        // Everything ready is served, everybody reads at last.
        for (Client& c : clients_) sock(c).room = SIZE_MAX;
        for (int i = 0; i < 10000; ++i) {
            if (!pass() && settled()) break;
        }
        FAKE_CHECK(settled());
        while (take_token()) {
        }
        while (take_message()) {
        }
        FAKE_CHECK(taken_tokens_ == server_tokens_.size());
        FAKE_CHECK(taken_messages_ == server_messages_.size());
        check_table();
        for (size_t k = 0; k < clients_.size(); ++k) check_output(k);
    }

private:
    struct Message {
        std::string value;
        uint8_t id;
        int16_t player;
    };

    fake::Socket& sock(const Client& c) { return fake::net.sockets[c.s]; }
    Client* fuzzed() {
        for (Client& c : clients_) {
            if (c.fuzzed) return &c;
        }
        return nullptr;
    }

    void step() {
        switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
            case 1:
            case 2:
                arrive();
                break;
            case 3:
            case 4:
                pass();
                break;
            case 5:
                if (clients_.size() < 12) connect(false);
                break;
            case 6: {
                // A player leaves, in order or with a reset.
                Client& c = clients_[in_.ConsumeIntegralInRange<size_t>(0, clients_.size() - 1)];
                if (in_.ConsumeBool()) {
                    sock(c).peer_closed = true;
                } else {
                    sock(c).peer_reset = true;
                }
                break;
            }
            case 7: {
                // How much a player's socket takes now.
                static const size_t rooms[] = {0, 1, 5, 64, SIZE_MAX};
                Client& c = clients_[in_.ConsumeIntegralInRange<size_t>(0, clients_.size() - 1)];
                const size_t room = rooms[in_.ConsumeIntegralInRange<int>(0, 4)];
                if (c.number > 0) sock(c).room = room;
                break;
            }
            case 8:
                if (in_.ConsumeBool()) {
                    take_token();
                } else {
                    take_message();
                }
                break;
            case 9:
                if (in_.ConsumeBool()) {
                    script_set();
                } else if (Client* f = fuzzed()) {
                    // A lying or failing count of bytes ready.
                    sock(*f).ready_answer = in_.ConsumeIntegralInRange<long>(-1, 40);
                }
                break;
        }
    }

    void connect(bool is_fuzzed) {
        Client c;
        c.s = fake::net.open();
        c.fuzzed = is_fuzzed;
        fake::net.accept_queue.push_back(c.s);
        waiting_.push_back(clients_.size());
        clients_.push_back(std::move(c));
    }

    void arrive() {
        Client* f = fuzzed();
        const size_t n = in_.ConsumeIntegralInRange<size_t>(1, 64);
        std::string bytes = in_.ConsumeBytesAsString(n);
        if (!f || bytes.empty() || sock(*f).peer_closed || sock(*f).peer_reset) return;
        arrived_ += bytes;
        sock(*f).in.push_back({std::move(bytes), 0, false});
    }

    // Entries of the model's player list that are present (not departed).
    std::vector<size_t> present() const {
        std::vector<size_t> out;
        for (int e : entries_) {
            if (e >= 0) out.push_back(static_cast<size_t>(e));
        }
        return out;
    }

    bool pass() {
        Client* f = fuzzed();
        const std::vector<int> at_start = entries_;
        std::vector<bool> was_ready(entries_.size(), false);
        size_t f_read_before = f ? sock(*f).read_total : 0;
        {
            // What the hub's wait would find: readable sockets, and now and
            // then one that is not (a spurious wake).
            const auto list = server_.player_list();
            FAKE_CHECK(list.size() == entries_.size());
            for (size_t j = 0; j < list.size(); ++j) {
                FAKE_CHECK((list[j] != nullptr) == (entries_[j] >= 0));
                if (!list[j]) continue;
                const bool ready = sock(clients_[entries_[j]]).readable() || (in_.remaining_bytes() > 0 && in_.ConsumeIntegralInRange<int>(0, 7) == 0);
                kiv::net::Hub::set_ready(*list[j]->link, ready);
                was_ready[j] = ready;
            }
        }
        if (f) sock(*f).last_ready = SIZE_MAX;
        std::vector<kiv::net::Link*> links;
        bool more;
        {
            std::lock_guard<std::mutex> lk(server_.mutex);
            more = server_.pass(links);
        }
        for (kiv::net::Link* l : links) {
            kiv::net::Hub::set_ready(*l, false);
            l->flush();
        }
        // Departures: a player that left is released by the pass that finds
        // it ready.
        const auto list = server_.player_list();
        size_t f_entry = SIZE_MAX;
        for (size_t j = 0; j < at_start.size(); ++j) {
            if (at_start[j] < 0) continue;
            Client& c = clients_[at_start[j]];
            if (c.fuzzed) {
                f_entry = j;
                continue;
            }
            const bool leaves = was_ready[j] && (sock(c).peer_closed || sock(c).peer_reset);
            FAKE_CHECK((list[j] == nullptr) == leaves);
        }
        // The fuzzed player's records this pass handed on: those ending
        // before what it still holds.
        if (f_entry != SIZE_MAX) {
            const std::shared_ptr<kiv::Connection> p = list[f_entry];
            fake::Socket& k = sock(*f);
            const size_t read = k.read_total - f_read_before;
            size_t cut;
            if (!p) {
                // It left: everything it sent was read and every complete
                // record handed on.
                FAKE_CHECK(k.peer_closed || k.peer_reset);
                FAKE_CHECK(k.in.empty());
                const size_t lf = arrived_.rfind('\n');
                cut = lf == std::string::npos ? 0 : lf + 1;
            } else {
                FAKE_CHECK(!p->link->peer_gone());
                std::lock_guard<std::mutex> lk(p->mutex);
                const std::string held(p->link->held_data(), p->link->held());
                cut = k.read_total - held.size();
                FAKE_CHECK(arrived_.compare(cut, held.size(), held) == 0);
                // Complete records still held: the next pass must follow at once.
                if (held.find('\n') != std::string::npos) FAKE_CHECK(more);
            }
            FAKE_CHECK(cut >= cut_ && (cut == 0 || arrived_[cut - 1] == '\n'));
            // At most what was ready when the pass reached the player.
            if (k.last_ready != SIZE_MAX) {
                const size_t budget = k.last_ready == 0 || k.last_ready > kBytesPerPass ? kBytesPerPass : k.last_ready;
                FAKE_CHECK(read <= budget);
            } else {
                FAKE_CHECK(read == 0);
            }
            std::vector<std::string> records;
            for (size_t at = cut_; at < cut;) {
                const size_t lf = arrived_.find('\n', at);
                records.push_back(arrived_.substr(at, lf - at));
                at = lf + 1;
            }
            FAKE_CHECK(records.size() <= kRecordsPerPass);
            // Within a pass a player's tokens go first, then its messages,
            // then its data changes.
            for (const char kind : {'T', 'M', 'D'}) {
                for (const std::string& r : records) {
                    if (!r.empty() && r[0] == kind) relay(*f, at_start, r);
                }
            }
            cut_ = cut;
        }
        for (size_t j = 0; j < at_start.size(); ++j) {
            if (at_start[j] >= 0 && !list[j]) entries_[j] = -1;
        }
        admit(more);
        return more;
    }

    // The model of one record from the fuzzed player.
    void relay(const Client& from, const std::vector<int>& at_start, const std::string& r) {
        if (r.empty()) return;
        const uint8_t* b = reinterpret_cast<const uint8_t*>(r.data());
        auto others = [&](const Rec& rec) {
            for (int e : at_start) {
                if (e >= 0 && !clients_[e].fuzzed) clients_[e].expect.push_back(rec);
            }
        };
        if (r[0] == 'T') {
            server_tokens_.push_back(r.substr(1));
            others({r + "\n"});
        } else if (r[0] == 'M' && r.size() >= 4) {
            const uint8_t id = static_cast<uint8_t>(digit_of(b[1]));
            const int16_t target = static_cast<int16_t>(digit_of(b[2]) * 250 + digit_of(b[3]));
            const std::string value = r.substr(4);
            if (target == 0 || target == -1) server_messages_.push_back({value, id, static_cast<int16_t>(from.number)});
            Rec rec{std::string("M") + static_cast<char>(byte_of(id)) + number_bytes(from.number) + value + "\n"};
            if (target == -1) {
                others(rec);
            } else if (target >= 1 && static_cast<size_t>(target) <= at_start.size() && at_start[target - 1] >= 0) {
                clients_[at_start[target - 1]].expect.push_back(rec);
            }
        } else if (r[0] == 'D' && r.size() >= 3) {
            const int32_t slot = static_cast<uint8_t>(digit_of(b[1]));
            Slot& s = table_[slot];
            if (r[2] == 'I') {
                if (r.size() < 6) return;
                // Digits holding a 0 byte: neither stored nor passed on.
                if (b[3] == 0 || b[4] == 0 || b[5] == 0) return;
                const int32_t value = decode3(b + 3);
                s.is_string = false;
                s.number = s.reads = value;
                Rec rec;
                rec.is_int = true;
                rec.slot = slot;
                rec.value = value;
                others(rec);
            } else {
                std::string text = r.substr(3);
                text = text.substr(0, text.find('\0'));
                s.is_string = true;
                s.text = text;
                others({std::string("D") + static_cast<char>(byte_of(slot)) + "S" + text + "\n"});
            }
        }
    }

    // Newcomers, after the pass's relays and departures, in the order they came.
    void admit(bool more) {
        size_t admitted = 0;
        while (!waiting_.empty() && admitted < 256) {
            Client& c = clients_[waiting_.front()];
            waiting_.pop_front();
            ++admitted;
            if (present().size() >= server_.max_players) {
                c.refused = true;
                c.expect.push_back({"T\n"});
                continue;
            }
            entries_.push_back(static_cast<int>(&c - clients_.data()));
            c.number = static_cast<int>(entries_.size());
            c.expect.push_back({"T" + std::to_string(c.number) + "\n"});
            // Every slot that differs from an empty one, in slot order; of a
            // slot holding both values, the one of its current type last.
            for (int32_t s = 0; s < 256; ++s) {
                const Slot& d = table_[s];
                Rec as_int;
                as_int.is_int = true;
                as_int.slot = s;
                as_int.value = d.reads;
                const Rec as_text{std::string("D") + static_cast<char>(byte_of(s)) + "S" + d.text + "\n"};
                const bool has_int = d.reads != 0, has_text = !d.text.empty();
                if (d.is_string) {
                    if (has_int) c.expect.push_back(as_int);
                    c.expect.push_back(as_text);
                } else if (has_int || has_text) {
                    if (has_text) c.expect.push_back(as_text);
                    c.expect.push_back(as_int);
                }
            }
        }
        FAKE_CHECK(more || admitted < 256);
        FAKE_CHECK(fake::net.accept_queue.size() == waiting_.size());
    }

    void script_set() {
        const int32_t slot = in_.ConsumeIntegralInRange<int32_t>(-1, 256);
        const int32_t value = in_.ConsumeIntegral<int32_t>();
        const bool ok = kiv::data_set_int(server_, slot, value);
        // Refused: slots the digit cannot carry, and values whose digits
        // would hold a 0 byte.
        const int32_t d1 = static_cast<int32_t>(std::floor(static_cast<double>(value % 62500) / 250.0));
        const bool zero_digit = byte_of(value / 62500) == 0 || byte_of(d1) == 0 || byte_of(value % 250) == 0;
        FAKE_CHECK(ok == (kiv::shared_data::slot_fits(slot) && !zero_digit));
        if (!ok) return;
        Slot& s = table_[slot];
        s.is_string = false;
        s.number = value;
        s.reads = read_of_script_value(value);
        Rec rec;
        rec.is_int = true;
        rec.slot = slot;
        rec.value = s.reads;
        for (size_t e : present()) clients_[e].expect.push_back(rec);
    }

    bool take_token() {
        if (!kiv::take_token(server_)) return false;
        FAKE_CHECK(taken_tokens_ < server_tokens_.size());
        FAKE_CHECK(std::string(server_.tokens.text.data(), server_.tokens.text.length()) ==
                   server_tokens_[taken_tokens_]);
        ++taken_tokens_;
        return true;
    }

    bool take_message() {
        if (!kiv::take_message(server_)) return false;
        FAKE_CHECK(taken_messages_ < server_messages_.size());
        const Message& m = server_messages_[taken_messages_++];
        FAKE_CHECK(std::string(server_.messages.value.data(), server_.messages.value.length()) == m.value);
        FAKE_CHECK(server_.messages.id == m.id);
        FAKE_CHECK(server_.messages.player == m.player);
        return true;
    }

    // Nothing left for a pass to do.
    bool settled() {
        if (!waiting_.empty()) return false;
        for (size_t j = 0; j < entries_.size(); ++j) {
            if (entries_[j] >= 0 && sock(clients_[entries_[j]]).readable()) return false;
        }
        return true;
    }

    void check_table() {
        for (int s = 0; s < 256; ++s) {
            const kiv::shared_data::Slot& got = server_.data.slots[s];
            FAKE_CHECK((got.is_string != 0) == table_[s].is_string);
            if (table_[s].is_string) {
                FAKE_CHECK(std::string(got.text.data(), got.text.length()) == table_[s].text);
            } else {
                FAKE_CHECK(got.number == table_[s].number);
            }
        }
    }

    // What a client received: its records exactly as the model says; one
    // that left may have lost the tail its outbox still held.
    void check_output(size_t k) {
        const Client& c = clients_[k];
        const fake::Socket& s = fake::net.sockets[c.s];
        bool gone = c.refused;
        if (c.number > 0) gone = entries_[c.number - 1] < 0;
        if (c.number == 0 && !c.refused) {
            FAKE_CHECK(s.out.empty());
            return;
        }
        if (c.refused) FAKE_CHECK(s.lib_closed);
        size_t at = 0;
        size_t i = 0;
        for (; at < s.out.size(); ++i) {
            const size_t lf = s.out.find('\n', at);
            if (lf == std::string::npos) {
                FAKE_CHECK(gone);  // an outbox dropped at departure may cut a record
                break;
            }
            const std::string r = s.out.substr(at, lf + 1 - at);
            FAKE_CHECK(i < c.expect.size());
            const Rec& want = c.expect[i];
            if (want.is_int) {
                const uint8_t* b = reinterpret_cast<const uint8_t*>(r.data());
                FAKE_CHECK(r.size() == 7 && r[0] == 'D' && b[1] == byte_of(want.slot) && r[2] == 'I');
                FAKE_CHECK(decode3(b + 3) == want.value);
            } else {
                if (r != want.bytes && std::getenv("FUZZ_DEBUG")) {
                    std::fprintf(stderr, "client %zu record %zu: got", k, i);
                    for (unsigned char ch : r) std::fprintf(stderr, " %02x", ch);
                    std::fprintf(stderr, "\nwant");
                    for (unsigned char ch : want.bytes) std::fprintf(stderr, " %02x", ch);
                    std::fprintf(stderr, "\n");
                }
                FAKE_CHECK(r == want.bytes);
            }
            at = lf + 1;
        }
        if (!gone) FAKE_CHECK(i == c.expect.size());
    }

    FuzzedDataProvider& in_;
    kiv::Connection server_;
    std::vector<Client> clients_;
    std::deque<size_t> waiting_;  // clients in the accept queue
    std::vector<int> entries_;    // the player list: client index, -1 once departed

    std::string arrived_;  // the fuzzed player's bytes
    size_t cut_ = 0;       // how far its records were handed on
    Slot table_[256];
    std::vector<std::string> server_tokens_;
    std::vector<Message> server_messages_;
    size_t taken_tokens_ = 0;
    size_t taken_messages_ = 0;
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
