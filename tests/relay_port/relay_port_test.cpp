// Relay connections and the address query: fake services and the real kiv-relay on port 9713.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "support.h"

extern char** environ;

using test::next_token;
using test::read_n;
using test::write_all;

namespace {

constexpr uint16_t kRelayPort = 9713;

// A raw listener on the relay port, standing in for the service.
struct FakeRelay {
    int fd = -1;
    FakeRelay() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = test::loopback(kRelayPort);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << "port 9713 busy";
        listen(fd, 16);
    }
    ~FakeRelay() { close(fd); }
    int accept_one(int timeout_ms = 5000) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return -1;
        return ::accept(fd, nullptr, nullptr);
    }
};

// The real relay service as a child process on the relay port.
struct RealRelay {
    pid_t pid = -1;
    RealRelay() {
        std::vector<std::string> args{KIV_RELAY_BIN, "--port", "9713", "--quiet"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        // Ready once it says where it listens.
        std::string said;
        char buf[64];
        pollfd pf{out[0], POLLIN, 0};
        while (said.find('\n') == std::string::npos && poll(&pf, 1, 10000) > 0) {
            ssize_t r = read(out[0], buf, sizeof buf);
            if (r <= 0) break;
            said.append(buf, static_cast<size_t>(r));
        }
        EXPECT_NE(said.find("listening on 9713"), std::string::npos) << said;
        close(out[0]);
    }
    ~RealRelay() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
    }
};

TEST(RelayConnection, HandshakeAndGoodbyeBytes) {
    FakeRelay relay;
    std::string seen_before_greeting, host_line, goodbye;
    std::thread service([&] {
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
    std::thread service([&] {
        int a = relay.accept_one();
        write_all(a, "greeting\n");
        read_n(a, 5);
        close(a);  // leaves before its answer
    });
    EXPECT_EQ(kiv_connect("room", 0, 2), 0);
    EXPECT_EQ(kiv::frame::table_count(), 0u);
    service.join();
}

TEST(AddressQuery, AgainstFakeServices) {
    FakeRelay relay;
    std::string asked, goodbye;
    std::thread service([&] {
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
    std::thread service([&] {
        int a = relay.accept_one();
        test::read_quiet(a, 7000);
        close(a);
    });
    EXPECT_STREQ(kiv_ipaddress(-1, 0), "");
    service.join();
}

TEST(AddressQuery, NoServiceAtAll) { EXPECT_STREQ(kiv_ipaddress(-1, 0), ""); }

TEST(AddressQuery, LiveConnectionGivesItsPeerWithoutAQuery) {
    FakeRelay relay;
    test::PlainPair p;
    EXPECT_STREQ(kiv_ipaddress(0, 0), "127.0.0.1");
    EXPECT_EQ(relay.accept_one(100), -1);
}

TEST(RealRelay, ScriptsMeetInASessionAndAskTheirAddress) {
    RealRelay relay;
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
}

}  // namespace
