// The platform layer over POSIX sockets (Linux and other Unix systems).
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "frame/platform/platform.h"

namespace kiv::platform {

namespace {

std::atomic<int> g_startups{0};

sockaddr_in make_sockaddr(uint32_t addr, uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return sa;
}

bool would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

void make_ready(int s) {
    int flags = fcntl(s, F_GETFL, 0);
    if (flags >= 0) fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void sys_startup() { g_startups.fetch_add(1); }
void sys_cleanup() { g_startups.fetch_sub(1); }

socket_t sys_open_stream() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? invalid_socket : s;
}

socket_t sys_open_datagram() {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    return s < 0 ? invalid_socket : s;
}

bool sys_connect(socket_t s, uint32_t addr, uint16_t port) {
    if (s == invalid_socket) return false;
    sockaddr_in sa = make_sockaddr(addr, port);
    int r = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r < 0 && errno == EINTR) {
        // The connect goes on in the background: wait for its outcome.
        pollfd p{s, POLLOUT, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
        r = err == 0 ? 0 : -1;
    }
    if (r < 0) return false;
    make_ready(s);
    return true;
}

bool sys_bind(socket_t s, uint32_t addr, uint16_t port) {
    if (s == invalid_socket) return false;
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM) {
        // A restarted server must not wait out the old one's TIME_WAIT; a port
        // another socket listens on is still refused.
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in sa = make_sockaddr(addr, port);
    return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool sys_listen(socket_t s, int backlog) { return s != invalid_socket && ::listen(s, backlog) == 0; }

bool sys_set_nonblocking(socket_t s) {
    int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool sys_set_multicast_loop_off(socket_t s) {
    unsigned char off = 0;
    return setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off) == 0;
}

socket_t sys_accept(socket_t listener) {
    if (listener == invalid_socket) return invalid_socket;
    for (;;) {
        int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0) {
            make_ready(s);
            return s;
        }
        // A client that reset while queued is skipped, not taken for "nobody waits".
        if (errno == ECONNABORTED || errno == EINTR) continue;
        return invalid_socket;
    }
}

size_t sys_bytes_ready(socket_t s) {
    int n = 0;
    if (::ioctl(s, FIONREAD, &n) < 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

Io sys_recv(socket_t s, void* buf, size_t n, bool peek) {
    ssize_t r = ::recv(s, buf, n, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
    if (r > 0) return {Status::ok, static_cast<size_t>(r)};
    if (r == 0) return {n == 0 ? Status::ok : Status::closed, 0};
    return {would_block(errno) ? Status::would_block : Status::error, 0};
}

Io sys_recvfrom(socket_t s, void* buf, size_t n, uint32_t* from) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    std::memset(&sa, 0, sizeof sa);
    ssize_t r = ::recvfrom(s, buf, n, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
    if (r < 0) return {would_block(errno) ? Status::would_block : Status::error, 0};
    if (from) *from = sa.sin_addr.s_addr;
    return {Status::ok, static_cast<size_t>(r)};
}

Io sys_send(socket_t s, const void* buf, size_t n, bool more) {
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
#ifdef MSG_MORE
    if (more) flags |= MSG_MORE;
#else
    (void)more;
#endif
    ssize_t r = ::send(s, buf, n, flags);
    if (r >= 0) return {Status::ok, static_cast<size_t>(r)};
    return {would_block(errno) ? Status::would_block : Status::error, 0};
}

Io sys_sendto(socket_t s, const void* buf, size_t n, uint32_t addr, uint16_t port) {
    sockaddr_in sa = make_sockaddr(addr, port);
    ssize_t r = ::sendto(s, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r >= 0) return {Status::ok, static_cast<size_t>(r)};
    return {would_block(errno) ? Status::would_block : Status::error, 0};
}

Probe sys_probe(socket_t s) {
    if (s == invalid_socket) return Probe::dead;
    if (::send(s, "", 0, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && !would_block(errno)) return Probe::dead;
    // A zero-byte send keeps succeeding after an orderly close, so look at
    // the read side as well: end of stream with nothing left to read means
    // the peer has gone.
    char c;
    ssize_t r = ::recv(s, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r > 0) return Probe::alive;
    if (r == 0) return Probe::closed;
    return would_block(errno) ? Probe::idle : Probe::dead;
}

bool sys_peer_address(socket_t s, uint32_t* addr) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) return false;
    *addr = sa.sin_addr.s_addr;
    return true;
}

bool sys_local_port(socket_t s, uint16_t* port) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) return false;
    *port = ntohs(sa.sin_port);
    return true;
}

bool sys_resolve(const char* name, uint32_t* addr) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return false;
    bool ok = false;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addr) {
            *addr = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
            ok = true;
            break;
        }
    }
    ::freeaddrinfo(res);
    return ok;
}

void sys_close(socket_t s) {
    if (s != invalid_socket) ::close(s);
}

bool wait_for(socket_t s, short events, int timeout_ms) {
    pollfd p{s, events, 0};
    int r = ::poll(&p, 1, timeout_ms);
    return r > 0;
}

bool sys_wait_readable(socket_t s, int timeout_ms) { return wait_for(s, POLLIN, timeout_ms); }
bool sys_wait_writable(socket_t s, int timeout_ms) { return wait_for(s, POLLOUT, timeout_ms); }

size_t sys_poll_readable(const socket_t* s, size_t n, uint8_t* ready) {
    std::vector<pollfd> fds(n);
    for (size_t i = 0; i < n; ++i) fds[i] = pollfd{s[i] == invalid_socket ? -1 : s[i], POLLIN, 0};
    int r = ::poll(fds.data(), static_cast<nfds_t>(n), 0);
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        ready[i] = r > 0 && fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) ? 1 : 0;
        count += ready[i];
    }
    return count;
}

constexpr Calls kSystem = {
    sys_startup,  sys_cleanup,     sys_open_stream,  sys_open_datagram,
    sys_connect,  sys_bind,        sys_listen,       sys_set_nonblocking,
    sys_set_multicast_loop_off,    sys_accept,       sys_bytes_ready,
    sys_recv,     sys_recvfrom,    sys_send,         sys_sendto,
    sys_probe,    sys_peer_address, sys_local_port,  sys_resolve,
    sys_close,    sys_wait_readable, sys_wait_writable, sys_poll_readable,
};

}  // namespace

Calls calls = kSystem;

const Calls& system_calls() { return kSystem; }

int startup_count() { return g_startups.load(); }

bool process_exiting() { return false; }

}  // namespace kiv::platform
