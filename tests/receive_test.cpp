// The receive step under hostile input and injected system-call faults.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "net/connection.h"
#include "support.h"

using test::next_token;
using test::read_n;
using test::write_all;

namespace {

kiv::Connection& conn(double h) { return *kiv::frame::resolve(h); }

// Writes up to `bytes` from a non-blocking socket until the peer stops
// taking them (or the bound is reached); returns how many went out.
size_t push_until_full(int fd, const std::string& bytes) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sent < bytes.size() && std::chrono::steady_clock::now() < deadline) {
        ssize_t r = send(fd, bytes.data() + sent, std::min<size_t>(65536, bytes.size() - sent), MSG_NOSIGNAL);
        if (r > 0) {
            sent += static_cast<size_t>(r);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 200) <= 0) break;  // the reader stopped taking bytes
    }
    return sent;
}

TEST(Hostile, EndlessLineIsBoundedAndTheConnectionStaysResponsive) {
    test::PlainPair p;
    const size_t sent = push_until_full(p.peer, std::string(10u << 20, 'z'));
    EXPECT_GT(sent, size_t{kiv::kRecordBound});
    ASSERT_TRUE(test::wait_until([&] { return conn(p.handle).rx_pending.load() >= kiv::kRecordBound; }));
    EXPECT_LE(conn(p.handle).rx_pending.load(), kiv::kRecordBound);
    // The rest waits in the socket; the library still answers at once.
    EXPECT_EQ(kiv_valid(p.handle), 1);
    EXPECT_EQ(kiv_token_receive(p.handle), 0);
    EXPECT_EQ(kiv_token_send(p.handle, "still here", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 11), "still here\n");
}

TEST(Hostile, OneMillionTinyTokensCostLittle) {
    test::PlainPair p;
    std::string flood;
    for (int i = 0; i < 1000000; ++i) flood += "x\n";
    EXPECT_GT(push_until_full(p.peer, flood), 0u);
    // One record per step: the rest waits in the socket, not in memory.
    EXPECT_EQ(next_token(p.handle), "x");
    EXPECT_EQ(next_token(p.handle), "x");
    EXPECT_LT(conn(p.handle).rx_pending.load(), 128u * 1024);
    EXPECT_LT(conn(p.handle).tokens.size(), 1000u);
    EXPECT_EQ(kiv_valid(p.handle), 1);
    EXPECT_EQ(kiv_token_send(p.handle, "ok", "", 0), 1);
}

TEST(Hostile, NulBytesNeverWedgeAConnection) {
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, std::string("a\0b\nc\n", 6)));
    ASSERT_TRUE(test::wait_until([&] { return conn(p.handle).tokens.size() == 2; }));
    EXPECT_EQ(conn(p.handle).tokens.front()->text.length(), 3u);
    EXPECT_EQ(next_token(p.handle), "a");  // C strings end at the 0
    EXPECT_EQ(next_token(p.handle), "c");
}

TEST(Hostile, TypedGarbageThenAValidRecord) {
    test::Listener l;
    std::thread server([&] {
        int a = l.accept_one();
        write_all(a, "T7\n");
        std::string junk;
        uint32_t x = 12345;
        for (int i = 0; i < 40000; ++i) {
            x = x * 1103515245u + 12345u;
            junk += static_cast<char>(x >> 24);
        }
        // Short typed records of every kind, then noise, then a clean token.
        write_all(a, std::string("M\nM\x02\nD\nD\x02\nD\x02I\x02\n", 16) + junk + "\nTok\n");
        test::read_quiet(a, 500);
        close(a);
    });
    const double h = kiv_connect("127.0.0.1", l.port, 3);
    ASSERT_EQ(h, 1);
    std::string last;
    ASSERT_TRUE(test::wait_until([&] {
        while (kiv_token_receive(h) == 1) last = kiv_token_value(h);
        return last == "ok";
    }, 20000));
    while (kiv_message_receive(h) == 1) {
    }
    EXPECT_EQ(kiv_valid(h), 1);
    server.join();
}

// Fault injection through the platform table. Overrides are installed
// before any thread starts and switched on through atomics.
struct Faults {
    static std::atomic<bool> fail_recv;
    static std::atomic<int> send_cap;  // 0: no cap
    static std::atomic<bool> probe_dead;
    kiv::platform::Calls saved = kiv::platform::calls;
    Faults() {
        fail_recv = false;
        send_cap = 0;
        probe_dead = false;
        kiv::platform::calls.recv = [](kiv::platform::socket_t s, void* b, size_t n, bool peek) {
            if (fail_recv) return kiv::platform::Io{kiv::platform::Status::error, 0};
            return kiv::platform::system_calls().recv(s, b, n, peek);
        };
        kiv::platform::calls.send = [](kiv::platform::socket_t s, const void* b, size_t n, bool more) {
            const size_t cap = static_cast<size_t>(send_cap.load());
            return kiv::platform::system_calls().send(s, b, cap && n > cap ? cap : n, more);
        };
        kiv::platform::calls.probe = [](kiv::platform::socket_t s) {
            if (probe_dead) return kiv::platform::Probe::dead;
            return kiv::platform::system_calls().probe(s);
        };
    }
    ~Faults() {
        kiv::frame::clear_table();  // joins every thread before the table is restored
        kiv::platform::calls = saved;
    }
};
std::atomic<bool> Faults::fail_recv{false};
std::atomic<int> Faults::send_cap{0};
std::atomic<bool> Faults::probe_dead{false};

TEST(Faults, FailingRecvMidRecordLosesNothing) {
    Faults f;
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "ab"));
    ASSERT_TRUE(test::wait_until([&] { return conn(p.handle).rx_pending.load() == 2; }));
    Faults::fail_recv = true;
    ASSERT_TRUE(write_all(p.peer, "c\nd"));
    // Failed reads take nothing; the bytes wait in the socket.
    EXPECT_FALSE(test::wait_until([&] { return conn(p.handle).tokens.size() > 0; }, 50));
    Faults::fail_recv = false;
    ASSERT_TRUE(write_all(p.peer, "\n"));
    EXPECT_EQ(next_token(p.handle), "abc");
    EXPECT_EQ(next_token(p.handle), "d");
}

TEST(Faults, ShortSendsNeverSplitOrInterleaveRecords) {
    Faults f;
    test::PlainPair p;
    Faults::send_cap = 3;
    const std::string a(5000, 'a'), b(5000, 'b');
    std::thread other([&] {
        for (int i = 0; i < 20; ++i) kiv::send_record(conn(p.handle), (b + "\n").data(), b.size() + 1);
    });
    for (int i = 0; i < 20; ++i) EXPECT_EQ(kiv_token_send(p.handle, a.c_str(), "", 0), 1);
    other.join();
    const std::string got = read_n(p.peer, 40 * 5001, 20000);
    ASSERT_EQ(got.size(), 40u * 5001u);
    for (size_t i = 0; i < 40; ++i) {
        const std::string rec = got.substr(i * 5001, 5001);
        EXPECT_TRUE(rec == a + "\n" || rec == b + "\n") << "record " << i << " mixed";
    }
}

TEST(Faults, ProbeReportingDeadWhileARecordIsHalfRead) {
    Faults f;
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "half"));
    ASSERT_TRUE(test::wait_until([&] { return conn(p.handle).rx_pending.load() == 4; }));
    std::thread waiter([&] { EXPECT_EQ(kiv_token_wait(p.handle), 0); });
    Faults::probe_dead = true;
    EXPECT_TRUE(test::wait_until([&] { return !conn(p.handle).connected(); }));
    waiter.join();
    EXPECT_EQ(kiv_valid(p.handle), 0);
    EXPECT_TRUE(test::peer_closed(p.peer));
}

TEST(Faults, PeerThatStopsReadingIsDroppedNotWaitedFor) {
    test::PlainPair p;
    int small = 4096;
    setsockopt(p.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string line(60000, 'q');
    // Never blocks: past the outbox bound the peer is taken for dead.
    for (int i = 0; i < 400 && kiv_valid(p.handle) == 1; ++i) kiv_token_send(p.handle, line.c_str(), "", 0);
    EXPECT_TRUE(test::wait_until([&] { return kiv_valid(p.handle) == 0; }));
}

}  // namespace
