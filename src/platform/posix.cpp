// The platform layer over POSIX sockets (Linux and other Unix systems).
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace kiv::platform {

namespace {

std::atomic<int> g_startups{0};
// The system's reason for this thread's last failed operation.
thread_local int t_error = 0;

bool fail(int e) {
    t_error = e;
    return false;
}

sockaddr_in make_sockaddr(uint32_t addr, uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return sa;
}

bool would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

Status failed_io(int e) {
    if (would_block(e)) return Status::would_block;
    t_error = e;
    return Status::error;
}

void set_int(int s, int level, int name, int value) { setsockopt(s, level, name, &value, sizeof value); }

// A connected stream (already non-blocking): no Nagle delay, and a peer
// that goes silent without closing is noticed in about half a minute.
void make_ready(int s) {
    set_int(s, IPPROTO_TCP, TCP_NODELAY, 1);
    set_int(s, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_int(s, IPPROTO_TCP, TCP_KEEPIDLE, liveness.idle_s);
    set_int(s, IPPROTO_TCP, TCP_KEEPINTVL, liveness.interval_s);
    set_int(s, IPPROTO_TCP, TCP_KEEPCNT, liveness.probes);
#ifdef TCP_USER_TIMEOUT
    set_int(s, IPPROTO_TCP, TCP_USER_TIMEOUT, liveness.user_timeout_ms);
#endif
}

void sys_startup() { g_startups.fetch_add(1); }
void sys_cleanup() { g_startups.fetch_sub(1); }

socket_t sys_open_stream() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) fail(errno);
    return s < 0 ? invalid_socket : s;
}

socket_t sys_open_datagram() {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) fail(errno);
    return s < 0 ? invalid_socket : s;
}

// Waits up to timeout_ms for a connect in progress; 0 or the reason it failed.
int finish_connect(int s, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ETIMEDOUT;
        pollfd p{s, POLLOUT, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) return ETIMEDOUT;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
        return err;
    }
}

bool sys_set_nonblocking(socket_t s) {
    int flags = fcntl(s, F_GETFL, 0);
    return (flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0) || fail(errno);
}

bool sys_connect(socket_t s, uint32_t addr, uint16_t port, int timeout_ms) {
    if (s == invalid_socket) return fail(EBADF);
    if (!sys_set_nonblocking(s)) return false;
    sockaddr_in sa = make_sockaddr(addr, port);
    int err = 0;
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        err = errno == EINPROGRESS || errno == EINTR ? finish_connect(s, timeout_ms) : errno;
    }
    if (err != 0) return fail(err);
    make_ready(s);
    return true;
}

bool sys_bind(socket_t s, uint32_t addr, uint16_t port) {
    if (s == invalid_socket) return fail(EBADF);
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM) {
        // A restarted server must not wait out the old one's TIME_WAIT; a port
        // another socket listens on is still refused.
        set_int(s, SOL_SOCKET, SO_REUSEADDR, 1);
    }
    sockaddr_in sa = make_sockaddr(addr, port);
    return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 || fail(errno);
}

bool sys_listen(socket_t s, int backlog) {
    if (s == invalid_socket) return fail(EBADF);
    return ::listen(s, backlog) == 0 || fail(errno);
}

bool sys_set_multicast_loop_off(socket_t s) {
    unsigned char off = 0;
    return setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off) == 0 || fail(errno);
}

socket_t sys_accept(socket_t listener) {
    if (listener == invalid_socket) return invalid_socket;
    for (;;) {
        int s = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (s >= 0) {
            make_ready(s);
            return s;
        }
        // A client that reset while queued is skipped, not taken for "nobody waits".
        if (errno == ECONNABORTED || errno == EINTR) continue;
        if (!would_block(errno)) fail(errno);
        return invalid_socket;
    }
}

size_t sys_bytes_ready(socket_t s) {
    int n = 0;
    if (::ioctl(s, FIONREAD, &n) < 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

Io sys_recv(socket_t s, void* buf, size_t n) {
    ssize_t r = ::recv(s, buf, n, MSG_DONTWAIT);
    if (r > 0) return {Status::ok, static_cast<size_t>(r)};
    if (r == 0) return {n == 0 ? Status::ok : Status::closed, 0};
    return {failed_io(errno), 0};
}

Io sys_recvfrom(socket_t s, void* buf, size_t n, uint32_t* from_addr, uint16_t* from_port) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    std::memset(&sa, 0, sizeof sa);
    ssize_t r = ::recvfrom(s, buf, n, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
    if (r < 0) return {failed_io(errno), 0};
    if (from_addr) *from_addr = sa.sin_addr.s_addr;
    if (from_port) *from_port = ntohs(sa.sin_port);
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
    return {failed_io(errno), 0};
}

Io sys_sendto(socket_t s, const void* buf, size_t n, uint32_t addr, uint16_t port) {
    sockaddr_in sa = make_sockaddr(addr, port);
    ssize_t r = ::sendto(s, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r >= 0) return {Status::ok, static_cast<size_t>(r)};
    return {failed_io(errno), 0};
}

bool sys_peer_address(socket_t s, uint32_t* addr) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return fail(errno);
    if (sa.sin_family != AF_INET) return fail(EAFNOSUPPORT);
    *addr = sa.sin_addr.s_addr;
    return true;
}

bool sys_local_port(socket_t s, uint16_t* port) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return fail(errno);
    *port = ntohs(sa.sin_port);
    return true;
}

bool sys_resolve(const char* name, uint32_t* addr) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return fail(EHOSTUNREACH);
    bool ok = false;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addr) {
            *addr = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
            ok = true;
            break;
        }
    }
    ::freeaddrinfo(res);
    return ok || fail(EHOSTUNREACH);
}

void sys_close(socket_t s) {
    if (s != invalid_socket) ::close(s);
}

bool sys_read_env(const char* name, char* out, size_t n) {
    const char* v = std::getenv(name);
    if (!v || n == 0) return false;
    const size_t len = std::strlen(v);
    if (len >= n) return false;
    std::memcpy(out, v, len + 1);
    return true;
}

// What the system reported for a socket, in the library's bits.
uint8_t got_bits(unsigned ev, unsigned in, unsigned out, unsigned hup) {
    uint8_t got = 0;
    if (ev & in) got |= kWantRead;
    if (ev & out) got |= kWantWrite;
    if (ev & hup) got |= kWantHangup;
    return got;
}

}  // namespace

// The waker is an eventfd: one descriptor, a counter the signal adds to.
struct Waker {
    int fd;
};

namespace {

Waker* sys_waker_open() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        fail(errno);
        return nullptr;
    }
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

void drain_waker(Waker* w) {
    uint64_t count;
    ssize_t d = ::read(w->fd, &count, sizeof count);
    (void)d;
}

int sys_wait(Waker* w, WaitItem* items, size_t n, int timeout_ms) {
    if (n > kMaxWaitItems) return -1;
    pollfd fds[kMaxWaitItems + 1];
    bool any = w != nullptr;
    for (size_t i = 0; i < n; ++i) {
        short ev = 0;
        if (items[i].want & kWantRead) ev |= POLLIN;
        if (items[i].want & kWantWrite) ev |= POLLOUT;
        if (items[i].want & (kWantRead | kWantHangup)) ev |= POLLRDHUP;
        const bool used = items[i].want && items[i].s != invalid_socket;
        fds[i] = pollfd{used ? items[i].s : -1, ev, 0};
        items[i].got = 0;
        any = any || used;
    }
    fds[n] = pollfd{w ? w->fd : -1, POLLIN, 0};
    // Nothing to wait on: at once, nothing ready; a wait that would only
    // sleep is refused.
    if (!any) return timeout_ms == 0 ? 0 : -1;
    int r;
    do {
        r = ::poll(fds, static_cast<nfds_t>(n + 1), timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return fail(errno), -1;
    int ready = 0;
    for (size_t i = 0; i < n; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        const uint8_t want = items[i].want;
        uint8_t got = got_bits(fds[i].revents, POLLIN, POLLOUT, POLLRDHUP | POLLHUP | POLLERR | POLLNVAL);
        // A close or an error shows to a reader as readable (the read tells
        // which) and to a writer as writable (the write fails).
        if ((got & kWantHangup) && (want & kWantRead)) got |= kWantRead;
        if ((fds[i].revents & (POLLHUP | POLLERR)) && (want & kWantWrite)) got |= kWantWrite;
        got &= static_cast<uint8_t>(want | ((want & kWantRead) ? kWantHangup : 0));
        items[i].got = got;
        if (got) ++ready;
    }
    if (w && (fds[n].revents & POLLIN)) drain_waker(w);
    return ready;
}

}  // namespace

// An epoll set; the waker's descriptor is in it under a tag of its own.
struct Poller {
    int fd;
    Waker* waker;
};

namespace {

constexpr uint64_t kWakerTag = ~uint64_t{0};

Poller* sys_poller_open(Waker* w) {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
        fail(errno);
        return nullptr;
    }
    if (w) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWakerTag;
        if (::epoll_ctl(fd, EPOLL_CTL_ADD, w->fd, &ev) != 0) {
            fail(errno);
            ::close(fd);
            return nullptr;
        }
    }
    Poller* p = new (std::nothrow) Poller{fd, w};
    if (!p) ::close(fd);
    return p;
}

void sys_poller_close(Poller* p) {
    if (!p) return;
    ::close(p->fd);
    delete p;
}

bool sys_poller_watch(Poller* p, socket_t s, uint8_t want, uint32_t tag) {
    if (!p || s == invalid_socket) return fail(EBADF);
    if (want == 0) {
        // Gone from the set; a socket that was never in it is no error.
        return ::epoll_ctl(p->fd, EPOLL_CTL_DEL, s, nullptr) == 0 || errno == ENOENT || fail(errno);
    }
    epoll_event ev{};
    if (want & kWantRead) ev.events |= EPOLLIN;
    if (want & kWantWrite) ev.events |= EPOLLOUT;
    if (want & (kWantRead | kWantHangup)) ev.events |= EPOLLRDHUP;
    ev.data.u64 = tag;
    if (::epoll_ctl(p->fd, EPOLL_CTL_MOD, s, &ev) == 0) return true;
    return (errno == ENOENT && ::epoll_ctl(p->fd, EPOLL_CTL_ADD, s, &ev) == 0) || fail(errno);
}

int sys_poller_wait(Poller* p, PollEvent* out, size_t max, int timeout_ms) {
    if (!p) return -1;
    constexpr size_t kBatch = 256;
    epoll_event evs[kBatch];
    const int cap = static_cast<int>(max < kBatch ? max : kBatch);
    int r;
    do {
        r = ::epoll_wait(p->fd, evs, cap > 0 ? cap : 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return fail(errno), -1;
    int n = 0;
    for (int i = 0; i < r; ++i) {
        if (evs[i].data.u64 == kWakerTag) {
            drain_waker(p->waker);
            continue;
        }
        out[n++] = PollEvent{static_cast<uint32_t>(evs[i].data.u64),
                             got_bits(evs[i].events, EPOLLIN, EPOLLOUT, EPOLLRDHUP | EPOLLHUP | EPOLLERR)};
    }
    return n;
}

constexpr Calls kSystem = {
    sys_startup,      sys_cleanup,     sys_open_stream,  sys_open_datagram,
    sys_connect,      sys_bind,        sys_listen,       sys_set_nonblocking,
    sys_set_multicast_loop_off,        sys_accept,       sys_bytes_ready,
    sys_recv,         sys_recvfrom,    sys_send,         sys_sendto,
    sys_peer_address, sys_local_port,  sys_resolve,      sys_close,
    sys_waker_open,   sys_waker_close, sys_waker_signal, sys_wait,
    sys_poller_open,  sys_poller_close, sys_poller_watch, sys_poller_wait,
    sys_read_env,
};

}  // namespace

Calls calls = kSystem;
Liveness liveness;

const Calls& system_calls() { return kSystem; }

const char* last_error_text() {
    thread_local char text[128];
    if (t_error == 0) return "";
    if (t_error == ETIMEDOUT) return "timed out";
    // The GNU form: the text may be a constant rather than the buffer.
    return strerror_r(t_error, text, sizeof text);
}

int startup_count() { return g_startups.load(); }

bool process_exiting() { return false; }

}  // namespace kiv::platform
