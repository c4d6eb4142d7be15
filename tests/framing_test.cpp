// Record framing, one receive step at a time, on a connection without a worker.
#include <gtest/gtest.h>

#include <string>

#include "net/connection.h"
#include "net/receive.h"
#include "support.h"

namespace {

// A connection of the given kind whose receive steps the test runs itself.
struct Stepped {
    kiv::Connection c;
    int peer = -1;
    explicit Stepped(uint8_t kind) {
        test::Listener l;
        int fd = test::connect_to(l.port);
        peer = l.accept_one();
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        c.socket.store(fd);
        c.kind.store(kind);
        if (kind == kiv::kTyped) c.slot_table.reset(new kiv::DataSlot[kiv::kSlots]);
    }
    ~Stepped() { close(peer); }
    void send(const std::string& bytes) {
        test::write_all(peer, bytes);
        // Wait until the bytes are readable on our side.
        test::wait_until([&] { return kiv::platform::bytes_ready(c.socket.load()) > 0; });
    }
    std::string take() {
        const kiv::TokenRecord* r = c.tokens.front();
        if (!r) return "<none>";
        std::string s(r->text.data(), r->text.length());
        c.tokens.pop();
        return s;
    }
};

TEST(Framing, OneRecordPerStepAndTheRestStays) {
    Stepped s(kiv::kPlain);
    s.send("hi\ny");
    EXPECT_TRUE(kiv::receive_step(s.c));
    EXPECT_EQ(s.take(), "hi");
    EXPECT_EQ(s.c.rx_pending.load(), 1u);
    EXPECT_FALSE(kiv::receive_step(s.c));
    s.send("\na\nb\n");
    EXPECT_TRUE(kiv::receive_step(s.c));
    EXPECT_EQ(s.c.tokens.size(), 1u);  // two more complete records wait for later steps
    EXPECT_EQ(s.take(), "y");
    EXPECT_TRUE(kiv::receive_step(s.c));
    EXPECT_EQ(s.take(), "a");
    EXPECT_TRUE(kiv::receive_step(s.c));
    EXPECT_EQ(s.take(), "b");
    EXPECT_FALSE(kiv::receive_step(s.c));
}

TEST(Framing, TypedRecords) {
    Stepped s(kiv::kTyped);
    s.send(std::string("T\nX1\n\nM\x07\x02\x05hi\nD\x05I\x02\x06\x02\nD\x02Shi\nThey\n"));
    for (int i = 0; i < 10; ++i) kiv::receive_step(s.c);
    EXPECT_EQ(s.take(), "");
    EXPECT_EQ(s.take(), "hey");
    EXPECT_EQ(s.take(), "<none>");
    ASSERT_EQ(s.c.messages.size(), 1u);
    EXPECT_EQ(s.c.messages.front()->id, 5);
    EXPECT_EQ(s.c.messages.front()->player, 3);
    EXPECT_EQ(std::string(s.c.messages.front()->value.data()), "hi");
    EXPECT_EQ(s.c.slot_table[3].number, 1000);
    EXPECT_EQ(s.c.slot_table[0].is_string, 1);
    EXPECT_STREQ(s.c.slot_table[0].text.data(), "hi");
}

TEST(Framing, DataChangesQueueOnPlayersWithoutATable) {
    Stepped s(kiv::kTyped);
    s.c.slot_table.reset();
    s.send(std::string("D\xFFI\x02\x02\x09\nD\xFESx\0y\n", 14));
    kiv::receive_step(s.c);
    kiv::receive_step(s.c);
    ASSERT_EQ(s.c.data_changes.size(), 2u);
    EXPECT_EQ(s.c.data_changes.front()->slot, 8);
    EXPECT_EQ(s.c.data_changes.front()->number, 7);
    s.c.data_changes.pop();
    EXPECT_EQ(s.c.data_changes.front()->slot, 124);
    EXPECT_EQ(s.c.data_changes.front()->text.length(), 1u);  // a string ends at its 0 byte
}

TEST(Framing, DatagramRecordsAndSenders) {
    kiv::Connection c;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = test::loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    c.socket.store(fd);
    c.kind.store(kiv::kDatagram);
    test::Udp peer;
    auto deliver = [&](const std::string& d) {
        peer.send_to(test::port_of(fd), d);
        test::wait_until([&] { return kiv::platform::bytes_ready(fd) > 0 || d.empty(); });
    };
    deliver("a\nb\n");
    EXPECT_TRUE(kiv::receive_step(c));
    EXPECT_EQ(c.tokens.size(), 1u);
    EXPECT_TRUE(kiv::receive_step(c));  // completed from the kept rest of the datagram
    ASSERT_EQ(c.tokens.size(), 2u);
    c.tokens.pop();
    EXPECT_STREQ(c.tokens.front()->text.data(), "b");
    EXPECT_STREQ(c.tokens.front()->address.data(), "127.0.0.1");
    c.tokens.pop();
    deliver("x");
    EXPECT_FALSE(kiv::receive_step(c));
    deliver("y\n");
    EXPECT_TRUE(kiv::receive_step(c));
    EXPECT_STREQ(c.tokens.front()->text.data(), "xy");
}

TEST(Framing, TypedWireBytes) {
    test::Listener l;
    std::string got;
    std::thread server([&] {
        int a = l.accept_one();
        test::write_all(a, "T1\n");
        got = test::read_n(a, 9);
        close(a);
    });
    const double h = kiv_connect("127.0.0.1", l.port, 3);
    ASSERT_EQ(h, 1);
    EXPECT_EQ(kiv_token_send(h, "hello", "", 0), 1);
    EXPECT_EQ(kiv_token_send(h, "", "", 0), 1);
    server.join();
    EXPECT_EQ(got, "Thello\nT\n");
}

}  // namespace
