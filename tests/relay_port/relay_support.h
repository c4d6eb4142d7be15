// Test support for relay connections and the address query: a fake service, the real kiv-relay, KIV_RELAY.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support.h"

extern char** environ;

namespace relaytest {

// Points the library at 127.0.0.1:port through KIV_RELAY while it lives.
struct RelayEnv {
    explicit RelayEnv(uint16_t port) { set("127.0.0.1:" + std::to_string(port)); }
    explicit RelayEnv(const std::string& value) { set(value); }
    ~RelayEnv() { unsetenv("KIV_RELAY"); }
    static void set(const std::string& value) { setenv("KIV_RELAY", value.c_str(), 1); }
};

// A raw listener standing in for the service: on a free port unless given one.
struct FakeRelay {
    int fd = -1;
    uint16_t port = 0;
    explicit FakeRelay(uint16_t on = 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = test::loopback(on);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << "port " << on << " busy";
        listen(fd, 16);
        port = test::port_of(fd);
    }
    ~FakeRelay() { close(fd); }
    int accept_one(int timeout_ms = 5000) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return -1;
        return ::accept(fd, nullptr, nullptr);
    }
};

// A port nobody listens on while it lives: bound, never listening.
struct ClosedPort {
    int fd = -1;
    uint16_t port = 0;
    ClosedPort() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = test::loopback(0);
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        port = test::port_of(fd);
    }
    ~ClosedPort() { close(fd); }
};

// The real relay service as a child process; port 0 lets it pick a free one.
struct RealRelay {
    pid_t pid = -1;
    uint16_t port = 0;
    explicit RealRelay(uint16_t on = 0) {
        std::vector<std::string> args{KIV_RELAY_BIN, "--port", std::to_string(on), "--quiet"};
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
        close(out[0]);
        const size_t at = said.find("listening on ");
        EXPECT_NE(at, std::string::npos) << said;
        if (at != std::string::npos) port = static_cast<uint16_t>(std::atoi(said.c_str() + at + 13));
        if (on != 0) {
            EXPECT_EQ(port, on) << said;
        }
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

}  // namespace relaytest
