// The transport's edges: records before a reset, departed players, two host threads, threads that cannot start.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "net/threads.h"
#include "support/internals.h"
#include "support/temp_dir.h"
#include "support/typed.h"

using test::next_token;
using test::write_all;
using typed::RawPlayer;
using typed::Server;

namespace {

// A peer that closes while data it never read waits on its side sends a
// reset; what it wrote before still reaches the script. The receiver's
// mutex is held meanwhile, so the reset is there before the first read.
TEST(Reset, RecordsSentJustBeforeAResetAreDelivered) {
    for (int kind : {1, 3}) {
        SCOPED_TRACE(kind);
        test::Listener l;
        int peer = -1;
        // A typed client waits for its number: the raw server greets it.
        test::Thread server([&] {
            peer = l.accept_one();
            if (kind == 3) write_all(peer, "T1\n");
        });
        const double handle = kiv_connect("127.0.0.1", l.port, kind);
        server.join();
        ASSERT_GT(handle, 0);
        kiv::Connection& c = *kiv::api::resolve(handle);
        ASSERT_EQ(kiv_token_send(handle, "unread", "", 0), 1);
        ASSERT_TRUE(test::wait_until([&] { return kiv::platform::bytes_ready(peer) > 0; }));
        {
            kiv::net::Lock lk(c.mutex);
            ASSERT_TRUE(write_all(peer, kind == 3 ? "Tgame over\n" : "game over\n"));
            test::reset_close(peer);
        }
        EXPECT_EQ(next_token(handle), "game over");
        EXPECT_TRUE(test::wait_until([&] { return kiv_valid(handle) == 0; }));
        kiv_disconnect(handle);
    }
}

TEST(Reset, APlayersLastTokenBeforeItsResetReachesTheOthers) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port);
    ASSERT_EQ(kiv_token_send(s.handle, "unread", "", 0), 1);
    ASSERT_EQ(p1.record(), "Tunread\n");
    ASSERT_EQ(kiv_token_send(s.handle, "unread", "", 0), 1);
    ASSERT_TRUE(test::wait_until([&] { return kiv::platform::bytes_ready(p1.fd) > 0; }));
    {
        kiv::net::Lock lk(s.conn().mutex);
        ASSERT_TRUE(p1.send("Tlast\n"));
        test::reset_close(p1.fd);
        p1.fd = -1;
    }
    EXPECT_EQ(p2.record(), "Tunread\n");
    EXPECT_EQ(p2.record(), "Tunread\n");
    EXPECT_EQ(p2.record(), "Tlast\n");
    EXPECT_TRUE(test::wait_until([&] { return s.departed(1); }));
}

// Peers that left keep nothing of the library's: a player's number stays
// taken but its socket and buffers go, also one that left in the middle of
// a record at the unfinished-record bound; a plain client whose peer left
// keeps no descriptor or thread while the script never disconnects it.
TEST(DepartedPlayers, LeaveNothingBehind) {
    Server s(0);
    const long before = kiv::net::Link::count();
    for (int i = 0; i < 60; ++i) {
        RawPlayer p(s.port);
        ASSERT_TRUE(p.send("T" + std::string(i < 4 ? kiv::net::kRecordBound + 4096 : 1u << 20, 'x')));
    }
    ASSERT_TRUE(test::wait_until([&] { return kiv::net::Link::count() == before; }, 20000));
    EXPECT_EQ(s.entries(), 60u);
    EXPECT_EQ(kiv_player_count(s.handle), 0);
    for (size_t n = 1; n <= 60; ++n) EXPECT_TRUE(s.departed(n));
    RawPlayer late(s.port);
    EXPECT_EQ(late.number, "61");

    const double server = kiv_listen(0, 1, 0);
    const size_t descriptors = test::open_descriptors();
    for (int i = 0; i < 50; ++i) {
        const int raw = test::connect_to(test::port_of_handle(server));
        double h = 0;
        ASSERT_TRUE(test::wait_until([&] { return kiv_valid(h = kiv_accept(server)) == 1; }));
        close(raw);
    }
    EXPECT_TRUE(test::wait_until([&] { return test::open_descriptors() <= descriptors; }));
}

// A host that waits on one thread while another disconnects the same
// handle: the wait ends with 0 and nothing is used after it was freed.
TEST(TwoThreads, DisconnectWhileAnotherThreadWaits) {
    Server s(0);
    for (int round = 0; round < 20; ++round) {
        // A token wait on a plain connection, a message wait on a typed one.
        const bool typed = round % 2;
        test::PlainPair p;
        const double h = typed ? kiv_connect("127.0.0.1", s.port, 3) : p.handle;
        ASSERT_GT(h, 0);
        std::atomic<bool> waiting{false};
        double result = -1;
        test::Thread waiter([&] {
            waiting = true;
            result = test::bounded_wait(typed ? kiv_message_wait : kiv_token_wait, h);
        });
        ASSERT_TRUE(test::wait_until([&] { return waiting.load(); }));
        if (round % 4 >= 2) std::this_thread::yield();
        EXPECT_EQ(kiv_disconnect(h), 1);
        waiter.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(kiv::api::resolve(h), nullptr);
    }
}

// Two host threads on one handle: one transfer of two starts, a transfer
// racing a disconnect, a second disconnect racing a connect that gets the
// freed number, and packed results. None may abort, hang, or close what
// another thread opened; each packs what it asked for.
TEST(TwoThreads, RacesOnOneHandle) {
    const test::TempDir dir;
    const std::string file = dir / "two_threads.bin";
    // Larger than the socket buffers: the peer never reads, so a transfer
    // stays running until teardown stops it.
    ASSERT_TRUE(test::write_file(file, std::string(8 << 20, 'x')));
    for (int round = 0; round < 40; ++round) {
        test::PlainPair p;
        double a = -1, b = -1;
        test::Thread other([&] { a = kiv_file_send(p.handle, file.c_str()); });
        b = kiv_file_send(p.handle, file.c_str());
        other.join();
        EXPECT_EQ(a + b, 1) << round;  // exactly one transfer starts
        test::Thread closer([&] { a = kiv_disconnect(p.handle); });
        b = kiv_file_send(p.handle, file.c_str());  // 0, or a transfer that teardown stops
        closer.join();
        EXPECT_EQ(a, 1);
    }
    // One disconnect lingers on a full outbox while a second one of the same
    // handle frees the number and this thread gets it for a new connection:
    // the lingering one must leave that connection alone when it ends.
    for (int round = 0; round < 10; ++round) {
        test::PlainPair p;
        const std::string big(1 << 20, 'b');
        for (int i = 0; i < 1000 && kiv_token_send(p.handle, big.c_str(), "", 0) == 1; ++i) {
        }
        test::Thread lingering([&] { kiv_disconnect(p.handle); });
        ASSERT_TRUE(test::wait_until([&] { return kiv_valid(p.handle) == 0; }));
        kiv_disconnect(p.handle);
        test::Listener l;
        const double mine = kiv_connect("127.0.0.1", l.port, 1);
        lingering.join();
        ASSERT_EQ(mine, p.handle);
        EXPECT_EQ(kiv_valid(mine), 1) << round;
        kiv_disconnect(mine);
    }
    std::atomic<int> wrong{0};
    auto pack = [&](int base) {
        for (int i = 0; i < 20000; ++i) {
            const int v = base + i % 1000;
            if (unpack_big(pack_big(v), 0) != v) ++wrong;
        }
    };
    test::Thread packer([&] { pack(1000); });
    pack(500000);
    packer.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A server script that takes nothing never holds its room up: its own queue
// stops at the bound and drops (counted) while the players are served.
TEST(BackPressure, AServerScriptThatTakesNothingDoesNotStallTheRoom) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port);
    constexpr int kTokens = 120000;
    const std::string pad(80, '.');
    test::Thread flood([&] {
        std::string batch;
        for (int i = 0; i < kTokens;) {
            batch.clear();
            for (int k = 0; k < 1000; ++k, ++i) batch += "T" + std::to_string(i) + pad + "\n";
            if (!p1.send(batch)) return;
        }
    });
    for (int i = 0; i < kTokens; ++i) ASSERT_EQ(p2.record(), "T" + std::to_string(i) + pad + "\n");
    flood.join();
    kiv::Connection& server = s.conn();
    ASSERT_TRUE(test::wait_until([&] { return server.tokens.dropped.load() > 0; }));
    {
        kiv::net::Lock lk(server.mutex);
        EXPECT_LE(server.tokens.queue.bytes(), kiv::tokens::kQueueBound + 4096);
        EXPECT_EQ(server.tokens.queue.size() + server.tokens.dropped.load(), static_cast<uint64_t>(kTokens));
    }
    // The oldest ones are kept, in order.
    EXPECT_EQ(next_token(s.handle), "0" + pad);
    EXPECT_EQ(next_token(s.handle), "1" + pad);
}

// A system out of threads makes the call fail; nothing throws out of it.
TEST(NoThreads, CallsThatNeedAThreadFail) {
    test::Listener l;
    kiv::net::fail_thread_starts(1);
    EXPECT_EQ(kiv_connect("127.0.0.1", l.port, 1), 0);
    kiv::net::fail_thread_starts(1);
    EXPECT_EQ(kiv_listen(0, 3, 0), 0);
    kiv::net::fail_thread_starts(0);
    EXPECT_EQ(kiv::api::table_count(), 0u);

    test::PlainPair p;
    ASSERT_GT(p.handle, 0);
    kiv::net::fail_thread_starts(1);
    EXPECT_EQ(kiv_file_send(p.handle, "/proc/self/exe"), 0);
    kiv::net::fail_thread_starts(0);
    // The connection is as it was.
    EXPECT_EQ(kiv_token_send(p.handle, "ok", "", 0), 1);
    EXPECT_EQ(test::read_n(p.peer, 3), "ok\n");
}

}  // namespace
