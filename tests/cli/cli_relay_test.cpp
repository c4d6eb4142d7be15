// The kiv command with the relay service: `kiv relay`, relay sessions and `kiv whoami`, on a free port named by KIV_RELAY.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/relay.h"

using Proc = test::Process;
using relaytest::RelayEnv;

namespace {

Proc kiv(std::vector<std::string> args) {
    args.insert(args.begin(), KIV_CLI_BIN);
    return Proc(std::move(args));
}

TEST(CliRelay, WhoamiWithoutTheServiceFails) {
    test::ClosedPort nobody;
    const std::string where = "127.0.0.1:" + std::to_string(nobody.port);
    RelayEnv env(nobody.port);
    Proc p = kiv({"whoami"});
    EXPECT_EQ(p.wait_exit(), 1);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "kiv: connect " + where + ": Connection refused (is kiv-relay running?)\n");
}

TEST(CliRelay, SessionMembersTalkAndWhoamiAnswers) {
    Proc relay = kiv({"relay", "--port", "0", "--quiet"});
    const int port = relay.port_after("listening on ");
    ASSERT_GT(port, 0) << relay.err;
    RelayEnv env(port);

    Proc a = kiv({"connect", "cli-room", "--kind", "relay"});
    ASSERT_TRUE(a.wait_out("joined session cli-room")) << a.err;
    // A port given with --kind relay is not used, and kiv says so.
    Proc b = kiv({"connect", "cli-room", "5000", "--kind", "relay"});
    ASSERT_TRUE(b.wait_out("joined session cli-room")) << b.err;
    EXPECT_TRUE(b.wait_err("kiv: note: PORT 5000 is not used with --kind relay")) << b.err;
    a.send("hello b");
    EXPECT_TRUE(b.wait_out("token: hello b\n")) << b.out;
    b.send("hello a");
    EXPECT_TRUE(a.wait_out("token: hello a\n")) << a.out;
    Proc who = kiv({"whoami"});
    EXPECT_EQ(who.wait_exit(), 0) << who.err;
    EXPECT_EQ(who.out, "127.0.0.1\n");

    a.send("/quit");
    b.send("/quit");
    EXPECT_EQ(a.wait_exit(), 0);
    EXPECT_EQ(b.wait_exit(), 0);
    relay.signal(SIGTERM);
    EXPECT_EQ(relay.wait_exit(), 0);
}

}  // namespace
