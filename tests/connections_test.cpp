// Connecting, disconnecting and the life of a connection, end to end over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <string>

#include "api/convert.h"
#include "conn/connection.h"
#include "internals.h"

using test::next_token;
using test::read_n;
using test::write_all;

namespace {

TEST(Convert, TruncationAndNarrowing) {
    using namespace kiv::api;
    EXPECT_EQ(to_port(70000), 4464);
    EXPECT_EQ(to_port(-1), 65535);
    EXPECT_EQ(to_port(5000.9), 5000);
    EXPECT_EQ(to_kind(257), 1);
    EXPECT_EQ(to_kind(1.9), 1);
    EXPECT_EQ(to_kind(70000), 0);  // outside 16 bits: the most negative value, low byte 0
    EXPECT_EQ(to_kind(259), 3);
    EXPECT_EQ(to_kind(NAN), 0);
    EXPECT_EQ(to_i32(-2.5), -2);
    EXPECT_EQ(to_i32(3e9), INT32_MIN);
    EXPECT_EQ(to_i16(40000), INT16_MIN);
    EXPECT_EQ(to_i64(NAN), INT64_MIN);
}

TEST(Connect, HandlesAreReusedAfterDisconnect) {
    test::Listener l;
    EXPECT_EQ(kiv_connect("127.0.0.1", l.port, 1), 1);
    EXPECT_EQ(kiv_connect("localhost", l.port, 257), 2);  // 257 acts as kind 1; names are looked up
    EXPECT_EQ(kiv_connect("127.0.0.1", l.port + 0.9, 1.9), 3);
    EXPECT_EQ(kiv_disconnect(2), 1);
    EXPECT_EQ(kiv_disconnect(2), 0);
    EXPECT_EQ(kiv_connect("127.0.0.1", l.port, 1), 2);
    EXPECT_EQ(kiv::api::table_count(), 3u);
}

TEST(Connect, FailuresLeaveNothingBehind) {
    test::Listener l;
    ASSERT_EQ(kiv_connect("127.0.0.1", l.port, 1), 1);
    const int startups = kiv::platform::startup_count();
    int closed_port;
    {
        test::Listener gone;
        closed_port = gone.port;
    }
    EXPECT_EQ(kiv_connect("127.0.0.1", closed_port, 1), 0);  // refused
    EXPECT_EQ(kiv_connect("1.2.3", l.port, 1), 0);            // not a dotted address, no letter
    EXPECT_EQ(kiv_connect("", l.port, 1), 0);
    EXPECT_EQ(kiv_connect("127.0.0.1", l.port, 0), 0);
    EXPECT_EQ(kiv::api::table_count(), 1u);
    EXPECT_EQ(kiv::api::resolve(0), kiv::api::resolve(1));
    EXPECT_EQ(kiv::platform::startup_count(), startups);
}

// Set while the system is to refuse every datagram.
std::atomic<bool> g_refuse_datagrams{false};

TEST(Connect, FailedLookupsFailExceptLocalhost) {
    // The table is changed before any worker runs and restored after every
    // connection is gone: workers read it without a lock.
    kiv::platform::Calls saved = kiv::platform::calls;
    kiv::platform::calls.resolve = [](const char*, uint32_t*) { return false; };
    kiv::platform::calls.sendto = [](kiv::platform::socket_t s, const void* b, size_t n, uint32_t a, uint16_t port) {
        if (g_refuse_datagrams.load()) return kiv::platform::Io{kiv::platform::Status::error, 0};
        return kiv::platform::system_calls().sendto(s, b, n, a, port);
    };
    test::Listener l;
    test::Udp peer;
    // Only the local machine's own name stands for loopback when no lookup
    // answers; any other name fails, with nothing left behind.
    EXPECT_EQ(kiv_connect("no-such-host", l.port, 1), 0);
    EXPECT_EQ(kiv_connect("no-such-host", l.port, 3), 0);
    EXPECT_EQ(kiv::api::table_count(), 0u);
    ASSERT_EQ(kiv_connect("LocalHost", l.port, 1), 1);
    EXPECT_GE(l.accept_one(), 0);
    // Four decimal parts only: the short and leading-zero forms other
    // readers take as other addresses are refused.
    for (const char* host : {"127.1", "2130706433", "127.0.0.01", "", "1.2.3.4.5"}) {
        EXPECT_EQ(kiv_connect(host, l.port, 1), 0) << host;
    }
    EXPECT_EQ(l.accept_one(50), -1);

    // A datagram send is 1 only when the system took the datagram.
    const double u = kiv_connect("", 0, 4);
    ASSERT_GT(u, 0);
    EXPECT_EQ(kiv_token_send(u, "a", "no-such-host", peer.port), 0);
    EXPECT_EQ(kiv_token_send(u, "b", "", peer.port), 0);
    EXPECT_EQ(kiv_token_send(u, "c", "127.1", peer.port), 0);
    EXPECT_EQ(kiv_token_send(u, "d", "127.0.0.1", 0), 0);
    EXPECT_EQ(kiv_token_send(u, "e", "LOCALHOST", peer.port), 1);
    EXPECT_EQ(peer.receive(), "e\n");
    g_refuse_datagrams.store(true);
    EXPECT_EQ(kiv_token_send(u, "f", "127.0.0.1", peer.port), 0);
    g_refuse_datagrams.store(false);
    EXPECT_EQ(kiv_token_send(u, "g", "127.0.0.1", peer.port), 1);
    EXPECT_EQ(peer.receive(), "g\n");
    kiv::api::clear_table();
    kiv::platform::calls = saved;
}

TEST(Connect, TypedHandshake) {
    test::Listener l;
    std::thread server([&] {
        int a = l.accept_one();
        write_all(a, "T3\n");
        // A data record right behind the number lands in the slot table at once.
        write_all(a, std::string("D\x05I\x02\x06\x02\n", 7));
        test::read_quiet(a, 200);
        close(a);
    });
    const double h = kiv_connect("127.0.0.1", l.port, 3);
    ASSERT_EQ(h, 1);
    EXPECT_EQ(kiv_player_id(h), 3);
    EXPECT_TRUE(test::wait_until([&] { return kiv_data_get_int(h, 3) == 1000; }));
    server.join();
}

TEST(Connect, TypedServerFullOrSilent) {
    test::Listener l;
    std::thread server([&] {
        int a = l.accept_one();
        write_all(a, "T\n");  // full
        close(a);
        int b = l.accept_one();
        close(b);  // gone before the number
    });
    EXPECT_EQ(kiv_connect("127.0.0.1", l.port, 3), 0);
    EXPECT_EQ(kiv_connect("127.0.0.1", l.port, 3), 0);
    EXPECT_EQ(kiv::api::table_count(), 0u);
    server.join();
}

TEST(Connect, TypedRecordKinds) {
    test::Listener l;
    std::thread server([&] {
        int a = l.accept_one();
        write_all(a, "T1\nT\nX1\n\nThi\n");
        test::read_quiet(a, 300);
        close(a);
    });
    const double h = kiv_connect("127.0.0.1", l.port, 3);
    ASSERT_EQ(h, 1);
    EXPECT_EQ(next_token(h), "");  // "T" alone: an empty token
    EXPECT_EQ(next_token(h), "hi");  // "X1" and the empty record were dropped
    EXPECT_EQ(kiv_token_delimiter(h, "x"), 0);
    EXPECT_EQ(kiv_token_send(h, "hello", "", 0), 1);
    server.join();
}

TEST(Disconnect, HandleZeroTearsDownWithoutFreeing) {
    test::PlainPair p;
    ASSERT_EQ(p.handle, 1);
    EXPECT_EQ(kiv_disconnect(0), 1);
    EXPECT_EQ(kiv_valid(0), 0);
    EXPECT_EQ(kiv_disconnect(0), 0);
    EXPECT_TRUE(test::peer_closed(p.peer));
    EXPECT_EQ(kiv::api::table_count(), 1u);
    EXPECT_NE(kiv::api::resolve(1), nullptr);
}

TEST(Liveness, ResetPeerIsNoticedAndItsEntryFreed) {
    std::signal(SIGPIPE, SIG_DFL);  // a write must never raise it
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "x\n"));
    EXPECT_EQ(next_token(p.handle), "x");
    test::reset_close(p.peer);
    p.peer = -1;
    EXPECT_TRUE(test::wait_until([&] { return kiv_valid(p.handle) == 0; }));
    for (int i = 0; i < 100; ++i) kiv_token_send(p.handle, "after", "", 0);
    EXPECT_EQ(kiv_token_wait(p.handle), 0);
    // Its worker tore it down; disconnecting still frees the handle.
    EXPECT_EQ(kiv_disconnect(p.handle), 0);
    EXPECT_EQ(kiv::api::resolve(1), nullptr);
    test::Listener l;
    EXPECT_EQ(kiv_connect("127.0.0.1", l.port, 1), 1);
}

TEST(Liveness, OrderlyClosingPeerStillDeliversItsLastTokens) {
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "last\nwords\n"));
    close(p.peer);
    p.peer = -1;
    EXPECT_EQ(kiv_token_wait(p.handle), 1);
    EXPECT_EQ(next_token(p.handle), "last");
    EXPECT_EQ(next_token(p.handle), "words");
    EXPECT_TRUE(test::wait_until([&] { return kiv_valid(p.handle) == 0; }));
    EXPECT_EQ(kiv_token_receive(p.handle), 0);
}

TEST(Liveness, WaitEndsWhenThePeerLeaves) {
    test::PlainPair p;
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        close(p.peer);
        p.peer = -1;
    });
    EXPECT_EQ(kiv_token_wait(p.handle), 0);
    closer.join();
}

TEST(Liveness, DatagramEndpointIsValidWhileOpen) {
    const double h = kiv_connect("", 0, 4);
    ASSERT_GT(h, 0);
    EXPECT_EQ(kiv_valid(h), 1);
    EXPECT_STREQ(kiv_ipaddress(h, 1), "");
    EXPECT_EQ(kiv_disconnect(h), 1);
    EXPECT_EQ(kiv_valid(h), 0);
}

TEST(PlainServer, AcceptedClientsAreIndependent) {
    const double server = kiv_listen(0, 1, 0);
    ASSERT_EQ(server, 1);
    EXPECT_EQ(kiv_player_id(server), 0);
    int raw = test::connect_to(test::port_of_handle(server));
    double client = 0;
    ASSERT_TRUE(test::wait_until([&] {
        client = kiv_accept(server);
        return kiv_valid(client) == 1;
    }));
    EXPECT_EQ(kiv_player_id(client), 0);
    EXPECT_STREQ(kiv_ipaddress(client, 0), "127.0.0.1");
    EXPECT_STREQ(kiv_ipaddress(server, 0), "");
    ASSERT_TRUE(write_all(raw, "ping\n"));
    EXPECT_EQ(next_token(client), "ping");
    EXPECT_EQ(kiv_token_send(client, "pong", "", 0), 1);
    EXPECT_EQ(read_n(raw, 5), "pong\n");
    // The accepted client outlives its server.
    EXPECT_EQ(kiv_disconnect(server), 1);
    EXPECT_EQ(kiv_token_send(client, "still", "", 0), 1);
    EXPECT_EQ(read_n(raw, 6), "still\n");
    close(raw);
}

TEST(PlainServer, PortInUseIsRefused) {
    const double first = kiv_listen(0, 1, 0);
    ASSERT_EQ(first, 1);
    EXPECT_EQ(kiv_listen(test::port_of_handle(first), 1, 0), 0);
    EXPECT_EQ(kiv_listen(test::port_of_handle(first), 3, 0), 0);
}

TEST(Unload, LiveConnectionsAreClosedWithoutHanging) {
    test::PlainPair p;
    const double server = kiv_listen(0, 3, 2);
    ASSERT_GT(server, 0);
    ASSERT_TRUE(write_all(p.peer, "pending\n"));
    kiv::api::clear_table();  // what unloading the library does
    EXPECT_TRUE(test::peer_closed(p.peer));
    EXPECT_EQ(kiv_valid(1), 0);
}

TEST(Unload, ProcessExitWithLiveConnections) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            test::Listener l;
            kiv_connect("127.0.0.1", l.port, 1);
            kiv_listen(0, 3, 0);
            kiv_connect("", 0, 4);
            int peer = l.accept_one();
            test::write_all(peer, "unread\n");
            std::exit(7);  // static destruction closes everything
        },
        testing::ExitedWithCode(7), "");
}

}  // namespace
