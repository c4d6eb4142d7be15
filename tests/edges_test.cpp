// Results at the edges: what a call refuses rather than garble, and strings a caller keeps.
#include <gtest/gtest.h>

#include <mutex>

#include "support/typed.h"

using typed::bytes;
using typed::RawPlayer;
using typed::Server;

namespace {

TEST(TokenEdges, TypedTokensWithALineEndAreRefused) {
    typed::TypedPair c;
    ASSERT_GT(c.handle, 0);
    EXPECT_EQ(kiv_token_send(c.handle, "hi\nTforged", "", 0), 0);
    EXPECT_EQ(kiv_token_send(c.handle, "\n", "", 0), 0);
    EXPECT_EQ(kiv_token_send(c.handle, "ok", "", 0), 1);
    EXPECT_EQ(test::read_quiet(c.peer, 50), "Tok\n");

    Server s(0);
    RawPlayer p(s.port);
    EXPECT_EQ(kiv_token_send(s.handle, "a\nTb", "", 0), 0);
    EXPECT_EQ(kiv_token_send(s.handle, "ab", "", 0), 1);
    EXPECT_EQ(p.record(), "Tab\n");
    EXPECT_EQ(p.quiet(), "");
}

TEST(MessageEdges, ValuesWithALineEndAreRefused) {
    typed::TypedPair c;
    ASSERT_GT(c.handle, 0);
    EXPECT_EQ(kiv_message_send(c.handle, 1, -1, "hi\nTforged token"), 0);
    EXPECT_EQ(kiv_message_send(c.handle, 1, 0, "\n"), 0);
    EXPECT_EQ(test::read_quiet(c.peer, 50), "");

    Server s(0);
    RawPlayer p(s.port);
    for (double target : {-1.0, 0.0, 1.0}) EXPECT_EQ(kiv_message_send(s.handle, 1, target, "x\ny"), 0) << target;
    EXPECT_EQ(kiv_message_receive(s.handle), 0);  // nothing queued for the server itself
    EXPECT_EQ(kiv_message_send(s.handle, 5, 1, "xy"), 1);
    EXPECT_EQ(p.record(), bytes({0x4D, 0x07, 0x02, 0x02, 'x', 'y', 0x0A}));
    EXPECT_EQ(p.quiet(), "");
}

TEST(DataEdges, WhatARecordCannotCarryIsRefusedAndNothingChanges) {
    typed::TypedPair c;
    const double h = c.handle;
    ASSERT_GT(h, 0);
    ASSERT_EQ(kiv_data_set_int(h, 1, 5), 1);
    ASSERT_EQ(kiv_data_set_str(h, 2, "kept"), 1);
    ASSERT_EQ(test::read_n(c.peer, 7 + 8).size(), 15u);

    // Integers whose digits hold a 0 byte: 253 of -1000..-1, and a band
    // above 15624999. Their neighbours keep their bytes.
    int refused = 0;
    for (int v = -1000; v <= -1; ++v) refused += kiv_data_set_int(h, 1, v) == 0;
    EXPECT_EQ(refused, 253);
    test::read_quiet(c.peer, 50);
    for (double v : {-2.0, -251.0, 15875000.0, 15937499.0}) {
        EXPECT_EQ(kiv_data_set_int(h, 3, v), 0) << v;
        EXPECT_EQ(kiv_data_get_int(h, 3), 0) << v;
    }
    EXPECT_EQ(kiv_data_set_str(h, 2, "a\nDforged"), 0);
    EXPECT_STREQ(kiv_data_get_str(h, 2), "kept");
    EXPECT_EQ(kiv_data_type(h, 2), 1);
    EXPECT_EQ(test::read_quiet(c.peer, 50), "");
    EXPECT_EQ(kiv_data_set_int(h, 3, -1), 1);
    EXPECT_EQ(kiv_data_set_int(h, 3, 15874999), 1);
    EXPECT_EQ(test::read_n(c.peer, 14), bytes({0x44, 0x05, 0x49, 0x02, 0x01, 0x01, 0x0A,  //
                                               0x44, 0x05, 0x49, 0xFF, 0xFB, 0xFB, 0x0A}));

    // The same on a server: no player gets anything, the table keeps its value.
    Server s(0);
    RawPlayer p(s.port);
    EXPECT_EQ(kiv_data_set_int(s.handle, 1, -2), 0);
    EXPECT_EQ(kiv_data_set_str(s.handle, 1, "\n"), 0);
    EXPECT_EQ(kiv_data_type(s.handle, 1), 0);
    EXPECT_EQ(kiv_data_get_int(s.handle, 1), 0);
    EXPECT_EQ(p.quiet(), "");
}

TEST(Admission, PlayerThatLeftInOrderIsGoneForANewcomerInTheSamePass) {
    Server s(1);
    RawPlayer first(s.port);
    ASSERT_EQ(first.number, "1");
    kiv::Connection& server = s.conn();
    const kiv::platform::socket_t gone = s.entry(1)->link->socket();
    std::unique_ptr<RawPlayer> newcomer;
    {
        // Holding the server's mutex keeps the next pass from running until
        // both the departure and the newcomer wait for it.
        kiv::net::Lock pass(server.mutex);
        test::close_socket(first.fd);
        first.fd = -1;
        newcomer.reset(new RawPlayer(s.port, false));
        ASSERT_TRUE(test::wait_until([&] {
            kiv::platform::WaitItem items[2] = {{gone, kiv::platform::kWantRead, 0},
                                                {server.hub->listener(), kiv::platform::kWantRead, 0}};
            return kiv::platform::wait(nullptr, items, 2, 0) == 2;
        }));
    }
    EXPECT_EQ(newcomer->record(), "T2\n");
}

// A client that was waiting when a pass began is admitted before that pass
// relays: it gets the token, message and data change the pass carries.
TEST(Admission, ANewcomerGetsTheRecordsOfThePassThatAdmitsIt) {
    Server s(0);
    RawPlayer first(s.port);
    kiv::Connection& server = s.conn();
    const kiv::platform::socket_t sender = s.entry(1)->link->socket();
    std::unique_ptr<RawPlayer> newcomer;
    const std::string records = "Thi\n" + bytes({'M', 9, 2, 1, 'm', '\n'}) + bytes({'D', 7, 'S', 'd', '\n'});
    {
        kiv::net::Lock pass(server.mutex);
        newcomer.reset(new RawPlayer(s.port, false));
        ASSERT_TRUE(first.send(records));
        ASSERT_TRUE(test::wait_until([&] {
            kiv::platform::WaitItem items[2] = {{sender, kiv::platform::kWantRead, 0},
                                                {server.hub->listener(), kiv::platform::kWantRead, 0}};
            return kiv::platform::wait(nullptr, items, 2, 0) == 2;
        }));
    }
    EXPECT_EQ(newcomer->record(), "T2\n");
    EXPECT_EQ(newcomer->record(), "Thi\n");
    EXPECT_EQ(newcomer->record(), bytes({'M', 9, 2, 3, 'm', '\n'}));
    EXPECT_EQ(newcomer->record(), bytes({'D', 7, 'S', 'd', '\n'}));
}

}  // namespace
