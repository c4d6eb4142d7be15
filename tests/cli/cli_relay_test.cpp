// The kiv command with the relay service on its fixed port: `kiv relay`, relay sessions and `kiv whoami`.
#include <gtest/gtest.h>

#include <string>

#include "proc.h"

using clitest::Proc;

namespace {

Proc kiv(std::vector<std::string> args) {
    args.insert(args.begin(), KIV_CLI_BIN);
    return Proc(std::move(args));
}

TEST(CliRelay, WhoamiWithoutTheServiceFails) {
    Proc p = kiv({"whoami"});
    EXPECT_EQ(p.wait_exit(), 1);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "kiv: no answer from the relay service (is kiv-relay running?)\n");
}

TEST(CliRelay, SessionMembersTalkAndWhoamiAnswers) {
    Proc relay = kiv({"relay", "--port", "9713", "--quiet"});
    ASSERT_TRUE(relay.wait_out("listening on 9713\n")) << relay.err;

    Proc a = kiv({"connect", "cli-room", "--kind", "relay"});
    ASSERT_TRUE(a.wait_out("joined session cli-room")) << a.err;
    Proc b = kiv({"connect", "cli-room", "--kind", "relay"});
    ASSERT_TRUE(b.wait_out("joined session cli-room")) << b.err;
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
