// The kiv command end to end: sessions between kiv processes, file transfers, and errors, over loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/process.h"
#include "support/sockets.h"
#include "support/temp_dir.h"

using Proc = test::Process;
using test::ClosedPort;
using test::Listener;
using test::read_file;
using test::TempDir;

namespace {

namespace fs = std::filesystem;

// Through env(1) with NAME=VALUE settings: the C locale unless they say otherwise,
// so that what kiv prints does not depend on the runner's.
Proc kiv(std::vector<std::string> args, const std::vector<std::string>& env = {"LC_ALL=C"}) {
    args.insert(args.begin(), KIV_CLI_BIN);
    args.insert(args.begin(), env.begin(), env.end());
    args.insert(args.begin(), "/usr/bin/env");
    return Proc(std::move(args));
}

uint64_t fnv1a(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char ch : s) h = (h ^ ch) * 1099511628211ull;
    return h;
}

// Bytes of every value, with line ends and 0 bytes in them: a file the
// size token must not be confused with.
std::string content(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 88172645u;
    for (char& b : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x);
    }
    s[0] = '\n';
    s[1] = '7';
    s[2] = '\n';
    return s;
}

size_t lines(const std::string& s) {
    size_t n = 0;
    for (char ch : s) n += ch == '\n';
    return n;
}

TEST(CliSession, PlainServerAndClientExchangeTokensAndSeeTheClose) {
    Proc server = kiv({"listen", "0"});
    const int port = server.port_after("listening on ");
    ASSERT_GT(port, 0) << server.err;
    Proc client = kiv({"connect", "127.0.0.1", std::to_string(port)});
    ASSERT_TRUE(client.wait_out("connected to 127.0.0.1:" + std::to_string(port))) << client.err;
    ASSERT_TRUE(server.wait_out("client 1 connected from 127.0.0.1")) << server.out;

    client.send("hello server");
    client.send("tab\there");
    client.send("//starts with a slash");
    client.send("caf\xc3\xa9 \x1b[2J");
    EXPECT_TRUE(server.wait_out("token from client 1: hello server\n")) << server.out;
    EXPECT_TRUE(server.wait_out("token from client 1: tab\\there\n")) << server.out;
    EXPECT_TRUE(server.wait_out("token from client 1: /starts with a slash\n")) << server.out;
    EXPECT_TRUE(server.wait_out("token from client 1: caf\\xc3\\xa9 \\x1b[2J\n")) << server.out;

    server.send("hello client");
    EXPECT_TRUE(client.wait_out("token: hello client\n")) << client.out;

    // Commands of typed connections are refused on a plain one, and the session goes on.
    client.send("/msg 1 0 nope");
    EXPECT_TRUE(client.wait_err("kiv: /msg needs a typed connection")) << client.err;
    client.send("after");
    EXPECT_TRUE(server.wait_out("token from client 1: after\n")) << server.out;

    client.send("/quit");
    EXPECT_EQ(client.wait_exit(), 0);
    EXPECT_TRUE(server.wait_out("client 1 closed\n")) << server.out;
    server.send("/quit");
    EXPECT_EQ(server.wait_exit(), 0);
}

TEST(CliSession, ClientPrintsWhatTheServerSaidBeforeLeaving) {
    Proc server = kiv({"listen", "0"});
    const int port = server.port_after("listening on ");
    ASSERT_GT(port, 0);
    Proc client = kiv({"connect", "127.0.0.1", std::to_string(port)});
    ASSERT_TRUE(server.wait_out("client 1 connected"));
    server.send("last words");
    server.send("/quit");
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_TRUE(client.wait_out("token: last words\nclosed\n")) << client.out;
    EXPECT_EQ(client.wait_exit(), 0);
}

TEST(CliSession, PlayerServerRelaysTokensMessagesDataAndPlayers) {
    Proc server = kiv({"listen", "0", "--typed"});
    const int port = server.port_after("listening on ");
    ASSERT_GT(port, 0) << server.err;
    const std::string p = std::to_string(port);
    Proc one = kiv({"connect", "127.0.0.1", p, "--kind", "typed"});
    ASSERT_TRUE(one.wait_out("as player 1\n")) << one.err;
    ASSERT_TRUE(server.wait_out("player 1 joined from 127.0.0.1\n")) << server.out;
    Proc two = kiv({"connect", "127.0.0.1", p, "--kind", "typed"});
    ASSERT_TRUE(two.wait_out("as player 2\n")) << two.err;
    ASSERT_TRUE(server.wait_out("player 2 joined from 127.0.0.1\n")) << server.out;

    one.send("hi all");
    EXPECT_TRUE(server.wait_out("token: hi all\n")) << server.out;
    EXPECT_TRUE(two.wait_out("token: hi all\n")) << two.out;

    // Messages addressed three ways, with the sender's number.
    one.send("/msg 7 0 to the server");
    EXPECT_TRUE(server.wait_out("message 7 from player 1: to the server\n")) << server.out;
    one.send("/msg 8 2 only for two");
    EXPECT_TRUE(two.wait_out("message 8 from player 1: only for two\n")) << two.out;
    server.send("/msg 9 -1 from the top");
    EXPECT_TRUE(one.wait_out("message 9 from server: from the top\n")) << one.out;
    EXPECT_TRUE(two.wait_out("message 9 from server: from the top\n")) << two.out;
    // What the wire cannot carry is refused with one line, and the session goes on.
    one.send("/msg 253 0 x");
    EXPECT_TRUE(one.wait_err("kiv: message not sent")) << one.err;

    // Shared data: integers, strings (a quoted number is a string).
    server.send("/set 4 1000");
    EXPECT_TRUE(one.wait_out("data 4 = 1000\n")) << one.out;
    EXPECT_TRUE(two.wait_out("data 4 = 1000\n")) << two.out;
    two.send("/set 0 \"12\"");
    EXPECT_TRUE(server.wait_out("data 0 = \"12\"\n")) << server.out;
    EXPECT_TRUE(one.wait_out("data 0 = \"12\"\n")) << one.out;
    one.send("/set 300 x");
    EXPECT_TRUE(one.wait_err("kiv: not set")) << one.err;

    // A newcomer gets the integers set so far.
    Proc three = kiv({"connect", "127.0.0.1", p, "--kind", "typed"});
    EXPECT_TRUE(three.wait_out("as player 3\n")) << three.err;
    EXPECT_TRUE(three.wait_out("data 4 = 1000\n")) << three.out;

    two.send("/quit");
    EXPECT_EQ(two.wait_exit(), 0);
    EXPECT_TRUE(server.wait_out("player 2 left\n")) << server.out;
    server.send("/quit");
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_TRUE(one.wait_out("closed\n")) << one.out;
    EXPECT_EQ(one.wait_exit(), 0);
    // The closed server's slots are not reported as changed back to 0.
    EXPECT_EQ(one.out.find("data 4 = 0"), std::string::npos) << one.out;
    EXPECT_TRUE(three.wait_out("closed\n")) << three.out;
    EXPECT_EQ(three.wait_exit(), 0);
    // The server's own change is not reported back to it.
    EXPECT_EQ(server.out.find("data 4"), std::string::npos) << server.out;
}

TEST(CliSession, UdpTokensShowTheSenderAndGoWhereTold) {
    Proc a = kiv({"connect", "127.0.0.1", "0", "--kind", "udp"});
    const int port_a = a.port_after("udp on port ");
    ASSERT_GT(port_a, 0) << a.err;
    Proc b = kiv({"connect", "127.0.0.1", "0", "--kind", "udp", "--to", "127.0.0.1:" + std::to_string(port_a)});
    const int port_b = b.port_after("udp on port ");
    ASSERT_GT(port_b, 0) << b.err;

    a.send("nowhere yet");
    EXPECT_TRUE(a.wait_err("kiv: no destination")) << a.err;
    b.send("ping");
    EXPECT_TRUE(a.wait_out("token from 127.0.0.1: ping\n")) << a.out;
    a.send("/to 127.0.0.1:" + std::to_string(port_b));
    a.send("pong");
    EXPECT_TRUE(b.wait_out("token from 127.0.0.1: pong\n")) << b.out;
    a.send("/quit");
    b.send("/quit");
    EXPECT_EQ(a.wait_exit(), 0);
    EXPECT_EQ(b.wait_exit(), 0);
}

TEST(CliSession, ValidUtf8PrintsAsItIsInAUtf8Locale) {
    // LC_ALL is empty, so LC_CTYPE decides; controls, C1 controls and broken sequences stay escaped.
    Proc server = kiv({"listen", "0"}, {"LC_ALL=", "LC_CTYPE=en_US.utf8", "LANG=C"});
    const int port = server.port_after("listening on ");
    Proc client = kiv({"connect", "127.0.0.1", std::to_string(port)});
    client.send("caf\xc3\xa9 \xe2\x82\xac\xf0\x9f\x8e\xb2 \x1b[2J\xc2\x9b\xc3 "
                "\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80\xe2\x82");
    EXPECT_TRUE(server.wait_out("client 1: caf\xc3\xa9 \xe2\x82\xac\xf0\x9f\x8e\xb2 \\x1b[2J\\xc2\\x9b\\xc3 "
                                "\\xed\\xa0\\x80\\xc0\\xaf\\xf4\\x90\\x80\\x80\\xe2\\x82\n"))
        << server.out;
}

TEST(CliSession, TraceOptionWritesTheWireTrace) {
    TempDir dir;
    const std::string file = dir / "trace";
    Listener listener;
    Proc client = kiv({"connect", "127.0.0.1", std::to_string(listener.port), "--trace", file});
    client.send("hello");
    client.send("/quit");
    EXPECT_EQ(client.wait_exit(), 0) << client.err;
    EXPECT_NE(read_file(file).find("kind=plain dir=sent len=6 bytes=\"hello\\n\"\n"), std::string::npos);
    // A trace that cannot be written is said, not silently left out.
    Proc bad = kiv({"--trace", dir / "no/trace", "whoami"});
    EXPECT_EQ(bad.wait_exit(), 2);
}

TEST(CliSession, SignalEndsASessionCleanly) {
    Proc server = kiv({"listen", "0"});
    ASSERT_GT(server.port_after("listening on "), 0);
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0);
}

TEST(CliErrors, OneLineOnStderrAndAFailingStatus) {
    ClosedPort closed;
    const std::string c = std::to_string(closed.port);
    {
        Proc p = kiv({"connect", "127.0.0.1", c});
        EXPECT_NE(p.wait_exit(), 0);
        EXPECT_EQ(p.err, "kiv: connect 127.0.0.1:" + c + ": Connection refused\n");
        EXPECT_EQ(p.out, "");
    }
    {
        Proc p = kiv({"connect", "127.0.0.1", c, "--kind", "typed"});
        EXPECT_NE(p.wait_exit(), 0);
        EXPECT_EQ(p.err, "kiv: connect 127.0.0.1:" + c + ": Connection refused\n");
    }
    {
        Listener busy;
        TempDir dir;
        const std::string b = std::to_string(busy.port);
        Proc p = kiv({"listen", b});
        EXPECT_NE(p.wait_exit(), 0);
        EXPECT_EQ(p.err, "kiv: listen on port " + b + ": Address already in use\n");
        Proc r = kiv({"recv-file", b, dir / "never-written"});
        EXPECT_NE(r.wait_exit(), 0);
        EXPECT_EQ(r.err, "kiv: listen on port " + b + ": Address already in use\n");
    }
    {
        Proc p = kiv({"send-file", "127.0.0.1", c, "/nonexistent/file"});
        EXPECT_NE(p.wait_exit(), 0);
        EXPECT_EQ(p.err, "kiv: cannot read /nonexistent/file\n");
    }
    {
        Proc p = kiv({"connect", "127.0.0.1"});  // no port
        EXPECT_EQ(p.wait_exit(), 2);
        EXPECT_EQ(lines(p.err), 1u) << p.err;
    }
    {
        // Nothing to wait for: a path that cannot be written fails before any sender comes.
        Proc p = kiv({"recv-file", "0", "/nonexistent/folder/file"});
        EXPECT_EQ(p.wait_exit(), 1);
        EXPECT_EQ(p.err, "kiv: cannot write /nonexistent/folder/file\n");
        EXPECT_EQ(p.out, "");
    }
}

TEST(CliErrors, RefusalsGiveTheLibrarysReason) {
    Proc server = kiv({"listen", "0", "--typed"});
    ASSERT_GT(server.port_after("listening on "), 0);
    server.send("/set 5 -2");  // the slot is fine: the value's record would hold a 0 byte
    EXPECT_TRUE(server.wait_err("kiv: not set: this integer's record would hold a 0 byte")) << server.err;
    server.send("/set 253 1");
    EXPECT_TRUE(server.wait_err("kiv: not set: a shared-data slot must be 0..251 or 255\n")) << server.err;
    // A malformed KIV_RELAY is named, not blamed on a relay that is not running.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"whoami"}, {"connect", "r", "--kind", "relay"}}) {
        Proc p = kiv(args, {"KIV_RELAY=relay:port"});
        EXPECT_EQ(p.wait_exit(), 1);
        EXPECT_NE(p.err.find(": KIV_RELAY 'relay:port' is not host or host:port"), std::string::npos) << p.err;
        EXPECT_EQ(p.err.find("running"), std::string::npos) << p.err;
    }
}

// A wrong command line: status 2 and one line that gives the reason.
TEST(CliErrors, WrongCommandLineSaysWhyInOneLine) {
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"connect", "127.0.0.1", "abc"}, "kiv: PORT: abc is not a port number (0..65535) (kiv connect --help)"},
        {{"listen", "70000"}, "kiv: PORT: 70000 is not a port number (0..65535) (kiv listen --help)"},
        {{"send-file", "127.0.0.1", "0", "f"}, "kiv: PORT: 0 is not a port number (1..65535) (kiv send-file --help)"},
        {{"recv-file", "0", "f", "--timeout", "soon"}, "kiv: --timeout: soon is not a number of seconds (kiv recv-file --help)"},
        {{"connect", "h", "1", "--kind", "tcp"}, "kiv: --kind: tcp not in {plain,relay,typed,udp} (kiv connect --help)"},
        {{"whoami", "extra"}, "kiv: unexpected extra (kiv whoami --help)"},
        {{"conect", "h", "1"},
         "kiv: unknown command conect (commands: connect, listen, send-file, recv-file, whoami, relay; kiv --help)"},
        {{}, "kiv: a command is needed: connect, listen, send-file, recv-file, whoami or relay (kiv --help)"},
    };
    for (const auto& c : cases) {
        Proc p = kiv(c.args);
        EXPECT_EQ(p.wait_exit(), 2) << c.line;
        EXPECT_EQ(p.err, c.line + "\n");
        EXPECT_EQ(p.out, "");
    }
}

TEST(CliErrors, FullPlayerServerRefusesTheNextPlayer) {
    Proc server = kiv({"listen", "0", "--typed", "--limit", "1"});
    const int port = server.port_after("listening on ");
    ASSERT_GT(port, 0);
    const std::string p = std::to_string(port);
    Proc one = kiv({"connect", "127.0.0.1", p, "--kind", "typed"});
    ASSERT_TRUE(one.wait_out("as player 1\n")) << one.err;
    Proc two = kiv({"connect", "127.0.0.1", p, "--kind", "typed"});
    EXPECT_NE(two.wait_exit(), 0);
    EXPECT_EQ(two.err, "kiv: player server 127.0.0.1:" + p + " is full\n");
}

TEST(CliFiles, FileArrivesWholeWithMatchingHash) {
    TempDir dir;
    const std::string bytes = content(3 * 1024 * 1024 + 17);
    std::ofstream(dir / "src", std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

    Proc recv = kiv({"recv-file", "0", dir / "dst", "--timeout", "60"});
    const int port = recv.port_after("listening on ");
    ASSERT_GT(port, 0) << recv.err;
    Proc send = kiv({"send-file", "127.0.0.1", std::to_string(port), dir / "src"});
    EXPECT_EQ(send.wait_exit(60000), 0) << send.err;
    EXPECT_EQ(recv.wait_exit(60000), 0) << recv.err;
    EXPECT_EQ(fnv1a(read_file(dir / "dst")), fnv1a(bytes));
    EXPECT_NE(send.out.find("delivered " + std::to_string(bytes.size()) + " bytes"), std::string::npos) << send.out;
    // Not a terminal: one summary line each instead of a bar.
    EXPECT_NE(recv.err.find("received " + dir / "dst" + ": " + std::to_string(bytes.size()) + " bytes"),
              std::string::npos)
        << recv.err;
    EXPECT_EQ(lines(recv.err), 1u) << recv.err;
    EXPECT_EQ(lines(send.err), 1u) << send.err;
}

TEST(CliFiles, ReceiverJudgesWhatArrived) {
    TempDir dir;
    {
        // A sender that leaves right after the last byte: the file is whole all the same.
        Proc recv = kiv({"recv-file", "0", dir / "whole", "--timeout", "60"});
        const int port = recv.port_after("listening on ");
        ASSERT_GT(port, 0);
        const int s = test::connect_to(static_cast<uint16_t>(port));
        ASSERT_GE(s, 0);
        ASSERT_EQ(write(s, "12\ntwelve\nbytes", 15), 15);
        close(s);
        EXPECT_EQ(recv.wait_exit(), 0) << recv.err;
        EXPECT_EQ(read_file(dir / "whole"), "twelve\nbytes");
    }
    {
        Proc recv = kiv({"recv-file", "0", dir / "short", "--timeout", "60"});
        const int port = recv.port_after("listening on ");
        ASSERT_GT(port, 0);
        const int s = test::connect_to(static_cast<uint16_t>(port));
        ASSERT_GE(s, 0);
        ASSERT_EQ(write(s, "1000\n0123456789", 15), 15);
        ASSERT_TRUE(recv.wait_out("receiving 1000 bytes"));
        close(s);  // the sender leaves after 10 of 1000 bytes
        EXPECT_EQ(recv.wait_exit(), 1);
        EXPECT_NE(recv.err.find("stopped after 10 of 1000 bytes"), std::string::npos) << recv.err;
    }
    {
        Proc recv = kiv({"recv-file", "0", dir / "none", "--timeout", "60"});
        const int port = recv.port_after("listening on ");
        ASSERT_GT(port, 0);
        Proc talker = kiv({"connect", "127.0.0.1", std::to_string(port)});
        talker.send("not a size");
        EXPECT_EQ(recv.wait_exit(), 1);
        EXPECT_EQ(recv.err, "kiv: expected the file size as the first line, got \"not a size\"\n");
        EXPECT_TRUE(talker.wait_out("closed\n"));
    }
}

TEST(CliFiles, SenderFailsWithoutTheRightConfirmation) {
    TempDir dir;
    std::ofstream(dir / "f", std::ios::binary) << "twelve bytes";
    Listener listener;
    Proc send = kiv({"send-file", "127.0.0.1", std::to_string(listener.port), dir / "f"});
    const test::sock_t peer = listener.accept_one(10000);
    ASSERT_NE(peer, test::kNoSocket);
    // Takes the size and the bytes, then confirms a wrong count.
    EXPECT_EQ(test::read_n(peer, 15, 10000), "12\ntwelve bytes");
    ASSERT_TRUE(test::write_all(peer, "received 5\n"));
    EXPECT_EQ(send.wait_exit(), 1);
    close(peer);
    EXPECT_NE(send.err.find("kiv: the receiver did not confirm the file"), std::string::npos) << send.err;
}

}  // namespace
