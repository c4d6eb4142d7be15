// Record framing, one pump at a time, on a link without a worker.
#include <gtest/gtest.h>

#include <string>

#include "support/internals.h"
#include "conn/connection.h"

namespace {

// A connection of the given kind whose link the test pumps itself.
struct Stepped {
    kiv::Connection c;
    int peer = -1;
    explicit Stepped(uint8_t kind) {
        test::Listener l;
        int fd = test::connect_to(l.port);
        peer = l.accept_one();
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        c.link.reset(new kiv::net::Link(c.mutex, c, fd, false));
        c.kind.store(kind);
        if (kind == kiv::kTyped) kiv::shared_data::create(c.data);
    }
    ~Stepped() { close(peer); }
    void send(const std::string& bytes) {
        test::write_all(peer, bytes);
        // Wait until the bytes are readable on our side.
        test::wait_until([&] { return kiv::platform::bytes_ready(c.link->socket()) > 0; });
    }
    // Hands on at most max records; true when one was.
    bool step(size_t max = 1) {
        kiv::net::Lock lk(c.mutex);
        return c.link->pump(static_cast<size_t>(-1), max) > 0;
    }
    std::string take() {
        const kiv::tokens::Record* r = c.tokens.queue.front();
        if (!r) return "<none>";
        std::string s(r->text.data(), r->text.length());
        c.tokens.queue.pop();
        return s;
    }
};

TEST(Framing, RecordsAreCutAtTheDelimiterAndTheRestStays) {
    Stepped s(kiv::kPlain);
    s.send("hi\ny");
    EXPECT_TRUE(s.step());
    EXPECT_EQ(s.take(), "hi");
    EXPECT_EQ(s.c.link->held(), 1u);
    EXPECT_FALSE(s.step());
    s.send("\na\nb\n");
    EXPECT_TRUE(s.step());
    EXPECT_EQ(s.c.tokens.queue.size(), 1u);  // a bound of one record leaves the others held
    EXPECT_EQ(s.take(), "y");
    EXPECT_TRUE(s.step(100));
    EXPECT_EQ(s.take(), "a");
    EXPECT_EQ(s.take(), "b");
    EXPECT_FALSE(s.step());
}

TEST(Framing, AFloodInOneReadIsHandedOnCompletelyAndInOrder) {
    Stepped s(kiv::kPlain);
    std::string flood;
    for (int i = 0; i < 20000; ++i) flood += std::to_string(i) + "\n";
    test::write_all(s.peer, flood);
    size_t got = 0;
    ASSERT_TRUE(test::wait_until([&] {
        kiv::net::Lock lk(s.c.mutex);
        got += s.c.link->pump(static_cast<size_t>(-1), 1000000);
        return got == 20000;
    }));
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(s.take(), std::to_string(i));
    EXPECT_EQ(s.take(), "<none>");
}

TEST(Framing, TypedRecords) {
    Stepped s(kiv::kTyped);
    s.send(std::string("T\nX1\n\nM\x07\x02\x05hi\nD\x05I\x02\x06\x02\nD\x02Shi\nThey\n"));
    s.step(100);
    EXPECT_EQ(s.take(), "");
    EXPECT_EQ(s.take(), "hey");
    EXPECT_EQ(s.take(), "<none>");
    ASSERT_EQ(s.c.messages.queue.size(), 1u);
    EXPECT_EQ(s.c.messages.queue.front()->id, 5);
    EXPECT_EQ(s.c.messages.queue.front()->player, 3);
    EXPECT_EQ(std::string(s.c.messages.queue.front()->value.data()), "hi");
    EXPECT_EQ(s.c.data.slots[3].number, 1000);
    EXPECT_EQ(s.c.data.slots[0].is_string, 1);
    EXPECT_STREQ(s.c.data.slots[0].text.data(), "hi");
}

TEST(Framing, DataChangesQueueOnPlayersWithoutATable) {
    Stepped s(kiv::kTyped);
    kiv::shared_data::release(s.c.data);
    // A change to slot byte 0 cannot pass on: dropped and counted.
    s.send(std::string("D\xFFI\x02\x02\x09\nD\0Sz\nD\xFESx\0y\n", 19));
    s.step(3);
    kiv::RecordQueue<kiv::shared_data::Change>& changes = s.c.data.changes;
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(s.c.data.dropped.load(), 1u);
    EXPECT_EQ(changes.front()->slot, 8);
    EXPECT_EQ(changes.front()->number, 7);
    changes.pop();
    EXPECT_EQ(changes.front()->slot, 124);
    EXPECT_EQ(changes.front()->text.length(), 1u);  // a string ends at its 0 byte
}

TEST(Framing, DatagramRecordsAndSenders) {
    kiv::Connection c;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = test::loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    c.link.reset(new kiv::net::Link(c.mutex, c, fd, true));
    c.kind.store(kiv::kDatagram);
    auto step = [&](size_t max) {
        kiv::net::Lock lk(c.mutex);
        return c.link->pump(static_cast<size_t>(-1), max) > 0;
    };
    kiv::RecordQueue<kiv::tokens::Record>& tokens = c.tokens.queue;
    test::Udp peer;
    auto deliver = [&](const std::string& d) {
        peer.send_to(test::port_of(fd), d);
        test::wait_until([&] { return kiv::platform::bytes_ready(fd) > 0 || d.empty(); });
    };
    deliver("a\nb\n");
    EXPECT_TRUE(step(1));
    EXPECT_EQ(tokens.size(), 1u);
    EXPECT_TRUE(step(1));  // completed from the kept rest of the datagram
    ASSERT_EQ(tokens.size(), 2u);
    tokens.pop();
    EXPECT_STREQ(tokens.front()->text.data(), "b");
    EXPECT_EQ(tokens.front()->from_addr, kiv::platform::loopback_address());
    EXPECT_EQ(tokens.front()->from_port, peer.port);
    tokens.pop();
    deliver("x");
    EXPECT_FALSE(step(1));
    deliver("y\n");
    EXPECT_TRUE(step(1));
    EXPECT_STREQ(tokens.front()->text.data(), "xy");
}

TEST(Framing, TypedWireBytes) {
    test::Listener l;
    std::string got;
    test::Thread server([&] {
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
