// Test support: raw loopback sockets as the other side, and bounded waits.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "kiv.h"

namespace test {

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

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

inline uint16_t port_of(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// Descriptors the process has open now.
inline size_t open_descriptors() {
    size_t n = 0;
    for (int fd = 0; fd < 65536; ++fd) n += fcntl(fd, F_GETFD) != -1;
    return n;
}

// Frees every handle up to `upto`, as a script that closes all it opened.
inline void disconnect_all(int upto = 64) {
    for (int h = 1; h <= upto; ++h) kiv_disconnect(h);
}

// The local port of a connection (for kiv_listen/kiv_connect on port 0).
inline uint16_t port_of_handle(double handle) { return static_cast<uint16_t>(kiv_local_port(handle)); }

// A raw TCP listener on an ephemeral loopback port.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = loopback(0);
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(fd, 64);
        port = port_of(fd);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    // Accepts one client, or -1 after timeout_ms.
    int accept_one(int timeout_ms = 5000) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return -1;
        return ::accept(fd, nullptr, nullptr);
    }
};

inline int connect_to(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

inline bool write_all(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t r = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (r <= 0) return false;
        sent += static_cast<size_t>(r);
    }
    return true;
}

// Reads exactly n bytes, or what arrived before timeout_ms / the peer closed.
inline std::string read_n(int fd, size_t n, int timeout_ms = 5000) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[65536];
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        ssize_t r = recv(fd, buf, want, 0);
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

// Everything that arrives until the line is quiet for quiet_ms (bounded).
inline std::string read_quiet(int fd, int quiet_ms = 100) {
    std::string out;
    char buf[4096];
    for (int i = 0; i < 10000; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) break;
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

// True when the peer closed the connection within timeout_ms (unread bytes
// are skipped).
inline bool peer_closed(int fd, int timeout_ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) return true;
    }
}

inline void reset_close(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

struct Udp {
    int fd = -1;
    uint16_t port = 0;
    Udp() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa = loopback(0);
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        port = port_of(fd);
    }
    ~Udp() { close(fd); }
    void send_to(uint16_t to, const std::string& bytes) const {
        sockaddr_in sa = loopback(to);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    std::string receive(int timeout_ms = 5000) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return "<none>";
        char buf[65536];
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        return r < 0 ? "<error>" : std::string(buf, static_cast<size_t>(r));
    }
};

// Takes the next token of a connection within timeout_ms; "<none>" otherwise.
inline std::string next_token(double handle, int timeout_ms = 5000) {
    if (!wait_until([&] { return kiv_token_receive(handle) == 1.0; }, timeout_ms)) return "<none>";
    return kiv_token_value(handle);
}

// A plain connection to a raw listener: the handle and the accepted raw end.
struct PlainPair {
    Listener listener;
    double handle = 0;
    int peer = -1;
    PlainPair() {
        handle = kiv_connect("127.0.0.1", listener.port, 1);
        peer = listener.accept_one();
    }
    ~PlainPair() {
        if (peer >= 0) close(peer);
    }
};

}  // namespace test
