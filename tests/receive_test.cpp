// The transport under hostile input, back-pressure and injected system-call faults.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <string>

#include "support/internals.h"
#include "conn/connection.h"

using test::next_token;
using test::read_n;
using test::write_all;

namespace {

using test::conn;

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
    EXPECT_GT(sent, size_t{kiv::net::kRecordBound});
    ASSERT_TRUE(test::wait_until([&] { return test::held(p.handle) >= kiv::net::kRecordBound; }));
    EXPECT_LE(test::held(p.handle), kiv::net::kRecordBound);
    // The rest waits in the socket; the library still answers at once.
    EXPECT_EQ(kiv_valid(p.handle), 1);
    EXPECT_EQ(kiv_token_receive(p.handle), 0);
    EXPECT_EQ(kiv_token_send(p.handle, "still here", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 11), "still here\n");
}

// A script that takes nothing while its peer floods: what the library keeps
// stays bounded (the rest waits in the sender's socket), and once the script
// drains, every record arrives exactly once and in order.
TEST(BackPressure, AFloodWaitsForTheScriptAndLosesNothing) {
    test::PlainPair p;
    constexpr int kTokens = 400000;
    std::atomic<bool> stop{false};
    test::Thread flood([&] {
        std::string batch;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int i = 0; i < kTokens && !stop;) {
            batch.clear();
            for (int k = 0; k < 1000 && i < kTokens; ++k, ++i) batch += std::to_string(i) + "................\n";
            size_t off = 0;
            while (off < batch.size() && !stop && std::chrono::steady_clock::now() < deadline) {
                pollfd pf{p.peer, POLLOUT, 0};
                if (poll(&pf, 1, 100) <= 0) continue;
                const ssize_t r = send(p.peer, batch.data() + off, batch.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (r > 0) off += static_cast<size_t>(r);
            }
        }
    });
    kiv::Connection& c = conn(p.handle);
    // The library stops reading at its bound: the queue fills to it and no
    // further, while the sender is held back by TCP.
    auto queued_bytes = [&] {
        kiv::net::Lock lk(c.mutex);
        return c.tokens.queue.bytes();
    };
    ASSERT_TRUE(test::wait_until([&] { return queued_bytes() >= kiv::tokens::kQueueBound; }, 30000));
    const size_t queued = c.tokens.queue.size();
    ASSERT_FALSE(test::wait_until([&] { return c.tokens.queue.size() > queued; }, 200));
    EXPECT_LT(queued_bytes(), kiv::tokens::kQueueBound + 4096);
    EXPECT_EQ(kiv_valid(p.handle), 1);
    int next = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (next < kTokens && std::chrono::steady_clock::now() < deadline) {
        if (kiv_token_receive(p.handle) != 1) {
            if (!test::wait_until([&] { return conn(p.handle).tokens.queue.size() > 0; }, 10000)) break;
            continue;
        }
        ASSERT_EQ(std::string(kiv_token_value(p.handle)), std::to_string(next) + "................");
        ++next;
    }
    stop = true;
    flood.join();
    EXPECT_EQ(next, kTokens);
    EXPECT_EQ(kiv_token_receive(p.handle), 0);
}

TEST(Hostile, NulBytesNeverWedgeAConnection) {
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, std::string("a\0b\nc\n", 6)));
    ASSERT_TRUE(test::wait_until([&] { return conn(p.handle).tokens.queue.size() == 2; }));
    EXPECT_EQ(conn(p.handle).tokens.queue.front()->text.length(), 3u);
    EXPECT_EQ(next_token(p.handle), "a");  // C strings end at the 0
    EXPECT_EQ(next_token(p.handle), "c");
}

TEST(Hostile, TypedGarbageThenAValidRecord) {
    test::Listener l;
    test::Thread server([&] {
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
struct Faults : test::CallsGuard {
    static std::atomic<bool> fail_recv;
    static std::atomic<int> send_cap;  // 0: no cap
    static std::atomic<bool> fail_wait;
    Faults() {
        fail_recv = false;
        send_cap = 0;
        fail_wait = false;
        calls.recv = [](kiv::platform::socket_t s, void* b, size_t n) {
            if (fail_recv) return kiv::platform::Io{kiv::platform::Status::error, 0};
            return kiv::platform::system_calls().recv(s, b, n);
        };
        calls.send = [](kiv::platform::socket_t s, const void* b, size_t n, bool more) {
            const size_t cap = static_cast<size_t>(send_cap.load());
            return kiv::platform::system_calls().send(s, b, cap && n > cap ? cap : n, more);
        };
        calls.wait = [](kiv::platform::Waker* w, kiv::platform::WaitItem* items, size_t n, int ms) {
            if (fail_wait) return -1;
            return kiv::platform::system_calls().wait(w, items, n, ms);
        };
    }
};
std::atomic<bool> Faults::fail_recv{false};
std::atomic<int> Faults::send_cap{0};
std::atomic<bool> Faults::fail_wait{false};

TEST(Faults, AFailedReadEndsTheConnectionAfterItsCompleteRecords) {
    Faults f;
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "ab"));
    ASSERT_TRUE(test::wait_until([&] { return test::held(p.handle) == 2; }));
    ASSERT_TRUE(write_all(p.peer, "c\nd"));
    ASSERT_TRUE(test::wait_until([&] { return conn(p.handle).tokens.queue.size() == 1; }));
    Faults::fail_recv = true;
    ASSERT_TRUE(write_all(p.peer, "\n"));
    // The failure ends the connection, but only once the script has taken
    // what was complete before it; the unfinished "d" goes with it.
    EXPECT_EQ(next_token(p.handle), "abc");
    EXPECT_TRUE(test::wait_until([&] { return kiv_valid(p.handle) == 0; }));
    EXPECT_TRUE(test::peer_closed(p.peer));
}

TEST(Faults, ShortSendsNeverSplitOrInterleaveRecords) {
    Faults f;
    test::PlainPair p;
    Faults::send_cap = 3;
    const std::string a(5000, 'a'), b(5000, 'b');
    test::Thread other([&] {
        for (int i = 0; i < 20; ++i) conn(p.handle).link->send((b + "\n").data(), b.size() + 1, true);
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

TEST(Faults, AWaitThatFailsEndsTheConnectionAndItsWaiters) {
    Faults f;
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "half"));
    ASSERT_TRUE(test::wait_until([&] { return test::held(p.handle) == 4; }));
    test::Thread waiter([&] { EXPECT_EQ(test::bounded_wait(kiv_token_wait, p.handle), 0); });
    Faults::fail_wait = true;
    ASSERT_TRUE(write_all(p.peer, "!"));  // wakes the worker into a failing wait
    EXPECT_TRUE(test::wait_until([&] { return !conn(p.handle).connected(); }));
    waiter.join();
    EXPECT_EQ(kiv_valid(p.handle), 0);
    Faults::fail_wait = false;
    EXPECT_TRUE(test::peer_closed(p.peer));
}

// A peer that stops reading: the script's sends are refused once the outbox
// is full, the connection stays, and every record accepted arrives whole.
TEST(BackPressure, SendsPastTheOutboxBoundAreRefusedNotLost) {
    test::PlainPair p;
    const std::string line(60000, 'q');
    int accepted = 0;
    while (accepted < 2000 && kiv_token_send(p.handle, line.c_str(), "", 0) == 1) ++accepted;
    EXPECT_LT(accepted, 2000);
    EXPECT_GE(static_cast<size_t>(accepted) * (line.size() + 1), kiv::net::kOutboxBound);
    EXPECT_EQ(kiv_valid(p.handle), 1);
    const std::string got = read_n(p.peer, static_cast<size_t>(accepted) * (line.size() + 1), 30000);
    ASSERT_EQ(got.size(), static_cast<size_t>(accepted) * (line.size() + 1));
    for (int i = 0; i < accepted; ++i) ASSERT_EQ(got.substr(i * (line.size() + 1), line.size() + 1), line + "\n");
    // Drained: sending works again.
    EXPECT_TRUE(test::wait_until([&] { return kiv_token_send(p.handle, "again", "", 0) == 1; }));
    EXPECT_EQ(read_n(p.peer, 6), "again\n");
}

}  // namespace
