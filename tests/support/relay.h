// Test support for the relay service: kiv-relay as a child process, a raw
// line client, and KIV_RELAY pointing the library at a service.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "process.h"
#include "sockets.h"

namespace relaytest {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(20); // generous: sanitizer builds are slow
constexpr int kWaitMs = 20000;
const std::string kTimeout = "<<timeout>>";
const std::string kClosed = "<<closed>>";
constexpr std::size_t kMaxLine = 1024 * 1024;

inline int ms_left(Clock::time_point deadline) { return test::ms_until(deadline); }

inline std::string relay_binary() {
    if (const char* env = std::getenv("KIV_RELAY_BIN"))
        return env;
#ifdef KIV_RELAY_BIN
    return KIV_RELAY_BIN;
#else
    return "kiv-relay";
#endif
}

// kiv-relay as a child process, on a free port unless given one. stop()
// reports how it ended; one never stopped is killed.
class RelayProcess : public test::Process {
public:
    explicit RelayProcess(std::vector<std::string> extra = {}, int on = 0) : Process(args(extra, on)) {
        if (started())
            port_ = port_after("listening on ", kWaitMs);
    }
    int port() const { return port_; }
    // Waits until stderr holds `text`.
    bool wait_error(const std::string& text) { return wait_err(text, kWaitMs); }

private:
    static std::vector<std::string> args(const std::vector<std::string>& extra, int on) {
        std::vector<std::string> a{relay_binary(), "--port", std::to_string(on), "--quiet"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    int port_ = 0;
};

// The service for the library's relay connections: it must be up where
// asked and end cleanly on SIGTERM.
struct RealRelay : RelayProcess {
    const uint16_t port;
    explicit RealRelay(uint16_t on = 0) : RelayProcess({}, on), port(static_cast<uint16_t>(RelayProcess::port())) {
        EXPECT_NE(port, 0) << out << err;
        if (on != 0) {
            EXPECT_EQ(port, on) << out << err;
        }
    }
    ~RealRelay() { EXPECT_EQ(stop(), 0) << errors(); }
};

// Points the library at the service through KIV_RELAY while it lives.
struct RelayEnv {
    explicit RelayEnv(uint16_t port) { set("127.0.0.1:" + std::to_string(port)); }
    explicit RelayEnv(const std::string& value) { set(value); }
    ~RelayEnv() { unsetenv("KIV_RELAY"); }
    static void set(const std::string& value) { setenv("KIV_RELAY", value.c_str(), 1); }
};

// A raw client. Reading and sending touch separate state, so one thread may read
// while another sends.
class Conn {
public:
    explicit Conn(int port, int rcvbuf = 0) {
        fd_ = test::connect_to(static_cast<std::uint16_t>(port), rcvbuf);
    }
    ~Conn() { drop(); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Bytes taken per read: a few make a reader much slower than any sender.
    void read_size(std::size_t n) { read_size_ = std::min<std::size_t>(n, 65536); }
    void drop() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    void reset() {
        if (fd_ >= 0)
            test::reset_close(fd_);
        fd_ = -1;
    }

    void half_close() { shutdown(fd_, SHUT_WR); }

    bool send(const std::string& data) { return test::write_all(fd_, data, kWaitMs); }

    // The next line without its "\n", or kTimeout / kClosed.
    std::string line() { return line_within(kWait); }
    std::string line_within(Clock::duration wait) {
        auto deadline = Clock::now() + wait;
        while (true) {
            auto nl = in_.find('\n');
            if (nl != std::string::npos) {
                std::string l = in_.substr(0, nl);
                in_.erase(0, nl + 1);
                return l;
            }
            int r = fill(deadline);
            if (r == 0)
                return kTimeout;
            if (r < 0)
                return kClosed;
        }
    }

    // Discards input until the relay closes the connection; counts the lines seen.
    bool closed(std::size_t* lines = nullptr) {
        auto deadline = Clock::now() + kWait;
        int r;
        while ((r = fill(deadline)) > 0) {
            if (lines) {
                for (char c : in_)
                    *lines += c == '\n';
                in_.clear();
            }
        }
        return r < 0;
    }

    // Skips the greeting, names the session and returns the relay's answer.
    std::string join(const std::string& session) {
        line();
        send(session + "\n");
        return line();
    }

private:
    // 1: got data, 0: deadline passed, -1: closed or reset.
    int fill(Clock::time_point deadline) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) != 1)
            return 0;
        char buf[65536];
        ssize_t n = recv(fd_, buf, read_size_, 0);
        if (n <= 0)
            return n < 0 && errno == EINTR ? 1 : -1;
        in_.append(buf, static_cast<std::size_t>(n));
        return 1;
    }

    int fd_ = -1;
    std::size_t read_size_ = 65536;
    std::string in_;
};

inline std::string seq_line(char who, int i, std::size_t width) {
    std::string s = std::string(1, who) + std::to_string(i) + " ";
    s.resize(width, '.');
    return s;
}


} // namespace relaytest
