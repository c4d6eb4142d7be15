// Messages: record bytes both ways, the current message, waiting, and routing through a player server.
#include <gtest/gtest.h>

#include <thread>

#include "support/typed.h"

using typed::bytes;
using typed::next_message;
using typed::RawPlayer;
using typed::Server;

namespace {

TEST(MessageWire, ClientSendsExactBytes) {
    typed::TypedPair c;
    ASSERT_GT(c.handle, 0);
    struct Case {
        double id, player;
        const char* value;
        std::string wire;
    } cases[] = {
        {5, 0, "hi", bytes({0x4D, 0x07, 0x02, 0x02, 0x68, 0x69, 0x0A})},
        {8, 0, "", bytes({0x4D, 0xFF, 0x02, 0x02, 0x0A})},
        {124, 0, "", bytes({0x4D, 0xFE, 0x02, 0x02, 0x0A})},
        {5, -1, "", bytes({0x4D, 0x07, 0x02, 0x01, 0x0A})},
        {5, 260, "", bytes({0x4D, 0x07, 0x03, 0x0C, 0x0A})},
        {5, 8, "", bytes({0x4D, 0x07, 0x02, 0xFF, 0x0A})},
        {5, 124, "", bytes({0x4D, 0x07, 0x02, 0xFE, 0x0A})},
        {255, 1, "", bytes({0x4D, 0x01, 0x02, 0x03, 0x0A})},
        {256.7, 1, "", bytes({0x4D, 0x02, 0x02, 0x03, 0x0A})},
        {-1, 1, "", bytes({0x4D, 0x01, 0x02, 0x03, 0x0A})},
        {40000, 1, "", bytes({0x4D, 0x02, 0x02, 0x03, 0x0A})},
        {251, 32767.5, "", bytes({0x4D, 0xFD, 0x85, 0x13, 0x0A})},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(kiv_message_send(c.handle, k.id, k.player, k.value), 1) << k.id << " " << k.player;
        EXPECT_EQ(test::read_n(c.peer, k.wire.size()), k.wire) << k.id << " " << k.player;
    }
    // What one digit cannot carry, and players below -1, are refused unsent.
    for (double id : {252.0, 253.0, 254.0, 252.9}) EXPECT_EQ(kiv_message_send(c.handle, id, 0, "x"), 0) << id;
    for (double player : {-2.0, -250.0, -40000.0}) EXPECT_EQ(kiv_message_send(c.handle, 1, player, "x"), 0);
    EXPECT_EQ(test::read_quiet(c.peer, 50), "");
}

TEST(MessageWire, ClientReceivesAndDropsMalformed) {
    typed::TypedPair c;
    ASSERT_GT(c.handle, 0);
    ASSERT_TRUE(test::write_all(c.peer, bytes({0x4D, 0x07, 0x02, 0x05, 0x68, 0x69, 0x0A})));
    EXPECT_EQ(next_message(c.handle), "hi|5|3");
    ASSERT_TRUE(test::write_all(c.peer, bytes({0x4D, 0xFF, 0x02, 0xFF, 0x0A, 0x4D, 0x09, 0x03, 0x0C, 0x78, 0x0A})));
    EXPECT_EQ(next_message(c.handle), "|8|8");
    EXPECT_EQ(next_message(c.handle), "x|7|260");
    // Too short for the header, empty, or of an unknown kind: dropped without
    // touching the next record.
    ASSERT_TRUE(test::write_all(c.peer, "M\nM\x07\nM\x07\x02\n\nZzz\n"));
    ASSERT_TRUE(test::write_all(c.peer, bytes({0x4D, 0x00, 0x02, 0x01, 'e', 0x0A, 0x4D, 0x01, 0x01, 0x01, 0x0A})));
    EXPECT_EQ(next_message(c.handle), "e|254|-1");
    EXPECT_EQ(next_message(c.handle), "|255|-251");
    EXPECT_EQ(kiv_message_receive(c.handle), 0);
    EXPECT_EQ(kiv_token_receive(c.handle), 0);
}

TEST(MessageApi, CurrentMessageQueueAndOtherKinds) {
    typed::TypedPair c;
    EXPECT_STREQ(kiv_message_value(c.handle), "");
    EXPECT_EQ(kiv_message_id(c.handle), 0);
    EXPECT_EQ(kiv_message_player(c.handle), 0);
    EXPECT_EQ(kiv_message_receive(c.handle), 0);
    ASSERT_TRUE(test::write_all(c.peer, "M\x03\x02\x04one\nM\x04\x02\x05two\n"));
    ASSERT_TRUE(test::wait_until([&] { return kiv::api::resolve(c.handle)->messages.queue.size() == 2; }));
    // A wait with messages queued returns at once and takes nothing.
    EXPECT_EQ(test::bounded_wait(kiv_message_wait, c.handle), 1);
    EXPECT_EQ(next_message(c.handle), "one|1|2");
    EXPECT_EQ(next_message(c.handle), "two|2|3");
    EXPECT_EQ(kiv_message_receive(c.handle), 0);
    EXPECT_EQ(std::string(kiv_message_value(c.handle)) + "|" + std::to_string(int(kiv_message_id(c.handle))) + "|" +
                  std::to_string(int(kiv_message_player(c.handle))),
              "two|2|3");

    test::PlainPair plain;
    EXPECT_EQ(kiv_message_send(plain.handle, 1, 0, "x"), 0);
    EXPECT_EQ(kiv_message_receive(plain.handle), 0);
    EXPECT_EQ(test::bounded_wait(kiv_message_wait, plain.handle), 1);
    EXPECT_STREQ(kiv_message_value(plain.handle), "");
    EXPECT_EQ(kiv_message_id(plain.handle), 0);
    EXPECT_EQ(test::read_quiet(plain.peer, 30), "");
    EXPECT_EQ(kiv_message_send(kiv_listen(0, 1, 0), 1, 0, "x"), 0);
}

TEST(MessageApi, WaitEndsWithAMessageOrWithTheConnection) {
    typed::TypedPair c;
    test::Thread later([&] { test::write_all(c.peer, "M\x03\x02\x02late\n"); });
    EXPECT_EQ(test::bounded_wait(kiv_message_wait, c.handle), 1);
    later.join();
    EXPECT_EQ(next_message(c.handle), "late|1|0");

    test::Thread closer([&] {
        test::close_socket(c.peer);
        c.peer = -1;
    });
    EXPECT_EQ(test::bounded_wait(kiv_message_wait, c.handle), 0);
    closer.join();
    EXPECT_EQ(kiv_message_receive(c.handle), 0);
}

TEST(MessageRouting, PlayersMessagesGoWhereTheyAreSent) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port), p3(s.port);
    auto from1 = [](int target_lo, const std::string& v) {
        return bytes({0x4D, 0x07, 0x02, target_lo}) + v + "\n";
    };
    // Targets: 0 server, -1 all, 1 itself, 2, 9 missing, -2 nobody, 3, then
    // id 255 to all as the end mark.
    ASSERT_TRUE(p1.send(from1(0x02, "a") + from1(0x01, "b") + from1(0x03, "c") + from1(0x04, "d") +
                        from1(0x0B, "e") + from1(0x00, "f") + from1(0x05, "g") +
                        bytes({0x4D, 0x01, 0x02, 0x01, 'z', 0x0A})));
    auto stamped = [](int id_byte, int sender_lo, const std::string& v) {
        return bytes({0x4D, id_byte, 0x02, sender_lo}) + v + "\n";
    };
    EXPECT_EQ(p1.record(), stamped(0x07, 0x03, "c"));
    EXPECT_EQ(p2.record(), stamped(0x07, 0x03, "b"));
    EXPECT_EQ(p2.record(), stamped(0x07, 0x03, "d"));
    EXPECT_EQ(p2.record(), stamped(0x01, 0x03, "z"));
    EXPECT_EQ(p3.record(), stamped(0x07, 0x03, "b"));
    EXPECT_EQ(p3.record(), stamped(0x07, 0x03, "g"));
    EXPECT_EQ(p3.record(), stamped(0x01, 0x03, "z"));
    EXPECT_EQ(next_message(s.handle), "a|5|1");
    EXPECT_EQ(next_message(s.handle), "b|5|1");
    EXPECT_EQ(next_message(s.handle), "z|255|1");
    EXPECT_EQ(kiv_message_receive(s.handle), 0);
    EXPECT_EQ(p1.quiet(), "");

    // Player 3 leaves: to it nothing goes, to all reaches only player 1.
    test::close_socket(p3.fd);
    p3.fd = -1;
    ASSERT_TRUE(test::wait_until(
        [&] { return s.departed(3); }));
    ASSERT_TRUE(p2.send(bytes({0x4D, 0x07, 0x02, 0x05, 'h', 0x0A, 0x4D, 0x07, 0x02, 0x01, 'i', 0x0A})));
    EXPECT_EQ(p1.record(), stamped(0x07, 0x04, "i"));
    EXPECT_EQ(next_message(s.handle), "i|5|2");
    // A value passes on up to its first 0 byte, as a kiv sender's would; a
    // message whose id byte is 0 cannot pass at all and is counted.
    ASSERT_TRUE(p2.send(bytes({0x4D, 0x07, 0x02, 0x03, 'x', 0x00, 'y', 0x0A})));
    EXPECT_EQ(p1.record(), bytes({0x4D, 0x07, 0x02, 0x04, 'x', 0x0A}));
    ASSERT_TRUE(p2.send(bytes({0x4D, 0x00, 0x02, 0x03, 'z', 0x0A, 0x4D, 0x09, 0x02, 0x03, 'w', 0x0A})));
    EXPECT_EQ(p1.record(), bytes({0x4D, 0x09, 0x02, 0x04, 'w', 0x0A}));
    EXPECT_EQ(s.conn().messages.dropped.load(), 1u);
    EXPECT_EQ(p2.quiet(), "");
}

TEST(MessageRouting, ServerScriptTargets) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port), p3(s.port);
    test::close_socket(p3.fd);
    p3.fd = -1;
    ASSERT_TRUE(test::wait_until(
        [&] { return s.departed(3); }));

    EXPECT_EQ(kiv_message_send(s.handle, 4, 0, "own"), 1);
    EXPECT_EQ(next_message(s.handle), "own|4|0");
    EXPECT_EQ(kiv_message_send(s.handle, 4, -1, "all"), 1);
    EXPECT_EQ(kiv_message_send(s.handle, 4, 2, "two"), 1);
    EXPECT_EQ(kiv_message_send(s.handle, 4, 3, "gone"), 1);
    EXPECT_EQ(kiv_message_send(s.handle, 4, 7, "none"), 1);
    EXPECT_EQ(kiv_message_send(s.handle, 4, -5, "none"), 1);
    for (double id : {252.0, 253.0, 254.0}) EXPECT_EQ(kiv_message_send(s.handle, id, -1, "no"), 0);
    EXPECT_EQ(p1.record(), bytes({0x4D, 0x06, 0x02, 0x02, 'a', 'l', 'l', 0x0A}));
    EXPECT_EQ(p2.record(), bytes({0x4D, 0x06, 0x02, 0x02, 'a', 'l', 'l', 0x0A}));
    EXPECT_EQ(p2.record(), bytes({0x4D, 0x06, 0x02, 0x02, 't', 'w', 'o', 0x0A}));
    EXPECT_EQ(p1.quiet(), "");
    EXPECT_EQ(p2.quiet(), "");
    EXPECT_EQ(kiv_message_receive(s.handle), 0);

    // With no players at all every target still succeeds.
    Server empty(0);
    EXPECT_EQ(kiv_message_send(empty.handle, 1, -1, "x"), 1);
    EXPECT_EQ(kiv_message_send(empty.handle, 1, 1, "x"), 1);
}

}  // namespace
