// The player server: admission, numbering, relaying, pass order and misbehaving players.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <set>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/typed.h"

using typed::bytes;
using typed::RawPlayer;
using typed::Server;

namespace {

std::shared_ptr<kiv::Connection> entry(const Server& s, size_t n) { return s.entry(n); }

bool entry_dead(const Server& s, size_t n) { return s.departed(n); }

TEST(PlayerServer, NumbersLimitAndRefusal) {
    Server s(2);
    ASSERT_GT(s.handle, 0);
    EXPECT_EQ(kiv_player_id(s.handle), 0);
    RawPlayer p1(s.port), p2(s.port);
    EXPECT_EQ(p1.number, "1");
    EXPECT_EQ(p2.number, "2");
    EXPECT_EQ(kiv_player_count(s.handle), 2);
    // Full: the empty token, then the socket closes; the players stay.
    RawPlayer p3(s.port, false);
    EXPECT_EQ(p3.record(), "T\n");
    EXPECT_TRUE(p3.closed());
    EXPECT_EQ(s.entries(), 2u);
    ASSERT_TRUE(kiv_token_send(s.handle, "still", "", 0));
    EXPECT_EQ(p1.record(), "Tstill\n");
    EXPECT_EQ(p2.record(), "Tstill\n");

    // A departed player makes room; its number is never given again.
    test::close_socket(p1.fd);
    p1.fd = -1;
    ASSERT_TRUE(test::wait_until([&] { return entry_dead(s, 1); }));
    EXPECT_EQ(kiv_player_count(s.handle), 1);
    EXPECT_STREQ(kiv_ipaddress(s.handle, 1), "");
    EXPECT_STREQ(kiv_ipaddress(s.handle, 2), "127.0.0.1");
    EXPECT_STREQ(kiv_ipaddress(s.handle, 3), "");
    RawPlayer p4(s.port);
    EXPECT_EQ(p4.number, "3");
    RawPlayer p5(s.port, false);
    EXPECT_EQ(p5.record(), "T\n");
    EXPECT_EQ(s.entries(), 3u);
}

TEST(PlayerServer, LimitAndModeConversions) {
    const double limits[] = {0, -7, 6000, NAN, 4294967296.0 + 5000.0 + 1};
    for (double limit : limits) {
        Server s(limit);
        ASSERT_GT(s.handle, 0) << limit;
        EXPECT_EQ(s.conn().max_players, 5000u) << limit;
    }
    EXPECT_EQ(Server(1).conn().max_players, 1u);
    EXPECT_EQ(Server(5000).conn().max_players, 5000u);
    EXPECT_EQ(Server(4294967296.0 + 7).conn().max_players, 7u);  // the low 32 bits
    EXPECT_EQ(Server(7.9).conn().max_players, 7u);

    for (double mode : {259.0, 3.9}) {
        const double h = kiv_listen(0, mode, 1);
        ASSERT_GT(h, 0) << mode;
        RawPlayer p(test::port_of_handle(h));
        EXPECT_EQ(p.number, "1") << mode;
    }
    EXPECT_EQ(kiv_listen(0, 2, 1), 0);
    EXPECT_EQ(kiv_listen(0, 4, 1), 0);
}

TEST(TypedClient, HandshakeAndPlayerId) {
    {
        typed::TypedPair c("T3\n");
        ASSERT_GT(c.handle, 0);
        EXPECT_EQ(kiv_player_id(c.handle), 3);
        EXPECT_EQ(kiv_valid(c.handle), 1);
    }
    {
        // Records after the number are ordinary traffic, even in the same segment.
        typed::TypedPair c("T12\nTnext\n");
        ASSERT_GT(c.handle, 0);
        EXPECT_EQ(kiv_player_id(c.handle), 12);
        EXPECT_EQ(test::next_token(c.handle), "next");
    }
    const uint32_t before = kiv::api::table_count();
    {
        typed::TypedPair full("T\n");
        EXPECT_EQ(full.handle, 0);
    }
    EXPECT_EQ(kiv::api::table_count(), before);
    test::PlainPair plain;
    EXPECT_EQ(kiv_player_id(plain.handle), 0);
}

TEST(TypedClient, TalksToAPlayerServerInTheSameProcess) {
    Server s(0);
    const double c1 = kiv_connect("127.0.0.1", s.port, 3);
    const double c2 = kiv_connect("localhost", s.port, 3);
    ASSERT_GT(c1, 0);
    ASSERT_GT(c2, 0);
    EXPECT_EQ(kiv_player_id(c1), 1);
    EXPECT_EQ(kiv_player_id(c2), 2);
    ASSERT_EQ(kiv_token_send(c1, "from one", "", 0), 1);
    EXPECT_EQ(test::next_token(c2), "from one");
    EXPECT_EQ(test::next_token(s.handle), "from one");
    ASSERT_EQ(kiv_message_send(c2, 9, 1, "to one"), 1);
    EXPECT_EQ(typed::next_message(c1), "to one|9|2");
    ASSERT_EQ(kiv_data_set_int(c1, 17, 4242), 1);
    EXPECT_TRUE(test::wait_until([&] { return kiv_data_get_int(c2, 17) == 4242; }));
    EXPECT_TRUE(test::wait_until([&] { return kiv_data_get_int(s.handle, 17) == 4242; }));
    EXPECT_EQ(kiv_token_receive(c1), 0);  // its own token did not come back
}

TEST(PlayerServer, LateJoinerReadsWhatLivePlayersRead) {
    Server s(0);
    RawPlayer sender(s.port), live(s.port);
    ASSERT_EQ(kiv_data_set_int(s.handle, 2, 7), 1);
    ASSERT_EQ(kiv_data_set_int(s.handle, 4, 0), 1);
    ASSERT_EQ(kiv_data_set_str(s.handle, 6, "x"), 1);
    ASSERT_EQ(kiv_data_set_str(s.handle, 9, ""), 1);     // a string, if empty
    ASSERT_EQ(kiv_data_set_int(s.handle, 11, 1000), 1);  // an integer, then text
    ASSERT_EQ(kiv_data_set_str(s.handle, 11, "t"), 1);
    ASSERT_EQ(kiv_data_set_str(s.handle, 12, "u"), 1);  // text, then the integer 0
    ASSERT_EQ(kiv_data_set_int(s.handle, 12, 0), 1);
    ASSERT_EQ(kiv_data_set_int(s.handle, 13, -1), 1);  // the server keeps -1
    // A player's -1 arrives as -251 and is passed on with the digits it came
    // with; one whose digits hold a 0 byte is neither stored nor passed on.
    const std::string minus_one = bytes({0x44, 0x10, 0x49, 0x02, 0x01, 0x01, 0x0A});
    ASSERT_TRUE(sender.send(bytes({0x44, 0x11, 0x49, 0x02, 0x00, 0x01, 0x0A}) + minus_one));
    ASSERT_TRUE(test::wait_until([&] { return kiv_data_get_int(s.handle, 14) == -251; }));
    EXPECT_EQ(kiv_data_get_int(s.handle, 13), -1);
    EXPECT_EQ(kiv_data_get_int(s.handle, 15), 0);
    std::string seen_13, seen_14;  // the integer records a live player got
    for (int i = 0; i < 10; ++i) {
        const std::string r = live.record();
        if (r.compare(0, 3, bytes({0x44, 0x0F, 0x49})) == 0) seen_13 = r;
        if (r.compare(0, 3, bytes({0x44, 0x10, 0x49})) == 0) seen_14 = r;
    }
    EXPECT_EQ(seen_14, minus_one);
    EXPECT_EQ(live.quiet(), "");

    // Every slot that differs from an empty one, in slot order; of a slot
    // holding both values, the one of its current type comes last.
    RawPlayer late(s.port);
    EXPECT_EQ(late.number, "3");
    EXPECT_EQ(late.record(), bytes({0x44, 0x04, 0x49, 0x02, 0x02, 0x09, 0x0A}));
    EXPECT_EQ(late.record(), bytes({0x44, 0x08, 0x53, 'x', 0x0A}));
    EXPECT_EQ(late.record(), bytes({0x44, 0x0B, 0x53, 0x0A}));
    EXPECT_EQ(late.record(), bytes({0x44, 0x0D, 0x49, 0x02, 0x06, 0x02, 0x0A}));
    EXPECT_EQ(late.record(), bytes({0x44, 0x0D, 0x53, 't', 0x0A}));
    EXPECT_EQ(late.record(), bytes({0x44, 0x0E, 0x53, 'u', 0x0A}));
    EXPECT_EQ(late.record(), bytes({0x44, 0x0E, 0x49, 0x02, 0x02, 0x02, 0x0A}));
    EXPECT_EQ(late.record(), seen_13);
    EXPECT_EQ(late.record(), seen_14);
    EXPECT_EQ(late.quiet(), "");
}

TEST(PlayerServer, TokensGoToTheServerAndEveryOtherPlayer) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port), p3(s.port);
    ASSERT_TRUE(p2.send("Thello\n"));
    EXPECT_EQ(p1.record(), "Thello\n");
    EXPECT_EQ(p3.record(), "Thello\n");
    EXPECT_EQ(test::next_token(s.handle), "hello");
    // An empty token travels; one holding a 0 byte passes on up to it, as a
    // kiv sender's would.
    ASSERT_TRUE(p3.send(std::string("T\nTa\0b\n", 7)));
    EXPECT_EQ(p1.record(), "T\n");
    EXPECT_EQ(p1.record(), "Ta\n");
    EXPECT_EQ(p2.record(), "T\n");
    EXPECT_EQ(p2.record(), "Ta\n");
    EXPECT_EQ(test::next_token(s.handle), "");
    EXPECT_EQ(test::next_token(s.handle), "a");
    // The server's own token reaches every player, the sender never sees its own.
    ASSERT_EQ(kiv_token_send(s.handle, "all", "", 0), 1);
    EXPECT_EQ(p1.record(), "Tall\n");
    EXPECT_EQ(p2.record(), "Tall\n");
    EXPECT_EQ(p3.record(), "Tall\n");
    EXPECT_EQ(p2.quiet(), "");
    EXPECT_EQ(p3.quiet(), "");
    EXPECT_EQ(kiv_token_receive(s.handle), 0);
}

// Holds the server's pass while `write` runs, until every player in
// `players` has bytes waiting, so that the next pass sees them all at once.
template <typename F>
void in_one_pass(const Server& s, std::initializer_list<size_t> players, F write) {
    kiv::net::Lock lk(s.conn().mutex);
    write();
    for (size_t n : players) {
        ASSERT_TRUE(test::wait_until(
            [&] { return kiv::platform::bytes_ready(entry(s, n)->link->socket()) > 0; }));
    }
}

TEST(PlayerServer, OnePassGoesByPlayerNumberThenRecordKind) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port), p3(s.port);
    // Player 2 writes first, but player 1 is serviced first in the pass.
    in_one_pass(s, {1, 2}, [&] {
        p2.send("Tb\n");
        p1.send("Ta\n");
    });
    EXPECT_EQ(p3.record(), "Ta\n");
    EXPECT_EQ(p3.record(), "Tb\n");
    EXPECT_EQ(test::next_token(s.handle), "a");
    EXPECT_EQ(test::next_token(s.handle), "b");

    // For one player: its tokens, then its messages, then its data changes,
    // whatever order they came in.
    const std::string d = bytes({0x44, 0x05, 0x49, 0x02, 0x06, 0x02, 0x0A});
    const std::string m = bytes({0x4D, 0x07, 0x02, 0x01, 0x6D, 0x0A});
    in_one_pass(s, {1}, [&] { p1.send(d + m + "Tt\n"); });
    EXPECT_EQ(p3.record(), "Tt\n");
    EXPECT_EQ(p3.record(), bytes({0x4D, 0x07, 0x02, 0x03, 0x6D, 0x0A}));
    EXPECT_EQ(p3.record(), d);
    // And in that order it simply stays.
    ASSERT_TRUE(p1.send("Tu\n" + m + d));
    EXPECT_EQ(p3.record(), "Tu\n");
    EXPECT_EQ(p3.record(), bytes({0x4D, 0x07, 0x02, 0x03, 0x6D, 0x0A}));
    EXPECT_EQ(p3.record(), d);
    EXPECT_EQ(p2.record(), "Ta\n");
    EXPECT_EQ(p2.record(), "Tt\n");
}

TEST(PlayerServer, DisconnectClosesEveryPlayer) {
    {
        Server s(0);
        RawPlayer p1(s.port), p2(s.port);
        EXPECT_EQ(kiv_disconnect(s.handle), 1);
        EXPECT_TRUE(p1.closed());
        EXPECT_TRUE(p2.closed());
    }
    {
        // Through the current-connection handle the entry stays, the players go.
        Server s(0);
        RawPlayer p1(s.port);
        EXPECT_EQ(kiv_disconnect(0), 1);
        EXPECT_TRUE(p1.closed());
    }
}

// ---- Players that misbehave ----

TEST(PlayerServerFaults, FloodingPlayerDoesNotStarveOthers) {
    Server s(0);
    RawPlayer flooder(s.port), p2(s.port), p3(s.port);
    std::atomic<bool> done{false};
    test::Thread flood([&] {
        // Records of an unknown kind, dropped by the server, as fast as the
        // socket takes them, for a bounded time.
        const std::string junk = "X" + std::string(4000, 'j') + "\n";
        std::string block;
        for (int i = 0; i < 16; ++i) block += junk;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!done && std::chrono::steady_clock::now() < deadline) {
            if (test::send_some(flooder.fd, block) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    constexpr int kTokens = 300;
    std::string burst2, burst3;
    for (int i = 0; i < kTokens; ++i) {
        burst2 += "Ta" + std::to_string(i) + "\n";
        burst3 += "Tb" + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(p2.send(burst2));
    ASSERT_TRUE(p3.send(burst3));
    for (int i = 0; i < kTokens; ++i) {
        ASSERT_EQ(p3.record(), "Ta" + std::to_string(i) + "\n");
        ASSERT_EQ(p2.record(), "Tb" + std::to_string(i) + "\n");
    }
    // The script is still served while the flood goes on.
    EXPECT_EQ(kiv_message_send(s.handle, 1, -1, "ping"), 1);
    EXPECT_EQ(p2.record(), bytes({0x4D, 0x03, 0x02, 0x02, 'p', 'i', 'n', 'g', 0x0A}));
    ASSERT_TRUE(test::wait_until([&] { return s.conn().tokens.queue.size() == 2 * kTokens; }));
    done = true;
    flood.join();
    EXPECT_FALSE(entry_dead(s, 1));
}

// One player floods as fast as loopback allows while another reads: the
// reader gets every record once and in order and stays; what waits for it
// on the server stays near the high-water mark, because the pass stops
// reading the flooder instead.

TEST(PlayerServerFaults, AFlooderIsSlowedNotItsReader) {
    Server s(0);
    // A small receive window makes the reader slower than the flood.
    RawPlayer flooder(s.port), reader(s.port, true, 16384);
    constexpr int kTokens = 20000;
    const std::string pad(1000, 'f');
    test::Thread flood([&] {
        std::string block;
        for (int i = 0; i < kTokens; ++i) {
            block += "T" + std::to_string(i) + pad + "\n";
            if (block.size() > 64 * 1024 || i + 1 == kTokens) {
                if (!flooder.send(block)) return;
                block.clear();
            }
        }
    });
    std::atomic<size_t> most_waiting{0};
    std::atomic<bool> reading{true};
    test::Thread watcher([&] {
        auto p = entry(s, 2);
        while (reading && p) {
            most_waiting = std::max(most_waiting.load(), p->link->outbox_bytes());
            std::this_thread::yield();
        }
    });
    int in_order = 0;
    for (; in_order < kTokens; ++in_order) {
        // The reader pauses until more than the high-water mark waits for it.
        if (in_order == 1000) {
            EXPECT_TRUE(test::wait_until([&] { return most_waiting > (1u << 20); }, 30000));
        }
        if (reader.record(20000) != "T" + std::to_string(in_order) + pad + "\n") break;
    }
    reading = false;
    watcher.join();
    flood.join();
    EXPECT_EQ(in_order, kTokens);
    EXPECT_EQ(reader.quiet(), "");
    EXPECT_FALSE(entry_dead(s, 2));
    EXPECT_LT(most_waiting.load(), 2u << 20);
}

TEST(PlayerServerFaults, OnePassTakesOnlyAShareOfABurst) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port), p3(s.port);
    constexpr int kBurst = 2000;
    std::string burst;
    for (int i = 0; i < kBurst; ++i) burst += "Tf" + std::to_string(i) + "\n";
    // Both arrive before one pass: player 2's token must not wait behind the
    // whole burst, and the rest of the burst still follows in order.
    {
        kiv::net::Lock lk(s.conn().mutex);
        ASSERT_TRUE(p1.send(burst));
        ASSERT_TRUE(p2.send("Tother\n"));
        ASSERT_TRUE(test::wait_until([&] {
            return kiv::platform::bytes_ready(entry(s, 1)->link->socket()) == burst.size() &&
                   kiv::platform::bytes_ready(entry(s, 2)->link->socket()) == 7;
        }));
    }
    int before_other = -1;
    for (int i = 0; i < kBurst;) {
        const std::string r = p3.record();
        if (r == "Tother\n" && before_other < 0) {
            before_other = i;
            continue;
        }
        ASSERT_EQ(r, "Tf" + std::to_string(i) + "\n");
        ++i;
    }
    EXPECT_GT(before_other, 0);
    EXPECT_LT(before_other, kBurst);
    EXPECT_EQ(p3.quiet(), "");
}

TEST(PlayerServerFaults, PlayerThatNeverReadsHoldsTheRoomOnlyUntilItIsDropped) {
    // The room waits for a reader that fell behind, then drops one that
    // takes nothing: shortened here from its 30 s.
    const auto saved = kiv::pass_limits;
    kiv::pass_limits.stall = std::chrono::milliseconds(300);
    struct Restore {
        kiv::PassLimits saved;
        ~Restore() { kiv::pass_limits = saved; }
    } restore{saved};
    Server s(0);
    // Small receive window: what the server sends it piles up in the outbox.
    RawPlayer stuck(s.port, true, 4096);
    RawPlayer p2(s.port), p3(s.port);
    ASSERT_EQ(stuck.number, "1");
    constexpr int kTokens = 10000;
    const std::string pad(1000, 'p');
    auto burst = [&](char tag) {
        std::string b;
        for (int i = 0; i < kTokens; ++i) b += "T" + std::string(1, tag) + std::to_string(i) + pad + "\n";
        return b;
    };
    test::Thread w2([&] { p2.send(burst('a')); });
    test::Thread w3([&] { p3.send(burst('b')); });
    int in_order2 = 0, in_order3 = 0;
    test::Thread r2([&] {
        for (int i = 0; i < kTokens; ++i) {
            if (p2.record() != "Tb" + std::to_string(i) + pad + "\n") break;
            ++in_order2;
        }
    });
    for (int i = 0; i < kTokens; ++i) {
        if (p3.record() != "Ta" + std::to_string(i) + pad + "\n") break;
        ++in_order3;
    }
    r2.join();
    w2.join();
    w3.join();
    EXPECT_EQ(in_order2, kTokens);
    EXPECT_EQ(in_order3, kTokens);
    // It took nothing for the stall limit: it was taken for dead.
    EXPECT_TRUE(test::wait_until([&] { return entry_dead(s, 1); }));
    EXPECT_EQ(kiv_token_send(s.handle, "after", "", 0), 1);
    EXPECT_EQ(p2.record(), "Tafter\n");
}

TEST(PlayerServerFaults, PlayerVanishingMidRecordLeavesNoTrace) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port), p3(s.port);
    ASSERT_TRUE(p1.send("Tpart"));
    ASSERT_TRUE(p2.send(bytes({0x4D, 0x07, 0x02, 0x01, 'h'})));
    ASSERT_TRUE(test::wait_until([&] {
        auto p = entry(s, 2);
        kiv::net::Lock lk(p->mutex);
        return p->link->held() == 5;
    }));
    test::close_socket(p1.fd);
    p1.fd = -1;
    test::reset_close(p2.fd);
    p2.fd = -1;
    ASSERT_TRUE(test::wait_until([&] { return entry_dead(s, 1) && entry_dead(s, 2); }));
    ASSERT_TRUE(p3.send("Tlive\n"));
    EXPECT_EQ(test::next_token(s.handle), "live");
    EXPECT_EQ(kiv_token_receive(s.handle), 0);
    EXPECT_EQ(kiv_message_receive(s.handle), 0);
    EXPECT_EQ(p3.quiet(), "");
    RawPlayer p4(s.port);
    EXPECT_EQ(p4.number, "4");
    ASSERT_TRUE(p4.send("Tnew\n"));
    EXPECT_EQ(p3.record(), "Tnew\n");
}

#ifndef _WIN32  // connects in progress on non-blocking POSIX sockets
TEST(PlayerServerFaults, ManyClientsAtOnceBeyondTheLimit) {
    Server s(100);
    constexpr int kClients = 200;
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa = test::loopback(s.port);
        connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);  // in progress
        fds.push_back(fd);
    }
    // Each client gets one first record: a number, or the empty token and a close.
    std::set<std::string> numbers;
    int refused = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<std::string> got(kClients);
    std::vector<bool> finished(kClients, false);
    int open = kClients;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> ps;
        for (int i = 0; i < kClients; ++i) {
            if (!finished[i]) ps.push_back(pollfd{fds[i], POLLIN, 0});
        }
        poll(ps.data(), ps.size(), 100);
        for (int i = 0; i < kClients; ++i) {
            if (finished[i]) continue;
            char buf[64];
            ssize_t r = recv(fds[i], buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0) got[i].append(buf, static_cast<size_t>(r));
            const bool closed = r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN);
            // A number is complete at its newline; a refusal once closed.
            if ((got[i] != "T\n" && got[i].find('\n') != std::string::npos) || closed) {
                finished[i] = true;
                --open;
            }
        }
    }
    for (int i = 0; i < kClients; ++i) {
        if (got[i] == "T\n") {
            ++refused;
        } else {
            numbers.insert(got[i]);
        }
        test::close_socket(fds[i]);
    }
    EXPECT_EQ(open, 0);
    EXPECT_EQ(refused, 100);
    std::set<std::string> expected;
    for (int n = 1; n <= 100; ++n) expected.insert("T" + std::to_string(n) + "\n");
    EXPECT_EQ(numbers, expected);
    EXPECT_EQ(s.entries(), 100u);
}

#endif

}  // namespace
