// The platform layer over POSIX sockets (Linux and other Unix systems).
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "platform/platform.h"

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

bool sys_peer_address(socket_t s, uint32_t* addr) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) return false;
    *addr = sa.sin_addr.s_addr;
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

}  // namespace

// The waker is an eventfd: one descriptor, a counter the signal adds to.
struct Waker {
    int fd;
};

namespace {

Waker* sys_waker_open() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return nullptr;
    return new (std::nothrow) Waker{fd};
}

void sys_waker_close(Waker* w) {
    if (!w) return;
    ::close(w->fd);
    delete w;
}

void sys_waker_signal(Waker* w) {
    if (!w) return;
    const uint64_t one = 1;
    // A full counter still wakes the waiter; nothing else can go wrong.
    ssize_t r = ::write(w->fd, &one, sizeof one);
    (void)r;
}

int sys_wait(Waker* w, WaitItem* items, size_t n, int timeout_ms) {
    thread_local std::vector<pollfd> fds;
    fds.resize(n + 1);
    for (size_t i = 0; i < n; ++i) {
        short ev = 0;
        if (items[i].want & kWantRead) ev |= POLLIN;
        if (items[i].want & kWantWrite) ev |= POLLOUT;
        fds[i] = pollfd{(items[i].want && items[i].s != invalid_socket) ? items[i].s : -1, ev, 0};
        items[i].got = 0;
    }
    fds[n] = pollfd{w ? w->fd : -1, POLLIN, 0};
    // Nothing to wait on: at once, nothing ready; a wait that would only
    // sleep is refused.
    bool any = w != nullptr;
    for (size_t i = 0; i < n && !any; ++i) any = fds[i].fd >= 0;
    if (!any) return timeout_ms == 0 ? 0 : -1;
    int r;
    do {
        r = ::poll(fds.data(), static_cast<nfds_t>(n + 1), timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    int ready = 0;
    for (size_t i = 0; i < n; ++i) {
        const short re = fds[i].revents;
        if (fds[i].fd < 0 || re == 0) continue;
        // A close or an error shows as readable: the read tells which.
        if (re & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) items[i].got |= kWantRead;
        if ((re & POLLOUT) || ((re & (POLLHUP | POLLERR)) && (items[i].want & kWantWrite))) items[i].got |= kWantWrite;
        items[i].got &= static_cast<uint8_t>(items[i].want | kWantRead);
        if (items[i].got) ++ready;
    }
    if (w && (fds[n].revents & POLLIN)) {
        uint64_t count;
        ssize_t d = ::read(w->fd, &count, sizeof count);
        (void)d;
    }
    return ready;
}

constexpr Calls kSystem = {
    sys_startup,  sys_cleanup,     sys_open_stream,  sys_open_datagram,
    sys_connect,  sys_bind,        sys_listen,       sys_set_nonblocking,
    sys_set_multicast_loop_off,    sys_accept,       sys_bytes_ready,
    sys_recv,     sys_recvfrom,    sys_send,         sys_sendto,
    sys_peer_address, sys_resolve, sys_close,
    sys_waker_open, sys_waker_close, sys_waker_signal, sys_wait,
};

}  // namespace

Calls calls = kSystem;

const Calls& system_calls() { return kSystem; }

int startup_count() { return g_startups.load(); }

bool process_exiting() { return false; }

}  // namespace kiv::platform
