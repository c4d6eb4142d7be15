// Raw loopback sockets as the other side of a test, and bounded waits; the
// same on POSIX and Winsock, so the Windows build shares every helper.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

namespace test {

#ifdef _WIN32
using sock_t = SOCKET;
constexpr sock_t kNoSocket = INVALID_SOCKET;
inline void close_socket(sock_t s) { closesocket(s); }
// Winsock must be started before the first socket; once per process.
inline void start_sockets() {
    static const bool started = [] {
        WSADATA d;
        return WSAStartup(MAKEWORD(2, 2), &d) == 0;
    }();
    (void)started;
}
#else
using sock_t = int;
constexpr sock_t kNoSocket = -1;
inline void close_socket(sock_t s) { close(s); }
inline void start_sockets() {}
#endif

// A thread joined when it goes out of scope, so that a failed ASSERT in the
// test that started it fails the test instead of ending the process (every
// wait the thread makes has a deadline, so the join ends).
struct Thread : std::thread {
    using std::thread::thread;
    Thread(Thread&&) = default;
    Thread& operator=(Thread&&) = default;
    ~Thread() {
        if (joinable()) join();
    }
};

// Polls cond every millisecond until it holds or timeout_ms passes.
template <typename F>
bool wait_until(F cond, int timeout_ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline int ms_until(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// True when s is ready for `events` (or failed) within timeout_ms.
inline bool ready(sock_t s, short events, int timeout_ms) {
#ifdef _WIN32
    WSAPOLLFD p{s, events, 0};
    return WSAPoll(&p, 1, timeout_ms) > 0;
#else
    pollfd p{s, events, 0};
    return poll(&p, 1, timeout_ms) > 0;
#endif
}

// Something to read (or the end) within timeout_ms.
inline bool readable(sock_t s, int timeout_ms) { return ready(s, POLLIN, timeout_ms); }
// Room for more bytes (or a failure) within timeout_ms.
inline bool writable(sock_t s, int timeout_ms) { return ready(s, POLLOUT, timeout_ms); }

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

inline uint16_t port_of(sock_t s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A socket bound to 127.0.0.1:port (0: the system's choice), closed with
// it; a port nobody listens on while it lives, for SOCK_STREAM.
struct Bound {
    sock_t fd = kNoSocket;
    uint16_t port = 0;
    explicit Bound(int type, uint16_t on = 0) {
        start_sockets();
        fd = socket(AF_INET, type, 0);
        if (on != 0) {
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
        }
        sockaddr_in sa = loopback(on);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close_socket(fd);
            fd = kNoSocket;
            return;
        }
        port = port_of(fd);
    }
    ~Bound() {
        if (fd != kNoSocket) close_socket(fd);
    }
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
};

struct ClosedPort : Bound {
    ClosedPort() : Bound(SOCK_STREAM) {}
};

// A port free right now (the system's choice), for a server that must be
// given one.
inline uint16_t free_port(int type = SOCK_STREAM) { return Bound(type).port; }

// A raw TCP listener on 127.0.0.1 (an ephemeral port unless given one).
struct Listener : Bound {
    explicit Listener(uint16_t on = 0) : Bound(SOCK_STREAM, on) {
        if (fd != kNoSocket) listen(fd, 64);
    }
    // Accepts one client, or kNoSocket after timeout_ms.
    sock_t accept_one(int timeout_ms = 5000) const {
        if (!readable(fd, timeout_ms)) return kNoSocket;
        return ::accept(fd, nullptr, nullptr);
    }
};

// A TCP connection to 127.0.0.1:port with Nagle off, or kNoSocket;
// rcvbuf > 0 fixes a small receive buffer first.
inline sock_t connect_to(uint16_t port, int rcvbuf = 0) {
    start_sockets();
    sock_t fd = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&rcvbuf), sizeof rcvbuf);
    sockaddr_in sa = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close_socket(fd);
        return kNoSocket;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return fd;
}

// Sends what the socket takes now, without waiting: the bytes sent, 0 when
// it is full, -1 when it failed.
inline long send_now(sock_t fd, const char* p, size_t n) {
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(fd, FIONBIO, &on);
    const int r = send(fd, p, static_cast<int>(n), 0);
    const bool full = r < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
    on = 0;
    ioctlsocket(fd, FIONBIO, &on);
#else
    const ssize_t r = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    const bool full = r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
#endif
    return r >= 0 ? static_cast<long>(r) : full ? 0 : -1;
}

inline size_t send_some(sock_t fd, const std::string& bytes) {
    const long r = send_now(fd, bytes.data(), bytes.size());
    return r > 0 ? static_cast<size_t>(r) : 0;
}

// Sends all of bytes; false when the socket failed or took nothing more
// for timeout_ms (a peer that stopped reading never hangs the test).
inline bool write_all(sock_t fd, const std::string& bytes, int timeout_ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t sent = 0;
    while (sent < bytes.size()) {
        const long r = send_now(fd, bytes.data() + sent, bytes.size() - sent);
        if (r < 0) return false;
        sent += static_cast<size_t>(r);
        if (sent < bytes.size() && !writable(fd, ms_until(deadline))) return false;
    }
    return true;
}

// Reads exactly n bytes, or what arrived before timeout_ms / the peer closed.
inline std::string read_n(sock_t fd, size_t n, int timeout_ms = 5000) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    static thread_local char buf[65536];
    while (out.size() < n) {
        const int left = ms_until(deadline);
        if (left <= 0 || !readable(fd, left)) break;
        const size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        const auto r = recv(fd, buf, static_cast<int>(want), 0);
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

// Everything that arrives until the line is quiet for quiet_ms (bounded).
inline std::string read_quiet(sock_t fd, int quiet_ms = 100) {
    std::string out;
    char buf[4096];
    for (int i = 0; i < 10000 && readable(fd, quiet_ms); ++i) {
        const auto r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

// True when the peer closed the connection (end or reset) within timeout_ms;
// unread bytes are skipped.
inline bool peer_closed(sock_t fd, int timeout_ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    for (;;) {
        const int left = ms_until(deadline);
        if (left <= 0 || !readable(fd, left)) return false;
        if (recv(fd, buf, sizeof buf, 0) <= 0) return true;
    }
}

// Closes with a reset instead of an orderly end.
inline void reset_close(sock_t fd) {
    struct linger l {};
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    close_socket(fd);
}

// A raw UDP socket on an ephemeral loopback port.
struct Udp : Bound {
    Udp() : Bound(SOCK_DGRAM) {}
    bool send_to(uint16_t to, const std::string& bytes) const {
        sockaddr_in sa = loopback(to);
        return sendto(fd, bytes.data(), static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&sa),
                      sizeof sa) == static_cast<int>(bytes.size());
    }
    // One datagram; "<none>" after timeout_ms.
    std::string receive(int timeout_ms = 5000) const {
        if (!readable(fd, timeout_ms)) return "<none>";
        static thread_local char buf[65536];
        const auto r = recv(fd, buf, sizeof buf, 0);
        return r < 0 ? "<error>" : std::string(buf, static_cast<size_t>(r));
    }
};

}  // namespace test
