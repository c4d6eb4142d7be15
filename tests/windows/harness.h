// Test harness for the Windows programs: checks and counts, bounded waits, a watchdog, raw Winsock peers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace wt {

// ---- Checks: a test fails when any of its checks fails; the program counts tests. ----

struct Counts {
    int passed = 0;
    int failed = 0;
    int skipped = 0;
    bool current_ok = true;
    const char* current = "";
};

inline Counts& counts() {
    static Counts c;
    return c;
}

inline void fail_note(const char* file, int line, const std::string& what) {
    counts().current_ok = false;
    std::printf("    %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}

#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) ::wt::fail_note(__FILE__, __LINE__, "failed: " #cond); \
    } while (0)

#define CHECK_EQ_STR(actual, expected)                                                                   \
    do {                                                                                                 \
        const std::string a_ = (actual), e_ = (expected);                                                \
        if (a_ != e_)                                                                                    \
            ::wt::fail_note(__FILE__, __LINE__,                                                          \
                            std::string(#actual) + " is \"" + ::wt::printable(a_) + "\", expected \"" + \
                                ::wt::printable(e_) + "\"");                                             \
    } while (0)

#define CHECK_EQ_NUM(actual, expected)                                                                     \
    do {                                                                                                   \
        const double a_ = (actual), e_ = (expected);                                                       \
        if (a_ != e_)                                                                                      \
            ::wt::fail_note(__FILE__, __LINE__,                                                            \
                            std::string(#actual) + " is " + std::to_string(a_) + ", expected " +          \
                                std::to_string(e_));                                                       \
    } while (0)

// Bytes as readable text: control and high bytes as \xNN, long runs cut.
inline std::string printable(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size() && i < 200; ++i) {
        const unsigned char ch = static_cast<unsigned char>(s[i]);
        if (ch >= 32 && ch < 127 && ch != '\\') {
            out += static_cast<char>(ch);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", ch);
            out += buf;
        }
    }
    if (s.size() > 200) out += "...(" + std::to_string(s.size()) + " bytes)";
    return out;
}

// ---- Watchdog: a test that hangs ends the program with a failure instead. ----

inline std::atomic<long long>& watchdog_deadline() {
    static std::atomic<long long> d{0};
    return d;
}

inline long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void arm_watchdog(int seconds) { watchdog_deadline().store(now_ms() + seconds * 1000LL); }

inline void start_watchdog() {
    std::thread([] {
        for (;;) {
            Sleep(100);
            const long long d = watchdog_deadline().load();
            if (d != 0 && now_ms() > d) {
                const Counts& c = counts();
                std::printf("FAIL %s: watchdog: no progress before its deadline, stopping\n", c.current);
                std::printf("%d passed, %d failed\n", c.passed, c.failed + 1);
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        }
    }).detach();
}

template <typename F>
void run_test(const char* name, F body, int watchdog_seconds = 60) {
    Counts& c = counts();
    c.current = name;
    c.current_ok = true;
    arm_watchdog(watchdog_seconds);
    body();
    if (c.current_ok) {
        ++c.passed;
        std::printf("PASS %s\n", name);
    } else {
        ++c.failed;
        std::printf("FAIL %s\n", name);
    }
    std::fflush(stdout);
}

inline void skip_test(const char* name, const char* why) {
    ++counts().skipped;
    std::printf("SKIP %s: %s\n", name, why);
    std::fflush(stdout);
}

// Prints the closing line; the exit status is 0 only when every test passed.
inline int finish() {
    watchdog_deadline().store(0);
    const Counts& c = counts();
    if (c.skipped)
        std::printf("%d passed, %d failed, %d skipped\n", c.passed, c.failed, c.skipped);
    else
        std::printf("%d passed, %d failed\n", c.passed, c.failed);
    std::fflush(stdout);
    return c.failed == 0 && c.passed > 0 ? 0 : 1;
}

// Polls cond every millisecond until it holds or timeout_ms passes.
template <typename F>
bool wait_until(F cond, int timeout_ms = 5000) {
    const long long deadline = now_ms() + timeout_ms;
    while (!cond()) {
        if (now_ms() >= deadline) return false;
        Sleep(1);
    }
    return true;
}

// ---- Raw Winsock peers on 127.0.0.1 ----

struct Winsock {
    Winsock() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
    ~Winsock() { WSACleanup(); }
};

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

inline uint16_t port_of(SOCKET s) {
    sockaddr_in sa{};
    int len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A port nobody uses right now (the system's choice for a bound socket).
inline uint16_t free_port(int type) {
    SOCKET s = socket(AF_INET, type, 0);
    sockaddr_in sa = loopback(0);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    const uint16_t port = port_of(s);
    closesocket(s);
    return port;
}
inline uint16_t free_tcp_port() { return free_port(SOCK_STREAM); }
inline uint16_t free_udp_port() { return free_port(SOCK_DGRAM); }

inline bool readable(SOCKET s, int timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) > 0;
}

struct Raw {
    SOCKET s = INVALID_SOCKET;
    Raw() = default;
    explicit Raw(SOCKET v) : s(v) {}
    Raw(Raw&& o) noexcept : s(o.s) { o.s = INVALID_SOCKET; }
    Raw& operator=(Raw&& o) noexcept {
        close();
        s = o.s;
        o.s = INVALID_SOCKET;
        return *this;
    }
    ~Raw() { close(); }
    void close() {
        if (s != INVALID_SOCKET) closesocket(s);
        s = INVALID_SOCKET;
    }
    bool ok() const { return s != INVALID_SOCKET; }

    bool write_all(const std::string& bytes) const {
        size_t sent = 0;
        while (sent < bytes.size()) {
            int r = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (r <= 0) return false;
            sent += static_cast<size_t>(r);
        }
        return true;
    }
    // Exactly n bytes, or what arrived before timeout_ms or the peer closed.
    std::string read_n(size_t n, int timeout_ms = 5000) const {
        std::string out;
        const long long deadline = now_ms() + timeout_ms;
        static char buf[65536];
        while (out.size() < n) {
            const long long left = deadline - now_ms();
            if (left <= 0 || !readable(s, static_cast<int>(left))) break;
            const size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
            int r = recv(s, buf, static_cast<int>(want), 0);
            if (r <= 0) break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
    // True when the peer closed (end of stream or reset) before timeout_ms.
    bool peer_closed(int timeout_ms = 5000) const {
        const long long deadline = now_ms() + timeout_ms;
        char buf[4096];
        for (;;) {
            const long long left = deadline - now_ms();
            if (left <= 0 || !readable(s, static_cast<int>(left))) return false;
            if (recv(s, buf, sizeof buf, 0) <= 0) return true;
        }
    }
};

struct RawListener {
    Raw sock;
    uint16_t port = 0;
    RawListener() {
        sock = Raw(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in sa = loopback(0);
        bind(sock.s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(sock.s, 16);
        port = port_of(sock.s);
    }
    Raw accept_one(int timeout_ms = 5000) const {
        if (!readable(sock.s, timeout_ms)) return Raw();
        return Raw(accept(sock.s, nullptr, nullptr));
    }
};

inline Raw raw_connect(uint16_t port) {
    Raw r(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sa = loopback(port);
    if (connect(r.s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return Raw();
    BOOL one = TRUE;
    setsockopt(r.s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return r;
}

struct RawUdp {
    Raw sock;
    uint16_t port = 0;
    RawUdp() {
        sock = Raw(socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in sa = loopback(0);
        bind(sock.s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        port = port_of(sock.s);
    }
    bool send_to(uint16_t to, const std::string& bytes) const {
        sockaddr_in sa = loopback(to);
        return sendto(sock.s, bytes.data(), static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&sa),
                      sizeof sa) == static_cast<int>(bytes.size());
    }
    // One datagram, or "" after timeout_ms.
    std::string receive(int timeout_ms = 5000) const {
        static char buf[65536];
        if (!readable(sock.s, timeout_ms)) return std::string();
        int r = recv(sock.s, buf, sizeof buf, 0);
        return r > 0 ? std::string(buf, static_cast<size_t>(r)) : std::string();
    }
};

}  // namespace wt
