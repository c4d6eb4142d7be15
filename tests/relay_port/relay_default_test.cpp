// The relay service at its built-in address and port 9713: the one test that needs that port.
#include <string>

#include "support/relay.h"
#include "support/support.h"

using relaytest::RealRelay;
using relaytest::RelayEnv;
using test::next_token;

namespace {

// True when nobody else holds port 9713 (another program's relay, another
// suite's run): only then can this test own it.
bool port_9713_free() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9713);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return free;
}

TEST(RelayDefault, BuiltInAddressUnlessKivRelayNamesAnother) {
    if (!port_9713_free()) GTEST_SKIP() << "port 9713 is held by another process: the built-in default cannot be tried";
    RealRelay relay(9713);
    unsetenv("KIV_RELAY");
    const double a = kiv_connect("default-room", 0, 2);
    ASSERT_GT(a, 0);
    EXPECT_STREQ(kiv_ipaddress(-1, 0), "127.0.0.1");
    {
        RelayEnv empty("");  // empty counts as unset
        EXPECT_STREQ(kiv_ipaddress(-1, 0), "127.0.0.1");
    }
    {
        RelayEnv host_only("127.0.0.1");  // the port defaults to 9713
        const double b = kiv_connect("default-room", 0, 2);
        ASSERT_GT(b, 0);
        EXPECT_EQ(kiv_token_send(b, "b here", "", 0), 1);
        EXPECT_EQ(next_token(a), "b here");
        EXPECT_EQ(kiv_disconnect(b), 1);
    }
    // A malformed value fails the call; it never falls back to the default,
    // although a relay answers there.
    for (const char* bad : {":9713", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:97x3",
                            "127.0.0.1:9713:1", "127.0.0.1:-9713", "127.0.0.1:123456"}) {
        RelayEnv env{std::string(bad)};
        EXPECT_EQ(kiv_connect("default-room", 0, 2), 0) << bad;
        EXPECT_STREQ(kiv_ipaddress(-1, 0), "") << bad;
    }
    EXPECT_EQ(kiv_disconnect(a), 1);
}

}  // namespace
