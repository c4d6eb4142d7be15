// Shared data: slot records both ways, the slot table, and forwarding through a player server.
#include <gtest/gtest.h>

#include <cstring>

#include "base/codec.h"
#include "support/typed.h"

using typed::bytes;
using typed::RawPlayer;
using typed::Server;

namespace {

TEST(DataWire, ClientSetsSendExactBytesAndStoreAtOnce) {
    typed::TypedPair c;
    ASSERT_GT(c.handle, 0);
    const double h = c.handle;
    EXPECT_EQ(kiv_data_set_int(h, 3, 1000), 1);
    EXPECT_EQ(test::read_n(c.peer, 7), bytes({0x44, 0x05, 0x49, 0x02, 0x06, 0x02, 0x0A}));
    EXPECT_EQ(kiv_data_set_str(h, 0, "hi"), 1);
    EXPECT_EQ(test::read_n(c.peer, 6), bytes({0x44, 0x02, 0x53, 0x68, 0x69, 0x0A}));
    EXPECT_EQ(kiv_data_set_int(h, 8, 1), 1);
    EXPECT_EQ(test::read_n(c.peer, 7), bytes({0x44, 0xFF, 0x49, 0x02, 0x02, 0x03, 0x0A}));
    EXPECT_EQ(kiv_data_set_str(h, 124, ""), 1);
    EXPECT_EQ(test::read_n(c.peer, 4), bytes({0x44, 0xFE, 0x53, 0x0A}));
    EXPECT_EQ(kiv_data_set_int(h, 255.9, 15624999.9), 1);
    EXPECT_EQ(test::read_n(c.peer, 7), bytes({0x44, 0x01, 0x49, 0xFB, 0xFB, 0xFB, 0x0A}));
    EXPECT_EQ(kiv_data_set_int(h, 9, -1), 1);
    EXPECT_EQ(test::read_n(c.peer, 7), bytes({0x44, 0x0B, 0x49, 0x02, 0x01, 0x01, 0x0A}));

    EXPECT_EQ(kiv_data_get_int(h, 3), 1000);
    EXPECT_EQ(kiv_data_type(h, 3), 0);
    EXPECT_STREQ(kiv_data_get_str(h, 0), "hi");
    EXPECT_EQ(kiv_data_type(h, 0), 1);
    EXPECT_EQ(kiv_data_type(h, 124), 1);
    EXPECT_EQ(kiv_data_get_int(h, 255), 15624999);
    EXPECT_EQ(kiv_data_get_int(h, 9), -1);  // the sender keeps what it set
    // A store of one kind leaves the other field alone.
    EXPECT_EQ(kiv_data_set_int(h, 0, 5), 1);
    EXPECT_EQ(kiv_data_type(h, 0), 0);
    EXPECT_STREQ(kiv_data_get_str(h, 0), "hi");
    EXPECT_EQ(kiv_data_set_str(h, 3, "t"), 1);
    EXPECT_EQ(kiv_data_get_int(h, 3), 1000);
    test::read_n(c.peer, 7 + 5);

    // Slots a digit cannot carry or that do not exist: refused, nothing sent.
    for (double slot : {-1.0, 252.0, 253.0, 254.0, 256.0, 1e12}) {
        EXPECT_EQ(kiv_data_set_int(h, slot, 1), 0) << slot;
        EXPECT_EQ(kiv_data_set_str(h, slot, "x"), 0) << slot;
    }
    EXPECT_EQ(kiv_data_get_int(h, 252), 0);
    EXPECT_EQ(kiv_data_get_int(h, 256), 0);
    EXPECT_EQ(kiv_data_type(h, -1), 0);
    EXPECT_STREQ(kiv_data_get_str(h, 256), "");
    EXPECT_EQ(test::read_quiet(c.peer, 50), "");
}

TEST(DataWire, ClientAppliesReceivedRecords) {
    typed::TypedPair c;
    const double h = c.handle;
    ASSERT_TRUE(test::write_all(
        c.peer, bytes({0x44, 0x05, 0x49, 0x02, 0x06, 0x02, 0x0A}) + bytes({0x44, 0xFF, 0x53, 'a', 'b', 0x0A}) +
                    bytes({0x44, 0x06, 0x53, 'a', 0x00, 'b', 0x0A}) + bytes({0x44, 0x07, 0x58, 'q', 0x0A}) +
                    bytes({0x44, 0x09, 0x49, 0x02, 0x01, 0x01, 0x0A}) + bytes({0x44, 0x0C, 0x53, 0x0A}) +
                    bytes({0x44, 0x00, 0x49, 0x02, 0x02, 0x05, 0x0A}) +
                    // Too short: dropped.
                    "D\nD\x0E\n" + bytes({0x44, 0x0E, 0x49, 0x02, 0x02, 0x0A}) +
                    bytes({0x44, 0x0D, 0x49, 0x02, 0x02, 0x03, 0x0A})));
    ASSERT_TRUE(test::wait_until([&] { return kiv_data_get_int(h, 11) == 1; }));
    EXPECT_EQ(kiv_data_get_int(h, 3), 1000);
    EXPECT_EQ(kiv_data_type(h, 3), 0);
    EXPECT_STREQ(kiv_data_get_str(h, 8), "ab");
    EXPECT_EQ(kiv_data_type(h, 8), 1);
    EXPECT_STREQ(kiv_data_get_str(h, 4), "a");
    EXPECT_STREQ(kiv_data_get_str(h, 5), "q");
    EXPECT_EQ(kiv_data_type(h, 5), 1);
    EXPECT_EQ(kiv_data_get_int(h, 7), -251);
    EXPECT_EQ(kiv_data_type(h, 10), 1);
    EXPECT_EQ(kiv_data_get_int(h, 254), 3);
    EXPECT_EQ(kiv_data_type(h, 12), 0);
    EXPECT_EQ(kiv_data_get_int(h, 12), 0);
    EXPECT_EQ(kiv_token_receive(h), 0);
    EXPECT_EQ(kiv_message_receive(h), 0);

    // The returned text is the host's copy: a record replacing the slot
    // does not change it until the next read.
    const char* kept = kiv_data_get_str(h, 8);
    ASSERT_TRUE(test::write_all(c.peer, bytes({0x44, 0xFF, 0x53, 'z', 'z', 0x0A, 0x44, 0x0D, 0x49, 0x02, 0x02, 0x04,
                                               0x0A})));
    ASSERT_TRUE(test::wait_until([&] { return kiv_data_get_int(h, 11) == 2; }));
    EXPECT_STREQ(kept, "ab");
    EXPECT_EQ(kiv_data_get_int(h, 3), 1000);  // an int read leaves the copy alone
    EXPECT_STREQ(kept, "ab");
    // Each slot has its own copy: reading another one leaves it too.
    const char* other = kiv_data_get_str(h, 4);
    EXPECT_LT(std::strcmp(other, kept), 0);
    EXPECT_STREQ(kept, "ab");
    EXPECT_STREQ(kiv_data_get_str(h, 8), "zz");
    EXPECT_STREQ(other, "a");
}

TEST(DataApi, OtherKindsHaveNoSlots) {
    test::PlainPair plain;
    EXPECT_EQ(kiv_data_set_int(plain.handle, 1, 1), 0);
    EXPECT_EQ(kiv_data_set_str(plain.handle, 1, "x"), 0);
    EXPECT_EQ(kiv_data_get_int(plain.handle, 1), 0);
    EXPECT_EQ(kiv_data_type(plain.handle, 1), 0);
    EXPECT_STREQ(kiv_data_get_str(plain.handle, 1), "");
    EXPECT_EQ(test::read_quiet(plain.peer, 30), "");
    const double server = kiv_listen(0, 1, 0);
    EXPECT_EQ(kiv_data_set_int(server, 1, 1), 0);
    EXPECT_EQ(kiv_data_get_int(server, 1), 0);
}

TEST(DataForwarding, PlayersChangesReachEveryOtherPlayer) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port), p3(s.port);
    const std::string int_rec = bytes({0x44, 0x05, 0x49, 0x02, 0x06, 0x02, 0x0A});
    const std::string str_rec = bytes({0x44, 0x06, 0x53, 'h', 'i', 0x0A});
    ASSERT_TRUE(p1.send(int_rec + str_rec));
    EXPECT_EQ(p2.record(), int_rec);
    EXPECT_EQ(p2.record(), str_rec);
    EXPECT_EQ(p3.record(), int_rec);
    EXPECT_EQ(p3.record(), str_rec);
    EXPECT_EQ(kiv_data_get_int(s.handle, 3), 1000);
    EXPECT_STREQ(kiv_data_get_str(s.handle, 4), "hi");

    // -1 as a sender encodes it arrives as -251, at the server and at every
    // other player alike.
    ASSERT_TRUE(p1.send(bytes({0x44, 0x07, 0x49, 0x02, 0x01, 0x01, 0x0A})));
    for (RawPlayer* p : {&p2, &p3}) {
        const std::string r = p->record();
        ASSERT_EQ(r.size(), 7u);
        EXPECT_EQ(r.substr(0, 3), bytes({0x44, 0x07, 0x49}));
        EXPECT_EQ(kiv::decode_big(reinterpret_cast<const uint8_t*>(r.data()) + 3), -251);
    }
    EXPECT_EQ(kiv_data_get_int(s.handle, 5), -251);

    // A string ends at its first 0 byte, for the server and the others.
    ASSERT_TRUE(p2.send(bytes({0x44, 0x08, 0x53, 'a', 0x00, 'b', 0x0A})));
    EXPECT_EQ(p1.record(), bytes({0x44, 0x08, 0x53, 'a', 0x0A}));
    EXPECT_EQ(p3.record(), bytes({0x44, 0x08, 0x53, 'a', 0x0A}));
    EXPECT_STREQ(kiv_data_get_str(s.handle, 6), "a");
    // Nothing came back to the senders.
    EXPECT_EQ(p1.quiet(), "");
    EXPECT_EQ(p2.quiet(), "");
}

TEST(DataForwarding, TypedClientsShareSlotsThroughTheServer) {
    Server s(0);
    const double c1 = kiv_connect("127.0.0.1", s.port, 3);
    const double c2 = kiv_connect("127.0.0.1", s.port, 3);
    ASSERT_GT(c2, 0);
    ASSERT_EQ(kiv_data_set_int(c1, 9, -1), 1);
    ASSERT_EQ(kiv_data_set_str(c1, 10, "name"), 1);
    ASSERT_TRUE(test::wait_until([&] { return kiv_data_type(c2, 10) == 1; }));
    EXPECT_STREQ(kiv_data_get_str(c2, 10), "name");
    EXPECT_EQ(kiv_data_get_int(c2, 9), -251);
    EXPECT_EQ(kiv_data_get_int(s.handle, 9), -251);
    EXPECT_EQ(kiv_data_get_int(c1, 9), -1);
    // The server's own set reaches both, and is kept by the server too.
    ASSERT_EQ(kiv_data_set_int(s.handle, 11, 62500), 1);
    ASSERT_TRUE(test::wait_until([&] { return kiv_data_get_int(c1, 11) == 62500 && kiv_data_get_int(c2, 11) == 62500; }));
    EXPECT_EQ(kiv_data_get_int(s.handle, 11), 62500);
}

TEST(DataForwarding, ServerSetReachesLivePlayersOnly) {
    Server s(0);
    RawPlayer p1(s.port), p2(s.port), p3(s.port);
    test::close_socket(p2.fd);
    p2.fd = -1;
    ASSERT_TRUE(test::wait_until(
        [&] { return s.departed(2); }));
    EXPECT_EQ(kiv_data_set_int(s.handle, 2, 300), 1);
    EXPECT_EQ(kiv_data_set_str(s.handle, 3, "s"), 1);
    EXPECT_EQ(kiv_data_set_int(s.handle, 252, 1), 0);
    for (RawPlayer* p : {&p1, &p3}) {
        EXPECT_EQ(p->record(), bytes({0x44, 0x04, 0x49, 0x02, 0x03, 0x34, 0x0A}));
        EXPECT_EQ(p->record(), bytes({0x44, 0x05, 0x53, 's', 0x0A}));
        EXPECT_EQ(p->quiet(), "");
    }
    EXPECT_EQ(kiv_data_get_int(s.handle, 2), 300);
    EXPECT_STREQ(kiv_data_get_str(s.handle, 3), "s");

    Server none(0);
    EXPECT_EQ(kiv_data_set_int(none.handle, 2, 300), 1);
    EXPECT_EQ(kiv_data_set_str(none.handle, 3, "s"), 1);
    EXPECT_EQ(kiv_data_get_int(none.handle, 2), 300);
    EXPECT_EQ(kiv_data_type(none.handle, 3), 1);
}

}  // namespace
