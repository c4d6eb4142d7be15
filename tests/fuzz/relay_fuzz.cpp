// libFuzzer target: the relay core's line handling and session fan-out, driven without sockets.
//
// Build and run from the repository root (clang 14 with its libFuzzer runtime):
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
//     -Itools/relay tests/fuzz/relay_fuzz.cpp tools/relay/core.cpp -o relay_fuzz
//   ./relay_fuzz -max_total_time=60 tests/fuzz/corpus/relay
//
// The input is a script of operations on a handful of clients: join a session, send
// tagged lines in arbitrary pieces, send raw bytes, let sockets take arbitrary amounts,
// move the clock, end connections, deliver lines from another instance, pause all.
// Checked on every step: bounds per client and for the process, lines whole and never
// longer than the limit, no echo, per-sender order; at the end, after every socket has
// taken everything: each surviving member got every tagged line sent to its session
// while it was there.
#include "core.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace kiv::relay;

constexpr char kTag = '\x01'; // raw bytes never carry it, so only tagged sends start a line with it
constexpr int kClients = 6;
constexpr int kRemote = 0; // sender number of lines from another instance

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "relay_fuzz: %s\n", what);
    std::abort();
}

#define CHECK(cond)                                                                                                \
    do {                                                                                                           \
        if (!(cond))                                                                                               \
            fail(#cond);                                                                                           \
    } while (0)

struct Peer {
    bool open = false;
    bool clean = false; // joined by the harness and never sent raw bytes: its session is known
    std::string session;
    std::string got;          // bytes its socket took
    std::size_t parsed = 0;   // of got, through the last complete line
    std::map<int, long> last; // sender -> last tagged sequence number seen
    std::set<std::pair<int, long>> seen;
};

struct Harness : Shell, ClusterLink {
    Limits limits;
    Peer peers[kClients + 1]; // 1..kClients
    ClientId ids[kClients + 1] = {};
    ClientId next_id = 1;
    long seq = 0;
    std::size_t remote_count = 0;
    // (sender, seq) -> members (slot, client) that must get it if they stay.
    std::map<std::pair<int, long>, std::vector<std::pair<int, ClientId>>> expected;
    std::unique_ptr<Core> core;

    int slot_of(ClientId id) const {
        for (int i = 1; i <= kClients; ++i)
            if (ids[i] == id && peers[i].open)
                return i;
        return 0;
    }

    // Shell
    void want_write(ClientId) override {}
    void want_read(ClientId) override {}
    void close(ClientId id, bool) override {
        int i = slot_of(id);
        CHECK(i != 0);
        peers[i].open = false;
    }
    void log(const std::string&) override {}

    // ClusterLink
    std::vector<ClientId> joining_ids; // answered after the step, as a link would later
    bool joining(ClientId id, const std::string&, std::size_t) override {
        joining_ids.push_back(id);
        return true;
    }
    void members_changed(const std::string&, std::size_t) override {}
    void publish(const std::string&, const Chunk& lines) override {
        CHECK(!lines->empty() && lines->back() == '\n');
    }

    void take(int i, std::size_t limit) {
        std::size_t offset = 0;
        const auto* q = core->output(ids[i], &offset);
        if (!q)
            return;
        std::string bytes;
        for (const auto& c : *q) {
            bytes += *c;
            if (bytes.size() - offset >= limit)
                break;
        }
        bytes.erase(0, offset);
        if (bytes.size() > limit)
            bytes.resize(limit);
        Peer& p = peers[i];
        p.got += bytes;
        core->wrote(ids[i], bytes.size(), Clock::now());
        while (true) {
            auto nl = p.got.find('\n', p.parsed);
            if (nl == std::string::npos)
                break;
            std::string line = p.got.substr(p.parsed, nl - p.parsed);
            p.parsed = nl + 1;
            CHECK(line.size() <= limits.max_line);
            if (line.empty() || line[0] != kTag)
                continue;
            int sender = 0;
            long n = 0;
            CHECK(std::sscanf(line.c_str() + 1, "%d.%ld|", &sender, &n) == 2);
            CHECK(sender != i);                // no echo
            CHECK(p.last[sender] < n);         // per-sender order, no duplicate
            p.last[sender] = n;
            p.seen.emplace(sender, n);
        }
    }

    void check_bounds() {
        Stats s = core->stats();
        CHECK(s.held <= limits.memory_budget);
        for (int i = 1; i <= kClients; ++i) {
            std::size_t offset = 0, bytes = 0;
            if (!peers[i].open)
                continue;
            if (const auto* q = core->output(ids[i], &offset)) {
                for (const auto& c : *q)
                    bytes += c->size();
                CHECK(bytes - offset <= limits.max_pending);
            }
        }
    }

    std::vector<std::pair<int, ClientId>> clean_members(const std::string& session, int except) const {
        std::vector<std::pair<int, ClientId>> out;
        for (int i = 1; i <= kClients; ++i)
            if (i != except && peers[i].open && peers[i].clean && peers[i].session == session)
                out.emplace_back(i, ids[i]);
        return out;
    }

    std::string tagged(int sender, FuzzedDataProvider& in) {
        std::string line = std::string(1, kTag) + std::to_string(sender) + "." + std::to_string(++seq) + "|";
        std::string body = in.ConsumeRandomLengthString(limits.max_line);
        for (char& c : body)
            if (c == '\n')
                c = ' ';
        line += body;
        if (line.size() > limits.max_line)
            line.resize(limits.max_line);
        return line + "\n";
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Harness h;
    h.limits.max_line = 64;
    h.limits.high_water = 256;
    h.limits.low_water = 64;
    h.limits.max_pending = 1024;
    h.limits.memory_budget = 1200; // low enough that shedding happens
    h.limits.handshake_timeout = std::chrono::milliseconds(40);
    h.limits.goodbye_linger = std::chrono::milliseconds(20);
    h.limits.stall_timeout = std::chrono::milliseconds(60);
    h.limits.line_timeout = std::chrono::milliseconds(50);
    h.core = std::make_unique<Core>(h.limits, h);
    if (in.ConsumeBool())
        h.core->set_cluster(&h);
    h.remote_count = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    Time now = Clock::now();
    const char* sessions[] = {"a", "b", "", "IPADDRESS "};

    for (int step = 0; step < 400 && in.remaining_bytes() > 0; ++step) {
        int i = in.ConsumeIntegralInRange<int>(1, kClients);
        Peer& p = h.peers[i];
        switch (in.ConsumeIntegralInRange<int>(0, 8)) {
        case 0: { // a new client in slot i, which joins a session when told to
            if (p.open)
                h.core->ended(h.ids[i], "replaced", now);
            p = Peer();
            h.ids[i] = h.next_id++;
            p.open = true;
            h.core->open(h.ids[i], "203.0.113.9", "fuzz", now);
            if (in.ConsumeBool()) {
                p.clean = true;
                p.session = sessions[in.ConsumeIntegralInRange<int>(0, 3)];
                std::string first = p.session + "\n";
                h.core->input(h.ids[i], first.data(), first.size(), now);
            } else if (in.ConsumeBool()) {
                std::string query = "IPADDRESS\n";
                if (in.ConsumeBool())
                    query += in.ConsumeBool() ? "IPADDRESS\n" : "`\n";
                h.core->input(h.ids[i], query.data(), query.size(), now);
            }
            break;
        }
        case 1:
        case 2: { // a tagged line, in arbitrary pieces
            if (!p.open || !p.clean || !h.core->readable(h.ids[i]))
                break;
            std::string line = h.tagged(i, in);
            auto members = h.clean_members(p.session, i);
            std::size_t off = 0;
            while (off < line.size() && p.open) {
                std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, line.size() - off);
                h.core->input(h.ids[i], line.data() + off, n, now);
                off += n;
            }
            // A sender shed for the budget before its line was whole sent nothing.
            if (p.open)
                h.expected[{i, h.seq}] = members;
            break;
        }
        case 3: { // raw bytes: anything but the tag byte
            if (!p.open || !h.core->readable(h.ids[i]))
                break;
            std::string raw = in.ConsumeRandomLengthString(300);
            for (char& c : raw)
                if (c == kTag)
                    c = '\n';
            p.clean = false;
            h.core->input(h.ids[i], raw.data(), raw.size(), now);
            break;
        }
        case 4:
        case 5: // the socket takes some bytes
            if (p.open)
                h.take(i, in.ConsumeIntegralInRange<std::size_t>(0, 2000));
            break;
        case 6:
            now += std::chrono::milliseconds(in.ConsumeIntegralInRange<int>(0, 70));
            h.core->tick(now);
            break;
        case 7: { // lines from another instance
            std::string session = sessions[in.ConsumeIntegralInRange<int>(0, 3)];
            int pieces = in.ConsumeIntegralInRange<int>(1, 4);
            std::string lines;
            for (int k = 0; k < pieces; ++k) {
                lines += h.tagged(kRemote, in);
                h.expected[{kRemote, h.seq}] = h.clean_members(session, -1);
            }
            h.core->deliver(session, std::make_shared<const std::string>(lines), now);
            break;
        }
        case 8:
            if (in.ConsumeBool())
                h.core->set_paused(in.ConsumeBool());
            else if (p.open)
                h.core->ended(h.ids[i], "gone", now);
            break;
        }
        for (ClientId id : h.joining_ids)
            h.core->joined(id, h.remote_count, now);
        h.joining_ids.clear();
        h.check_bounds();
    }

    // Every socket takes everything; whoever is still there must have all it was sent.
    h.core->set_paused(false);
    for (int round = 0; round < 64; ++round)
        for (int i = 1; i <= kClients; ++i)
            if (h.peers[i].open)
                h.take(i, ~std::size_t(0) >> 1);
    for (auto& [key, members] : h.expected)
        for (auto& [slot, id] : members)
            if (h.peers[slot].open && h.ids[slot] == id)
                CHECK(h.peers[slot].seen.count(key));
    for (int i = 1; i <= kClients; ++i)
        if (h.peers[i].open)
            CHECK(h.peers[i].got.empty() || h.peers[i].got.back() == '\n');
    h.core->shutdown();
    CHECK(h.core->stats().held == 0 && h.core->stats().clients == 0);
    return 0;
}
