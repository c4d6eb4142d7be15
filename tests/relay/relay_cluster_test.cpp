// Tests for kiv-relay instances sharing sessions through a real nats-server on loopback.
#include <gtest/gtest.h>

#include "support/relay.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <memory>

namespace {

using namespace relaytest;

std::string nats_binary() {
    for (const char* p : {"/usr/sbin/nats-server", "/usr/bin/nats-server", "/usr/local/bin/nats-server"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

// nats-server with JetStream on loopback, on a port and a store folder that survive a restart.
class Nats {
public:
    explicit Nats(int port) : port_(port), store_("kiv-relay-test") { start(); }
    bool ready() const { return server_ && server_->running(); }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

    void start() {
        server_ = std::make_unique<test::Process>(std::vector<std::string>{
            nats_binary(), "-a", "127.0.0.1", "-p", std::to_string(port_), "-js", "-sd", store_.path});
        if (!server_->wait_err("Server is ready", kWaitMs))
            stop();
    }
    void stop() { server_.reset(); }

private:
    int port_;
    test::TempDir store_;
    std::unique_ptr<test::Process> server_;
};

class RelayCluster : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef KIV_RELAY_HAVE_NATS
        GTEST_SKIP() << "kiv-relay was built without the NATS client (Debian: libnats-dev): cluster tests skipped";
#endif
        if (nats_binary().empty())
            GTEST_SKIP() << "nats-server is not installed (Debian: nats-server): cluster tests skipped";
        nats_ = std::make_unique<Nats>(test::free_port());
        ASSERT_TRUE(nats_->ready()) << "nats-server did not start";
    }

    // An instance with a short heartbeat, so that a vanished one expires quickly.
    std::unique_ptr<RelayProcess> instance() {
        auto r = std::make_unique<RelayProcess>(std::vector<std::string>{
            "--cluster", nats_->url(), "--cluster-name", "t", "--cluster-heartbeat", "0.5", "--stats"});
        EXPECT_GT(r->port(), 0);
        return r;
    }

    // Waits until a client joining `session` on `port` is told `others`. Each probe leaves
    // with a goodbye, so it does not stay counted.
    static bool count_becomes(int port, const std::string& session, const std::string& others) {
        auto deadline = Clock::now() + kWait;
        while (Clock::now() < deadline) {
            Conn probe(port);
            std::string answer = probe.join(session);
            probe.send("`\n");
            probe.closed();
            if (answer == others)
                return true;
        }
        return false;
    }

    // Sends numbered marker lines from `from` until `to` reads one, then returns the
    // marker's text; lines before it (sent while the link was down) are skipped.
    static std::string reach(Conn& from, Conn& to, const std::string& tag) {
        auto deadline = Clock::now() + kWait;
        for (int i = 0; Clock::now() < deadline; ++i) {
            std::string marker = tag + std::to_string(i);
            from.send(marker + "\n");
            std::string l;
            while ((l = to.line_within(std::chrono::milliseconds(50))) != kTimeout)
                if (l.rfind(tag, 0) == 0)
                    return l;
        }
        return kTimeout;
    }

    std::unique_ptr<Nats> nats_;
};

TEST_F(RelayCluster, MembersOnDifferentInstancesMeetAndTalk) {
    auto A = instance(), B = instance(), C = instance();
    Conn a(A->port()), b(B->port()), c(C->port());
    // Each count is exact the moment the previous join was answered.
    ASSERT_EQ(a.join("room"), "0");
    ASSERT_EQ(b.join("room"), "1") << "the count is not global";
    ASSERT_EQ(c.join("room"), "2");
    Conn a2(A->port());
    EXPECT_EQ(a2.join("room"), "3") << "local and remote members both count";

    // Each sender's lines arrive in order, once, at every other member, never back at it.
    std::string burst;
    for (int i = 0; i < 500; ++i)
        burst += seq_line('a', i, 200) + "\n";
    ASSERT_TRUE(a.send(burst));
    ASSERT_TRUE(b.send("from b\n"));
    for (Conn* m : {&b, &c, &a2}) {
        int next = 0;
        bool heard_b = m == &b;
        while (next < 500 || !heard_b) {
            std::string l = m->line();
            if (l == "from b" && !heard_b) {
                heard_b = true;
                continue;
            }
            ASSERT_EQ(l, seq_line('a', next, 200));
            ++next;
        }
    }
    EXPECT_EQ(a.line(), "from b") << "a's own lines must not come back to it";
    ASSERT_TRUE(c.send("last\n"));
    for (Conn* m : {&a, &b, &a2})
        EXPECT_EQ(m->line(), "last") << "nothing twice, nothing else in between";

    // Names are carried whatever bytes they hold; sessions stay apart across instances.
    const std::string odd("\0.>*\xff room", 10);
    Conn x(A->port()), y(C->port());
    ASSERT_EQ(x.join(odd), "0");
    ASSERT_EQ(y.join(odd), "1");
    ASSERT_TRUE(y.send("odd one\n"));
    EXPECT_EQ(x.line(), "odd one");
    // The longest line and a long name fit no single NATS message, yet arrive whole.
    const std::string longest(kMaxLine, 'L');
    ASSERT_TRUE(y.send(longest + "\n"));
    EXPECT_TRUE(x.line() == longest) << "the longest line did not cross whole";
    const std::string long_name(kMaxLine / 2 + 1, 'n');
    Conn u(B->port()), v(C->port());
    ASSERT_EQ(u.join(long_name), "0");
    ASSERT_EQ(v.join(long_name), "1");
    ASSERT_TRUE(u.send("long name\n"));
    EXPECT_EQ(v.line(), "long name");
    ASSERT_TRUE(b.send("room again\n"));
    EXPECT_EQ(c.line(), "room again") << "c must not have heard the other session";

    // The address query is answered by the instance reached.
    Conn q(B->port());
    q.line();
    ASSERT_TRUE(q.send("IPADDRESS\n"));
    EXPECT_EQ(q.line(), "127.0.0.1");
    for (auto* r : {A.get(), B.get(), C.get()}) {
        EXPECT_EQ(r->stop(), 0) << r->errors();
        const std::string& log = r->errors();
        auto up = log.find("sharing sessions as 't'");
        EXPECT_NE(up, std::string::npos) << "the link coming up was not reported:\n" << log;
        EXPECT_EQ(log.find("sharing sessions", up + 1), std::string::npos) << log;
    }
}

// Lines of a session reach only the instances with members in it, and members joining one
// session at once on three instances are told 0, 1, 2, ... each exactly once.
TEST_F(RelayCluster, RoutesByInterestAndCountsSimultaneousJoinsExactly) {
    auto A = instance(), B = instance(), C = instance();
    std::vector<std::unique_ptr<Conn>> crowd;
    for (int round = 0; round < 3; ++round) {
        const std::string name = "crowd" + std::to_string(round);
        std::vector<std::unique_ptr<Conn>> joiners;
        for (int i = 0; i < 6; ++i) {
            joiners.push_back(std::make_unique<Conn>((i % 3 == 0 ? A : i % 3 == 1 ? B : C)->port()));
            ASSERT_EQ(joiners.back()->line(), "kiv-relay 1");
        }
        for (auto& j : joiners)
            ASSERT_TRUE(j->send(name + "\n"));
        std::vector<std::string> answers;
        for (auto& j : joiners)
            answers.push_back(j->line());
        std::sort(answers.begin(), answers.end());
        EXPECT_EQ(answers, (std::vector<std::string>{"0", "1", "2", "3", "4", "5"})) << "round " << round;
        for (auto& j : joiners)
            crowd.push_back(std::move(j));
    }

    // C serves the crowds but nobody in "busy": none of its lines reach C.
    Conn a(A->port()), b(B->port());
    ASSERT_EQ(a.join("busy"), "0");
    ASSERT_EQ(b.join("busy"), "1");
    std::string burst;
    for (int i = 0; i < 200; ++i)
        burst += seq_line('a', i, 100) + "\n";
    ASSERT_TRUE(a.send(burst));
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(b.line(), seq_line('a', i, 100));
    // B drops its interest in a session with each leave and takes it up again with each
    // join: a line is never lost or doubled by the subscription still draining.
    Conn a2(A->port());
    ASSERT_EQ(a2.join("churn"), "0");
    for (int round = 0; round < 30; ++round) {
        Conn b2(B->port());
        ASSERT_EQ(b2.join("churn"), "1");
        const std::string n = std::to_string(round);
        ASSERT_TRUE(a2.send("x" + n + "\nend" + n + "\n"));
        ASSERT_EQ(b2.line(), "x" + n);
        ASSERT_EQ(b2.line(), "end" + n);
        b2.send("`\n");
        ASSERT_TRUE(b2.closed());
    }
    EXPECT_EQ(B->stop(), 0) << B->errors();
    EXPECT_EQ(C->stop(), 0) << C->errors();
    EXPECT_EQ(B->errors().find("lines_received=0 "), std::string::npos) << B->errors();
    EXPECT_NE(C->errors().find("lines_received=0 "), std::string::npos) << "C got lines it serves nobody:\n"
                                                                       << C->errors();
    EXPECT_EQ(A->stop(), 0) << A->errors();
}

TEST_F(RelayCluster, SurvivesAnInstanceDyingAndTheNatsServerRestarting) {
    auto A = instance(), B = instance(), C = instance();
    Conn a(A->port()), a_local(A->port()), b(B->port()), c(C->port());
    a.join("room");
    ASSERT_TRUE(count_becomes(B->port(), "room", "1"));
    b.join("room");
    ASSERT_TRUE(count_becomes(C->port(), "room", "2"));
    c.join("room");
    ASSERT_TRUE(count_becomes(A->port(), "room", "3"));

    // A dead instance takes only its own clients.
    EXPECT_NE(C->stop(SIGKILL), 0);
    EXPECT_TRUE(c.closed());
    ASSERT_TRUE(b.send("still here\n"));
    EXPECT_EQ(a.line(), "still here");
    EXPECT_TRUE(count_becomes(A->port(), "room", "2")) << "C's member was never forgotten";
    a_local.join("room");

    // Without NATS each instance serves its own members and says so once.
    nats_->stop();
    ASSERT_TRUE(A->wait_error("no NATS server"));
    ASSERT_TRUE(B->wait_error("no NATS server"));
    ASSERT_TRUE(a.send("local only\n"));
    EXPECT_EQ(a_local.line(), "local only");

    nats_->start();
    ASSERT_TRUE(nats_->ready());
    ASSERT_TRUE(A->wait_error("is back"));
    ASSERT_TRUE(B->wait_error("is back"));
    EXPECT_EQ(reach(b, a, "b-again-").rfind("b-again-", 0), 0u) << "lines did not cross instances after the restart";
    EXPECT_EQ(reach(a, b, "a-again-").rfind("a-again-", 0), 0u);
    EXPECT_TRUE(count_becomes(B->port(), "room", "3")) << "counts did not recover after the restart";
    for (auto* r : {A.get(), B.get()}) {
        const std::string& log = r->errors();
        auto first = log.find("no NATS server");
        EXPECT_EQ(log.find("no NATS server", first + 1), std::string::npos) << "reported more than once:\n" << log;
        EXPECT_EQ(r->stop(), 0) << r->errors();
    }
}

TEST(RelayClusterOption, UnusableClusterOptionsAreRefused) {
#ifdef KIV_RELAY_HAVE_NATS
    RelayProcess bad({"--cluster", "nats://127.0.0.1:1", "--cluster-name", "no spaces"});
    EXPECT_EQ(bad.port(), 0);
    EXPECT_EQ(bad.stop(SIGTERM), 2);
    EXPECT_NE(bad.errors().find("--cluster-name"), std::string::npos) << bad.errors();
#endif
    RelayProcess nameless({"--cluster-name", "lonely"});
    EXPECT_EQ(nameless.port(), 0);
    EXPECT_EQ(nameless.stop(SIGTERM), 2);
    EXPECT_NE(nameless.errors().find("--cluster-name needs --cluster"), std::string::npos) << nameless.errors();
#ifndef KIV_RELAY_HAVE_NATS
    RelayProcess unsupported({"--cluster", "nats://127.0.0.1:4222"});
    EXPECT_EQ(unsupported.port(), 0);
    EXPECT_EQ(unsupported.stop(SIGTERM), 2);
    EXPECT_NE(unsupported.errors().find("libnats-dev"), std::string::npos) << unsupported.errors();
#endif
}

} // namespace
