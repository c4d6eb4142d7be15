// Tests for the relay core without sockets: a fake network side and a clock the test moves.
#include <gtest/gtest.h>

#include "core.hpp"

#include <map>
#include <set>
#include <string>

namespace {

using namespace kiv::relay;
using std::chrono::milliseconds;

// Records what the core asks for; the test plays the sockets.
struct FakeNet : Shell {
    std::set<ClientId> closed, reset, resumed;
    void want_write(ClientId) override {}
    void want_read(ClientId id) override { resumed.insert(id); }
    void close(ClientId id, bool hard) override { (hard ? reset : closed).insert(id); }
    void log(const std::string&) override {}
};

struct CoreTest : ::testing::Test {
    Limits limits = [] {
        Limits l;
        l.max_line = 100;
        l.high_water = 1000;
        l.low_water = 200;
        l.max_pending = 4000;
        return l;
    }();
    FakeNet net;
    Core core{limits, net};
    Time now = Clock::now();
    ClientId next = 1;

    bool gone(ClientId id) const { return net.closed.count(id) || net.reset.count(id); }

    // Everything waiting for the client, as the socket would take it, all at once.
    std::string take(ClientId id) {
        std::string out;
        std::size_t offset = 0;
        if (const auto* q = core.output(id, &offset)) {
            for (const auto& chunk : *q)
                out += *chunk;
            out.erase(0, offset);
        }
        core.wrote(id, out.size(), now);
        return out;
    }
    void feed(ClientId id, const std::string& bytes) { core.input(id, bytes.data(), bytes.size(), now); }
    ClientId member(const std::string& session) {
        ClientId id = next++;
        core.open(id, "127.0.0.1", "test", now);
        feed(id, session + "\n");
        take(id);
        return id;
    }
};

TEST_F(CoreTest, CompleteLinesBeforeAnOverlongOneInTheSameReadAreDelivered) {
    ClientId a = member("room"), b = member("room");
    feed(a, "one\ntwo\n" + std::string(limits.max_line + 1, 'x') + "\nnever\n");
    EXPECT_EQ(take(b), "one\ntwo\n");
    EXPECT_TRUE(gone(a));
    EXPECT_FALSE(gone(b));
    // Same for the lines that follow the name in the client's first read.
    ClientId c = next++;
    core.open(c, "127.0.0.1", "test", now);
    feed(c, "room\nthree\n" + std::string(limits.max_line + 1, 'x') + "\n");
    EXPECT_EQ(take(b), "three\n");
    EXPECT_TRUE(gone(c));
}

TEST_F(CoreTest, OneAddressAnswerAndTheHandshakeLimitIsNotRearmed) {
    ClientId q = next++;
    core.open(q, "192.0.2.7", "test", now);
    std::string flood;
    for (int i = 0; i < 1000; ++i)
        flood += "IPADDRESS\n";
    feed(q, flood);
    EXPECT_EQ(take(q), "kiv-relay 1\n192.0.2.7\n");
    EXPECT_TRUE(gone(q)) << "a second query is refused";
    EXPECT_LT(core.stats().peak_held, 100u);

    ClientId r = next++;
    core.open(r, "192.0.2.8", "test", now);
    now += limits.handshake_timeout / 2;
    feed(r, "IPADDRESS\n");
    now += limits.handshake_timeout / 2;
    core.tick(now);
    EXPECT_TRUE(gone(r)) << "the query must not restart the handshake limit";

    ClientId s = next++;
    core.open(s, "192.0.2.9", "test", now);
    feed(s, "IPADDRESS\nroom\n");
    EXPECT_EQ(take(s), "kiv-relay 1\n192.0.2.9\n");
    EXPECT_TRUE(gone(s)) << "only the goodbye may follow the answer";
    EXPECT_EQ(core.stats().sessions, 0u);
}

TEST_F(CoreTest, SlowRecipientPausesItsSessionUntilItCatchesUp) {
    ClientId a = member("room"), slow = member("room"), other = member("elsewhere");
    const std::string line(99, 'l');
    int sent = 0;
    while (core.readable(a) && sent < 1000) {
        feed(a, line + "\n");
        ++sent;
    }
    EXPECT_LT(sent, 1000) << "the sender was never paused";
    EXPECT_FALSE(core.readable(slow)) << "the whole session pauses";
    EXPECT_TRUE(core.readable(other));
    EXPECT_LE(core.stats().peak_queue, limits.high_water + limits.max_line + 1);

    // Taking some bytes is progress: no drop however long it takes.
    std::size_t offset = 0;
    for (int i = 0; i < 10; ++i) {
        now += limits.stall_timeout / 2;
        core.wrote(slow, 50, now);
        core.tick(now);
    }
    EXPECT_FALSE(gone(slow));
    EXPECT_FALSE(core.readable(a));
    std::string got = take(slow);
    EXPECT_EQ(got.size() + 500, static_cast<std::size_t>(sent) * 100);
    EXPECT_TRUE(net.resumed.count(a));
    EXPECT_TRUE(core.readable(a));
    EXPECT_EQ(core.output(slow, &offset), nullptr);
}

TEST_F(CoreTest, TimeLimitsDropOnlyTheStalledAndTheUnfinished) {
    ClientId a = member("room"), stalled = member("room"), partial = member("room"), idle = member("room");
    feed(a, "hello\n");
    take(partial);
    take(idle);
    feed(partial, "unfinished");
    now += limits.line_timeout - milliseconds(1);
    core.tick(now);
    EXPECT_FALSE(gone(partial));
    now += limits.stall_timeout;
    core.tick(now);
    EXPECT_TRUE(net.reset.count(stalled)) << "took no bytes for the whole limit";
    EXPECT_TRUE(gone(partial)) << "held an unfinished line for the whole limit";
    EXPECT_FALSE(gone(a));
    EXPECT_FALSE(gone(idle)) << "an idle member with nothing waiting stays";
    EXPECT_EQ(core.stats().held, 0u);
}

TEST(CoreBudget, ShedsTheLargestHoldersFirst) {
    Limits limits;
    limits.memory_budget = 10000;
    limits.max_line = 4000;
    FakeNet net;
    Core core(limits, net);
    Time now = Clock::now();
    for (ClientId id = 1; id <= 4; ++id) {
        core.open(id, "127.0.0.1", "test", now);
        std::string name = "s" + std::to_string(id) + "\n";
        core.input(id, name.data(), name.size(), now);
    }
    // Unfinished lines of 3000, 3000, 3500 and then 4000 bytes: the last one goes over.
    for (ClientId id = 1; id <= 4; ++id) {
        std::string part(id <= 2 ? 3000 : id == 3 ? 3500 : 4000, 'p');
        core.input(id, part.data(), part.size(), now);
    }
    EXPECT_TRUE(net.reset.count(4)) << "the largest holder goes first";
    EXPECT_EQ(net.reset.size(), 2u) << "down to 7/8 of the budget, no further";
    EXPECT_TRUE(net.reset.count(3));
    EXPECT_LE(core.stats().held, limits.memory_budget);

    // A line to a big session exists once, and counts once.
    for (ClientId id = 10; id < 60; ++id) {
        core.open(id, "127.0.0.1", "test", now);
        core.input(id, "big\n", 4, now);
    }
    std::string line(3000, 'b');
    line += "\n";
    std::size_t before = core.stats().held;
    core.input(10, line.data(), line.size(), now);
    EXPECT_EQ(net.reset.size(), 2u) << "members of a big session were shed for a line they share";
    EXPECT_EQ(core.stats().held, before + line.size());
}

} // namespace

// A link that answers joins later, as the cluster does once the shared count is back.
struct LaterLink : ClusterLink {
    std::vector<ClientId> joining_ids;
    std::vector<std::string> published;
    bool joining(ClientId id, const std::string&, std::size_t) override {
        joining_ids.push_back(id);
        return true;
    }
    void members_changed(const std::string&, std::size_t) override {}
    void publish(const std::string&, const Chunk& lines) override { published.push_back(*lines); }
};

TEST_F(CoreTest, AJoiningMemberGetsItsCountBeforeAnyLineAndIsReadOnlyThen) {
    LaterLink link;
    core.set_cluster(&link);
    ClientId a = member("room");
    core.joined(a, 4, now);
    EXPECT_EQ(take(a), "4\n") << "local members before it plus those elsewhere";
    ClientId b = member("room");
    ASSERT_EQ(link.joining_ids, (std::vector<ClientId>{a, b}));
    EXPECT_FALSE(core.readable(b));
    feed(a, "before\n");
    core.deliver("room", std::make_shared<const std::string>("remote before\n"), now);
    EXPECT_EQ(take(b), "") << "nothing reaches a member before its count";
    core.joined(b, 4, now);
    EXPECT_TRUE(core.readable(b));
    EXPECT_TRUE(net.resumed.count(b));
    feed(a, "after\n");
    EXPECT_EQ(take(b), "5\nafter\n");
    EXPECT_EQ(link.published, (std::vector<std::string>{"before\n", "after\n"}));
    core.joined(b, 9, now); // a second answer, or one for a client gone, changes nothing
    core.joined(999, 9, now);
    EXPECT_EQ(take(b), "");
    core.set_cluster(nullptr);
}
