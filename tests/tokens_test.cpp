// Tokens end to end over loopback, with raw sockets as the other side.
#include <gtest/gtest.h>

#include <string>

#include "support/internals.h"

using test::next_token;
using test::read_n;
using test::write_all;

namespace {

TEST(TokenSend, WireBytesOnPlainConnections) {
    test::PlainPair p;
    ASSERT_GT(p.handle, 0);
    ASSERT_NE(p.peer, test::kNoSocket);
    EXPECT_EQ(kiv_token_send(p.handle, "hello", "10.1.2.3", 99), 1);  // host and port ignored
    EXPECT_EQ(read_n(p.peer, 6), "hello\n");
    EXPECT_EQ(kiv_token_send(p.handle, "", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 1), "\n");
    EXPECT_EQ(kiv_token_send(p.handle, "a\nb", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 4), "a\nb\n");
    EXPECT_EQ(kiv_token_delimiter(p.handle, "\r\n"), 1);
    EXPECT_EQ(kiv_token_send(p.handle, "hello", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 7), "hello\r\n");
    EXPECT_EQ(kiv_token_delimiter(p.handle, ""), 1);
    EXPECT_EQ(kiv_token_send(p.handle, "ab", "", 0), 1);
    EXPECT_EQ(read_n(p.peer, 2), "ab");
    EXPECT_EQ(test::read_quiet(p.peer, 50), "");
}

TEST(TokenReceive, OrderCurrentTokenAndEmptyQueue) {
    test::PlainPair p;
    EXPECT_STREQ(kiv_token_value(p.handle), "");
    EXPECT_STREQ(kiv_token_ipaddress(p.handle), "");
    EXPECT_EQ(kiv_token_receive(p.handle), 0);
    ASSERT_TRUE(write_all(p.peer, "a\nb\nc\n"));
    ASSERT_TRUE(test::wait_until([&] { return kiv::api::resolve(p.handle)->tokens.queue.size() == 3; }));
    // A wait with tokens queued returns at once and leaves them queued.
    EXPECT_EQ(test::bounded_wait(kiv_token_wait, p.handle), 1);
    EXPECT_EQ(kiv::api::resolve(p.handle)->tokens.queue.size(), 3u);
    EXPECT_EQ(next_token(p.handle), "a");
    EXPECT_EQ(next_token(p.handle), "b");
    EXPECT_EQ(next_token(p.handle), "c");
    const char* last = kiv_token_value(p.handle);
    EXPECT_EQ(kiv_token_receive(p.handle), 0);
    EXPECT_STREQ(kiv_token_value(p.handle), "c");
    EXPECT_EQ(last, kiv_token_value(p.handle));  // unchanged by the empty receive
    EXPECT_STREQ(kiv_token_ipaddress(p.handle), "");
}

TEST(TokenReceive, PartialRecordsStayBuffered) {
    test::PlainPair p;
    ASSERT_TRUE(write_all(p.peer, "hi\ny"));
    EXPECT_EQ(next_token(p.handle), "hi");
    EXPECT_EQ(kiv_token_receive(p.handle), 0);
    ASSERT_TRUE(write_all(p.peer, "\n"));
    EXPECT_EQ(next_token(p.handle), "y");
}

TEST(TokenReceive, TwoByteAndEmptyDelimiters) {
    test::PlainPair p;
    ASSERT_EQ(kiv_token_delimiter(p.handle, "\r\n"), 1);
    ASSERT_TRUE(write_all(p.peer, "a\rb\r\n"));
    EXPECT_EQ(next_token(p.handle), "a\rb");
    // A delimiter split across two arrivals is still found.
    ASSERT_TRUE(write_all(p.peer, "xy\r"));
    ASSERT_TRUE(test::wait_until([&] { return test::held(p.handle) == 3; }));
    ASSERT_TRUE(write_all(p.peer, "\n"));
    EXPECT_EQ(next_token(p.handle), "xy");
    ASSERT_EQ(kiv_token_delimiter(p.handle, ""), 1);
    ASSERT_TRUE(write_all(p.peer, "pq"));
    EXPECT_EQ(next_token(p.handle), "p");
    EXPECT_EQ(next_token(p.handle), "q");
}

TEST(TokenDelimiter, OnlyPlainAndDatagramClients) {
    ASSERT_EQ(kiv_listen(0, 1, 0), 1);
    EXPECT_EQ(kiv_token_delimiter(1, "x"), 0);
    EXPECT_EQ(kiv_token_send(1, "x", "", 0), 0);  // a plain server has nobody to send to
    EXPECT_EQ(kiv_token_receive(1), 0);
    EXPECT_STREQ(kiv_token_value(1), "");
    // A wait that can never be satisfied ends.
    EXPECT_EQ(test::bounded_wait(kiv_token_wait, 1), 0);
}

TEST(TokenDatagram, OneDatagramPerTokenAndSenderAddress) {
    test::Udp peer;
    const double h = kiv_connect("", 0, 4);
    ASSERT_GT(h, 0);
    const uint16_t port = test::port_of_handle(h);
    EXPECT_EQ(kiv_valid(h), 1);
    EXPECT_EQ(kiv_token_send(h, "x", "127.0.0.1", peer.port + 0.9), 1);
    EXPECT_EQ(peer.receive(), "x\n");
    EXPECT_EQ(kiv_token_send(h, "y", "localhost", peer.port + 65536.0), 1);  // port modulo 65536
    EXPECT_EQ(peer.receive(), "y\n");
    EXPECT_GT(port, 0);  // the port the system chose for port 0
    peer.send_to(port, "a\nb\n");
    EXPECT_EQ(next_token(h), "a");
    EXPECT_STREQ(kiv_token_ipaddress(h), "127.0.0.1");
    EXPECT_EQ(next_token(h), "b");
    EXPECT_STREQ(kiv_token_ipaddress(h), "127.0.0.1");
    // The sender's port answers a client on an ephemeral port.
    EXPECT_EQ(kiv_token_port(h), peer.port);
    EXPECT_EQ(kiv_token_send(h, "reply", kiv_token_ipaddress(h), kiv_token_port(h)), 1);
    EXPECT_EQ(peer.receive(), "reply\n");
    // A record split over two datagrams, with an empty datagram between.
    peer.send_to(port, "x");
    peer.send_to(port, "");
    peer.send_to(port, "y\n");
    EXPECT_EQ(next_token(h), "xy");
    EXPECT_EQ(kiv_token_delimiter(h, "--"), 1);
    EXPECT_EQ(kiv_token_send(h, "z", "127.0.0.1", peer.port), 1);
    EXPECT_EQ(peer.receive(), "z--");
    // The current token and its sender stay readable once closed through handle 0.
    ASSERT_EQ(kiv_disconnect(0), 1);
    EXPECT_EQ(kiv_token_value(h), std::string("xy"));
    EXPECT_STREQ(kiv_token_ipaddress(h), "127.0.0.1");
    EXPECT_EQ(kiv_token_port(h), peer.port);
    EXPECT_EQ(kiv_local_port(h), 0);
}

TEST(TokenDatagram, PortAlreadyBoundFails) {
    test::Udp taken;
    EXPECT_EQ(kiv_connect("", taken.port, 4), 0);
    EXPECT_EQ(kiv::api::table_count(), 0u);
}

}  // namespace
