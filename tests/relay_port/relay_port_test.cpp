// Relay connections and the address query, with the service on a free port named by KIV_RELAY.
#include <string>

#include "support/internals.h"
#include "support/relay.h"

using test::ClosedPort;
using FakeRelay = test::Listener;
using relaytest::RealRelay;
using relaytest::RelayEnv;
using test::next_token;
using test::read_n;
using test::write_all;

namespace {

TEST(RelayConnection, HandshakeAndGoodbyeBytes) {
    FakeRelay relay;
    RelayEnv env(relay.port);
    std::string seen_before_greeting, host_line, goodbye;
    test::Thread service([&] {
        int a = relay.accept_one();
        seen_before_greeting = test::read_quiet(a, 100);
        write_all(a, "welcome to the relay\n");
        host_line = read_n(a, 9);
        write_all(a, "2 others here\n");
        write_all(a, "from the session\n");
        EXPECT_EQ(read_n(a, 6), "hello\n");
        goodbye = read_n(a, 2);
        EXPECT_TRUE(test::peer_closed(a));
        close(a);
    });
    const double h = kiv_connect("lobby-7\n", 1234, 2);  // host text goes out as it is
    ASSERT_EQ(h, 1);
    EXPECT_EQ(seen_before_greeting, "");
    EXPECT_EQ(host_line, "lobby-7\n\n");
    // The greeting and the answer were taken by the handshake.
    EXPECT_EQ(next_token(h), "from the session");
    EXPECT_EQ(kiv_token_delimiter(h, "\r\n"), 0);
    EXPECT_EQ(kiv_token_send(h, "hello", "", 0), 1);
    EXPECT_EQ(kiv_disconnect(h), 1);
    service.join();
    EXPECT_EQ(goodbye, "`\n");
}

TEST(RelayConnection, ServiceThatNeverAnswersEndsTheConnect) {
    FakeRelay relay;
    RelayEnv env(relay.port);
    test::Thread service([&] {
        int a = relay.accept_one();
        write_all(a, "greeting\n");
        read_n(a, 5);
        close(a);  // leaves before its answer
    });
    EXPECT_EQ(kiv_connect("room", 0, 2), 0);
    EXPECT_EQ(kiv::api::table_count(), 0u);
    service.join();
    // The service answers this name as an address query: it is refused
    // before the service is even asked; a malformed KIV_RELAY says so.
    EXPECT_EQ(kiv_connect("IPADDRESS", 0, 2), 0);
    EXPECT_NE(std::string(kiv_last_error()).find("no relay session may have that name"), std::string::npos);
    EXPECT_EQ(relay.accept_one(50), -1);
    RelayEnv bad("127.0.0.1:99999");
    EXPECT_EQ(kiv_connect("room", 0, 2), 0);
    EXPECT_STREQ(kiv_last_error(), "KIV_RELAY '127.0.0.1:99999' is not host or host:port with a port 1..65535");
}

TEST(AddressQuery, AgainstFakeServices) {
    FakeRelay relay;
    RelayEnv env(relay.port);
    std::string asked, goodbye;
    test::Thread service([&] {
        int a = relay.accept_one();
        asked = read_n(a, 10);
        write_all(a, "hi\n203.0.113.9\n");
        goodbye = read_n(a, 2);
        close(a);
        // A long answer is cut to fit the result buffer.
        int b = relay.accept_one();
        read_n(b, 10);
        write_all(b, "hi\n" + std::string(5000, '7') + "\n");
        read_n(b, 2);
        close(b);
        // A service that leaves after its greeting.
        int c = relay.accept_one();
        write_all(c, "hi\n");
        close(c);
    });
    EXPECT_STREQ(kiv_ipaddress(-1, 0), "203.0.113.9");
    const std::string long_answer = kiv_ipaddress(0, 0);  // no current connection: also a query
    EXPECT_EQ(long_answer, std::string(1023, '7'));
    EXPECT_STREQ(kiv_ipaddress(-1, 0), "");
    service.join();
    EXPECT_EQ(asked, "IPADDRESS\n");
    EXPECT_EQ(goodbye, "`\n");
}

TEST(AddressQuery, SilentServiceTimesOut) {
    FakeRelay relay;
    RelayEnv env(relay.port);
    test::Thread service([&] {
        int a = relay.accept_one();
        test::read_quiet(a, 7000);
        close(a);
    });
    EXPECT_STREQ(kiv_ipaddress(-1, 0), "");
    service.join();
}

TEST(AddressQuery, NoServiceAtAll) {
    ClosedPort nobody;
    RelayEnv env(nobody.port);
    EXPECT_STREQ(kiv_ipaddress(-1, 0), "");
}

TEST(AddressQuery, LiveConnectionGivesItsPeerWithoutAQuery) {
    FakeRelay relay;
    RelayEnv env(relay.port);
    test::PlainPair p;
    EXPECT_STREQ(kiv_ipaddress(0, 0), "127.0.0.1");
    EXPECT_EQ(relay.accept_one(100), -1);
}

TEST(RealRelay, ScriptsMeetInASessionAndAskTheirAddress) {
    RealRelay relay;
    RelayEnv env(relay.port);
    const double a = kiv_connect("room", 0, 2);
    const double b = kiv_connect("room", 0, 2);
    const double c = kiv_connect("elsewhere", 0, 2);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_GT(c, 0);
    EXPECT_STREQ(kiv_ipaddress(a, 0), "127.0.0.1");
    EXPECT_EQ(kiv_token_send(a, "from a", "", 0), 1);
    EXPECT_EQ(kiv_token_send(b, "from b", "", 0), 1);
    EXPECT_EQ(next_token(b), "from a");
    EXPECT_EQ(next_token(a), "from b");
    EXPECT_EQ(kiv_token_receive(c), 0);
    EXPECT_EQ(next_token(c, 200), "<none>");
    EXPECT_STREQ(kiv_ipaddress(-1, 0), "127.0.0.1");
    const char* notice = copyright();
    EXPECT_NE(std::string(notice).find("kiv"), std::string::npos);
    EXPECT_EQ(kiv_disconnect(a), 1);
    EXPECT_EQ(kiv_token_send(b, "anyone?", "", 0), 1);
    EXPECT_EQ(next_token(c, 200), "<none>");

    // KIV_RELAY is read on every call: pointed elsewhere, the next relay
    // connection and query go there (nobody answers), and back again.
    {
        ClosedPort nobody;
        RelayEnv::set("127.0.0.1:" + std::to_string(nobody.port));
        EXPECT_EQ(kiv_connect("room", 0, 2), 0);
        EXPECT_STREQ(kiv_ipaddress(-1, 0), "");
    }
    RelayEnv::set("localhost:" + std::to_string(relay.port));  // a name works too
    const double d = kiv_connect("room", 0, 2);
    ASSERT_GT(d, 0);
    EXPECT_EQ(kiv_token_send(d, "d is here", "", 0), 1);
    EXPECT_EQ(next_token(b), "d is here");
}

}  // namespace
