// Tests for kiv-relay: run the real binary and talk to it over loopback with raw sockets.
#include <gtest/gtest.h>

#include "support/relay.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

namespace {

using namespace relaytest;

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GT(relay_.port(), 0) << "relay did not start: " << relay_binary(); }
    void TearDown() override { EXPECT_EQ(relay_.stop(), 0) << "relay did not shut down cleanly"; }
    int port() const { return relay_.port(); }

    RelayProcess relay_;
};

TEST_F(RelayTest, HandshakeGreetingAddressAndGoodbye) {
    Conn a(port());
    std::string greeting = a.line();
    EXPECT_FALSE(greeting.empty() || greeting == kTimeout || greeting == kClosed) << greeting;
    ASSERT_TRUE(a.send("IPADDRESS\n"));
    EXPECT_EQ(a.line(), "127.0.0.1");
    ASSERT_TRUE(a.send("`\n"));
    EXPECT_TRUE(a.closed());

    // Sent in one burst, the answer must still arrive before the close.
    Conn b(port());
    ASSERT_TRUE(b.send("IPADDRESS\n`\n"));
    b.line();
    EXPECT_EQ(b.line(), "127.0.0.1");
    EXPECT_TRUE(b.closed());

    Conn c(port());
    ASSERT_TRUE(c.send("`\n"));
    EXPECT_TRUE(c.closed());
}

TEST_F(RelayTest, MembersExchangeLinesInOrderWithoutEcho) {
    Conn a(port()), b(port());
    EXPECT_EQ(a.join("room"), "0");
    EXPECT_EQ(b.join("room"), "1");
    std::string burst;
    for (int i = 0; i < 200; ++i)
        burst += seq_line('a', i, 40) + "\n";
    ASSERT_TRUE(a.send(burst));
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(b.line(), seq_line('a', i, 40));
    ASSERT_TRUE(b.send("b0\nb1\n"));
    // Had a's own lines come back, they would be queued ahead of b's.
    EXPECT_EQ(a.line(), "b0");
    EXPECT_EQ(a.line(), "b1");
    Conn c(port());
    EXPECT_EQ(c.join("room"), "2");
}

TEST_F(RelayTest, SessionsAreIsolated) {
    Conn a(port()), b(port()), x(port()), y(port());
    a.join("room");
    b.join("room");
    x.join("other");
    EXPECT_EQ(y.join("other "), "0") << "names differing by a byte are different sessions";
    ASSERT_TRUE(a.send("for room\n"));
    EXPECT_EQ(b.line(), "for room");
    Conn z(port());
    z.join("other ");
    ASSERT_TRUE(z.send("for other space\n"));
    EXPECT_EQ(y.line(), "for other space") << "y must not have heard the other sessions";
    Conn w(port());
    w.join("other");
    ASSERT_TRUE(w.send("for other\n"));
    EXPECT_EQ(x.line(), "for other") << "x must not have heard the other sessions";
}

TEST_F(RelayTest, ForwardsAnyBytesExactly) {
    const std::string name("\0we\xff\r", 5);
    Conn a(port()), b(port());
    EXPECT_EQ(a.join(name), "0");
    EXPECT_EQ(b.join(name), "1");
    std::string all_bytes;
    for (int c = 0; c < 256; ++c)
        if (c != '\n')
            all_bytes += static_cast<char>(c);
    std::vector<std::string> lines{"", "\r", std::string("\0\0", 2), " ` ", "``", all_bytes,
                                   std::string(kMaxLine, 'L')};
    for (const auto& l : lines)
        ASSERT_TRUE(a.send(l + "\n"));
    for (const auto& l : lines)
        ASSERT_TRUE(b.line() == l) << "line of " << l.size() << " bytes changed";
    Conn c(port());
    EXPECT_EQ(c.join(""), "0") << "the empty name is a session of its own";
}

TEST_F(RelayTest, GoodbyeLeavesTheSessionUnforwarded) {
    Conn a(port()), b(port()), c(port());
    a.join("room");
    b.join("room");
    c.join("room");
    ASSERT_TRUE(a.send("last\n`\nnever\n"));
    EXPECT_TRUE(a.closed());
    EXPECT_EQ(b.line(), "last");
    ASSERT_TRUE(c.send("after\n"));
    EXPECT_EQ(b.line(), "after");
    Conn d(port());
    EXPECT_EQ(d.join("room"), "2");
}

TEST_F(RelayTest, OverlongLineDropsOnlyTheSender) {
    Conn a(port()), b(port()), c(port());
    a.join("room");
    b.join("room");
    c.join("room");
    ASSERT_TRUE(a.send(std::string(kMaxLine / 2, 'x')));
    a.send(std::string(kMaxLine, 'x')); // may fail once the relay hangs up
    EXPECT_TRUE(a.closed());
    ASSERT_TRUE(b.send("still here\n"));
    EXPECT_EQ(c.line(), "still here");

    Conn d(port());
    d.line();
    d.send(std::string(kMaxLine + 1, 'n'));
    EXPECT_TRUE(d.closed()) << "the bound applies to the first line too";
}

// Upper bound of the kernel's send buffer, which also holds data for a stalled reader.
long kernel_send_buffer_max() {
    long lo = 0, def = 0, max = 4 << 20;
    if (FILE* f = std::fopen("/proc/sys/net/ipv4/tcp_wmem", "r")) {
        if (std::fscanf(f, "%ld %ld %ld", &lo, &def, &max) != 3)
            max = 4 << 20;
        std::fclose(f);
    }
    return max;
}

TEST(RelayBounds, StalledReaderIsDroppedWhileOthersGetEverything) {
    // The stalled reader pauses the session until its limit drops it.
    RelayProcess relay({"--stall-timeout", "1"});
    ASSERT_GT(relay.port(), 0);
    const int port = relay.port();
    // Each of a and b alone sends more than the relay queue and the kernel may hold for the stalled one.
    const int kLines = static_cast<int>(std::max(16000L, (kernel_send_buffer_max() + (8L << 20)) / 1000 + 1000));
    constexpr int kWindow = 2000; // keep the live readers far below the queue bound
    Conn stalled(port, 4096), a(port), b(port);
    stalled.join("room");
    a.join("room");
    b.join("room");

    std::mutex m;
    std::condition_variable cv;
    std::atomic<int> got_a{0}, got_b{0}; // lines a and b received
    std::atomic<bool> failed{false};
    auto writer = [&](Conn& c, char who, std::atomic<int>& peer_got) {
        std::string chunk;
        for (int i = 0; i < kLines && !failed; ++i) {
            std::unique_lock<std::mutex> lock(m);
            if (!cv.wait_until(lock, Clock::now() + kWait, [&] { return i - peer_got < kWindow || failed; })) {
                failed = true;
                return;
            }
            lock.unlock();
            chunk += seq_line(who, i, 999) + "\n";
            if ((i % 16 == 15 || i + 1 == kLines) && !c.send(chunk))
                failed = true;
            if (i % 16 == 15)
                chunk.clear();
        }
    };
    auto reader = [&](Conn& c, char from, std::atomic<int>& got) {
        for (int i = 0; i < kLines && !failed; ++i) {
            if (c.line() != seq_line(from, i, 999)) {
                failed = true;
            } else {
                std::lock_guard<std::mutex> lock(m);
                ++got;
            }
            cv.notify_all();
        }
    };
    std::thread ta(writer, std::ref(a), 'a', std::ref(got_b));
    std::thread tb(writer, std::ref(b), 'b', std::ref(got_a));
    std::thread ra(reader, std::ref(a), 'b', std::ref(got_a));
    std::thread rb(reader, std::ref(b), 'a', std::ref(got_b));
    ta.join();
    tb.join();
    ra.join();
    rb.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(got_a, kLines);
    EXPECT_EQ(got_b, kLines);
    std::size_t stalled_lines = 0;
    EXPECT_TRUE(stalled.closed(&stalled_lines));
    EXPECT_LT(stalled_lines, 2u * kLines) << "the stalled reader should have been cut off";
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayBounds, FloodedSlowReaderGetsEverythingInOrderWithBoundedMemory) {
    RelayProcess relay({"--stats"});
    ASSERT_GT(relay.port(), 0);
    // Far more than the per-client bound of 8 MiB plus what the kernel buffers hold.
    const int kLines = static_cast<int>((kernel_send_buffer_max() * 2 + (24L << 20)) / 1000);
    Conn sender(relay.port()), reader(relay.port(), 4096);
    reader.read_size(100);
    sender.join("flood");
    reader.join("flood");
    std::atomic<bool> sent_all{false};
    std::thread flood([&] {
        std::string chunk;
        bool ok = true;
        for (int i = 0; i < kLines && ok; ++i) {
            chunk += seq_line('s', i, 999) + "\n";
            if (chunk.size() >= 64 * 1024 || i + 1 == kLines) {
                ok = sender.send(chunk);
                chunk.clear();
            }
        }
        sent_all = ok;
    });
    int got = 0;
    for (; got < kLines; ++got) {
        std::string l = reader.line();
        if (l != seq_line('s', got, 999)) {
            ADD_FAILURE() << "line " << got << ": " << l.substr(0, 40);
            break;
        }
    }
    flood.join();
    EXPECT_TRUE(sent_all);
    EXPECT_EQ(got, kLines);
    EXPECT_EQ(relay.stop(), 0);
    std::string stats = relay.errors();
    auto at = stats.find("peak_queue=");
    ASSERT_NE(at, std::string::npos) << stats;
    EXPECT_LT(std::stoull(stats.substr(at + 11)), 4ull << 20) << "the sender was not held back: " << stats;
}

TEST(RelayBounds, UnfinishedLineAndRepeatedAddressQueriesEndTheConnection) {
    RelayProcess relay({"--line-timeout", "1"});
    ASSERT_GT(relay.port(), 0);
    Conn a(relay.port()), b(relay.port()), slowpoke(relay.port());
    a.join("room");
    b.join("room");
    slowpoke.join("room");
    ASSERT_TRUE(slowpoke.send("never finished"));
    EXPECT_TRUE(slowpoke.closed());
    ASSERT_TRUE(a.send("complete\n"));
    EXPECT_EQ(b.line(), "complete") << "nothing of the unfinished line reaches the others";

    // A flood of queries from a client that does not read: one answer, then the end.
    Conn asker(relay.port(), 4096);
    std::string queries;
    for (int i = 0; i < 200000; ++i)
        queries += "IPADDRESS\n";
    asker.send(queries); // may stop short once the relay hangs up
    asker.line();
    EXPECT_EQ(asker.line(), "127.0.0.1");
    std::size_t more = 0;
    EXPECT_TRUE(asker.closed(&more));
    EXPECT_EQ(more, 0u);
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayHandshake, SilentClientTimesOutMembersDoNot) {
    RelayProcess relay({"--handshake-timeout", "1"});
    ASSERT_GT(relay.port(), 0);
    Conn a(relay.port()), b(relay.port());
    a.join("room");
    b.join("room");
    Conn silent(relay.port()), asked(relay.port());
    ASSERT_TRUE(silent.send("no newline yet"));
    asked.line();
    ASSERT_TRUE(asked.send("IPADDRESS\n"));
    EXPECT_TRUE(silent.closed());
    EXPECT_TRUE(asked.closed()) << "an address query alone does not make a member";
    // Both members were accepted before the silent client, so their limit passed too.
    ASSERT_TRUE(a.send("alive\n"));
    EXPECT_EQ(b.line(), "alive");
    EXPECT_EQ(relay.stop(), 0);
}

TEST_F(RelayTest, ThousandClientsComeAndGo) {
    constexpr int kClients = 1000;
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    ASSERT_GT(rl.rlim_cur, kClients + 100u) << "descriptor limit too low for this test";
    std::vector<std::unique_ptr<Conn>> crowd;
    for (int i = 0; i < kClients; ++i) {
        crowd.push_back(std::make_unique<Conn>(port()));
        ASSERT_EQ(crowd.back()->join("crowd" + std::to_string(i % 10)), std::to_string(i / 10));
    }
    for (int i = 0; i < kClients; ++i) {
        if (i % 3 == 0)
            ASSERT_TRUE(crowd[static_cast<std::size_t>(i)]->send("`\n"));
        else if (i % 3 == 1)
            crowd[static_cast<std::size_t>(i)]->reset();
        crowd[static_cast<std::size_t>(i)].reset();
    }
    Conn a(port()), b(port());
    a.join("after");
    b.join("after");
    ASSERT_TRUE(a.send("served\n"));
    EXPECT_EQ(b.line(), "served");
}

TEST_F(RelayTest, SurvivesGarbage) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        Conn g(port()), h(port());
        std::string junk(1 + rng() % 20000, '\0');
        for (auto& ch : junk)
            ch = static_cast<char>(rng() % 8 == 0 ? '\n' : rng() % 256);
        ASSERT_TRUE(g.send(junk));
        if (round % 2 == 0) {
            h.join(junk.substr(0, junk.find('\n')));
            h.send(junk);
        }
        if (round % 4 == 1) {
            g.half_close();
            EXPECT_TRUE(g.closed()) << "end of input ends the connection";
        } else {
            g.reset();
        }
    }
    Conn a(port()), b(port());
    a.join("after");
    b.join("after");
    ASSERT_TRUE(a.send("served\n"));
    EXPECT_EQ(b.line(), "served");
}

class RelaySignal : public ::testing::TestWithParam<int> {};

TEST_P(RelaySignal, ExitsWithStatusZero) {
    RelayProcess relay;
    ASSERT_GT(relay.port(), 0);
    Conn a(relay.port()), b(relay.port()), pending(relay.port());
    a.join("room");
    b.join("room");
    ASSERT_TRUE(a.send(std::string(100000, 'q') + "\n"));
    EXPECT_EQ(relay.stop(GetParam()), 0);
    EXPECT_TRUE(pending.closed());
}

INSTANTIATE_TEST_SUITE_P(Relay, RelaySignal, ::testing::Values(SIGTERM, SIGINT));

} // namespace
