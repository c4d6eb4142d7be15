// The platform layer over Winsock 2 (Windows, 32- and 64-bit).
//
// Laid out like posix.cpp, operation for operation. Winsock has no per-call
// "don't wait" flag, so every socket the worker touches is made non-blocking
// when it is created (datagram), connected or accepted.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <mstcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

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

SOCKET sock(socket_t s) { return static_cast<SOCKET>(s); }

bool would_block(int e) { return e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAEINPROGRESS; }

Status failed_io(int e) {
    if (would_block(e)) return Status::would_block;
    t_error = e;
    return Status::error;
}

bool set_nonblocking_now(SOCKET s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

bool set_int(SOCKET s, int level, int name, DWORD value) {
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// Options of Windows 10 1709 and later that older headers lack.
constexpr int kTcpKeepIdle = 3, kTcpKeepCnt = 16, kTcpKeepIntvl = 17, kTcpMaxRt = 5;

// A connected stream (already non-blocking): no Nagle delay, and a peer
// that goes silent without closing is noticed in about half a minute.
void make_ready(SOCKET s) {
    set_int(s, IPPROTO_TCP, TCP_NODELAY, TRUE);
    set_int(s, SOL_SOCKET, SO_KEEPALIVE, TRUE);
    if (!set_int(s, IPPROTO_TCP, kTcpKeepIdle, static_cast<DWORD>(liveness.idle_s)) ||
        !set_int(s, IPPROTO_TCP, kTcpKeepIntvl, static_cast<DWORD>(liveness.interval_s)) ||
        !set_int(s, IPPROTO_TCP, kTcpKeepCnt, static_cast<DWORD>(liveness.probes))) {
        // Older systems: times only; the probe count is the system's (10).
        tcp_keepalive ka;
        ka.onoff = 1;
        ka.keepalivetime = static_cast<ULONG>(liveness.idle_s) * 1000;
        ka.keepaliveinterval = static_cast<ULONG>(liveness.interval_s) * 1000;
        DWORD bytes = 0;
        ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &bytes, nullptr, nullptr);
    }
    // Unacknowledged data gives up after this many seconds.
    set_int(s, IPPROTO_TCP, kTcpMaxRt, static_cast<DWORD>((liveness.user_timeout_ms + 999) / 1000));
}

// Child processes the host starts must not inherit our sockets (the
// counterpart of SOCK_CLOEXEC).
SOCKET open_socket(int type, int protocol) {
    SOCKET s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // Systems before Windows 7 SP1 do not know the flag.
        s = ::socket(AF_INET, type, protocol);
        if (s != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s;
}

// Every open connection holds a reference on the module that contains this
// code, so a FreeLibrary by the host while connections (and their threads)
// live does not unload it under them: joining a thread from DllMain would
// wait for ever on the loader lock that thread needs to end, and not joining
// would leave it running unmapped code. The last kiv_disconnect gives the
// library back to the host's own reference.
std::atomic<HMODULE> g_module{nullptr};

void hold_module() {
    HMODULE m = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&g_startups), &m)) {
        g_module.store(m);  // the same value every time
    }
}

void release_module() {
    if (HMODULE m = g_module.load()) FreeLibrary(m);
}

void sys_startup() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    hold_module();
    g_startups.fetch_add(1);
}

void sys_cleanup() {
    g_startups.fetch_sub(1);
    ::WSACleanup();
    release_module();
}

socket_t sys_open_stream() {
    SOCKET s = open_socket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) fail(::WSAGetLastError());
    return s == INVALID_SOCKET ? invalid_socket : static_cast<socket_t>(s);
}

socket_t sys_open_datagram() {
    SOCKET s = open_socket(SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return fail(::WSAGetLastError()), invalid_socket;
    set_nonblocking_now(s);
    // An ICMP port-unreachable for a datagram we sent would otherwise make a
    // later recvfrom fail with WSAECONNRESET, again and again.
    BOOL off = FALSE;
    DWORD bytes = 0;
    ::WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &bytes, nullptr, nullptr);
    return static_cast<socket_t>(s);
}

// Waits up to timeout_ms for a connect in progress; 0 or the reason it
// failed. select, not WSAPoll: WSAPoll does not report a refused connect on
// older systems.
int finish_connect(SOCKET s, int timeout_ms) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    const int r = ::select(0, nullptr, &writable, &failed, &tv);
    if (r < 0) return ::WSAGetLastError();
    if (r == 0) return WSAETIMEDOUT;
    int err = 0;
    int len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) return ::WSAGetLastError();
    return FD_ISSET(s, &failed) && err == 0 ? WSAECONNREFUSED : err;
}

bool sys_connect(socket_t s, uint32_t addr, uint16_t port, int timeout_ms) {
    if (s == invalid_socket) return fail(WSAENOTSOCK);
    if (!set_nonblocking_now(sock(s))) return fail(::WSAGetLastError());
    sockaddr_in sa = make_sockaddr(addr, port);
    int err = 0;
    if (::connect(sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        err = ::WSAGetLastError();
        if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS) err = finish_connect(sock(s), timeout_ms);
    }
    if (err != 0) return fail(err);
    make_ready(sock(s));
    return true;
}

bool sys_bind(socket_t s, uint32_t addr, uint16_t port) {
    if (s == invalid_socket) return false;
    // No SO_REUSEADDR here: on Windows it would let this socket take over a
    // port another one listens on. Closed connections in TIME_WAIT do not
    // keep a listener from binding on Windows anyway.
    sockaddr_in sa = make_sockaddr(addr, port);
    return ::bind(sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 || fail(::WSAGetLastError());
}

bool sys_listen(socket_t s, int backlog) {
    if (s == invalid_socket) return fail(WSAENOTSOCK);
    return ::listen(sock(s), backlog) == 0 || fail(::WSAGetLastError());
}

bool sys_set_nonblocking(socket_t s) { return set_nonblocking_now(sock(s)) || fail(::WSAGetLastError()); }

bool sys_set_multicast_loop_off(socket_t s) {
    return set_int(sock(s), IPPROTO_IP, IP_MULTICAST_LOOP, 0) || fail(::WSAGetLastError());
}

socket_t sys_accept(socket_t listener) {
    if (listener == invalid_socket) return invalid_socket;
    for (;;) {
        SOCKET s = ::accept(sock(listener), nullptr, nullptr);
        if (s != INVALID_SOCKET) {
            SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
            set_nonblocking_now(s);
            make_ready(s);
            return static_cast<socket_t>(s);
        }
        // A client that reset while queued is skipped, not taken for "nobody waits".
        const int e = ::WSAGetLastError();
        if (e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAEINTR) continue;
        if (!would_block(e)) fail(e);
        return invalid_socket;
    }
}

size_t sys_bytes_ready(socket_t s) {
    u_long n = 0;
    if (::ioctlsocket(sock(s), FIONREAD, &n) != 0) return 0;
    return static_cast<size_t>(n);
}

// Winsock lengths are ints: one call moves at most this much.
int clamp_len(size_t n) { return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n); }

Io sys_recv(socket_t s, void* buf, size_t n) {
    int r = ::recv(sock(s), static_cast<char*>(buf), clamp_len(n), 0);
    if (r > 0) return {Status::ok, static_cast<size_t>(r)};
    if (r == 0) return {n == 0 ? Status::ok : Status::closed, 0};
    return {failed_io(::WSAGetLastError()), 0};
}

// Port-unreachable reports skipped in one read, at most; they are few.
constexpr int kResetsSkipped = 64;

Io sys_recvfrom(socket_t s, void* buf, size_t n, uint32_t* from, uint16_t* from_port) {
    for (int i = 0; i < kResetsSkipped; ++i) {
        sockaddr_in sa;
        int len = sizeof sa;
        std::memset(&sa, 0, sizeof sa);
        int r = ::recvfrom(sock(s), static_cast<char*>(buf), clamp_len(n), 0, reinterpret_cast<sockaddr*>(&sa), &len);
        const int e = r >= 0 ? 0 : ::WSAGetLastError();
        // A datagram longer than the buffer: its first n bytes were stored
        // and the rest dropped, as POSIX truncates it.
        if (r >= 0 || e == WSAEMSGSIZE) {
            if (from) *from = sa.sin_addr.s_addr;
            if (from_port) *from_port = ntohs(sa.sin_port);
            return {Status::ok, r >= 0 ? static_cast<size_t>(r) : n};
        }
        // A late port-unreachable report that SIO_UDP_CONNRESET did not
        // suppress: it says nothing about the datagrams still queued.
        if (e == WSAECONNRESET || e == WSAENETRESET) continue;
        return {failed_io(e), 0};
    }
    return {Status::would_block, 0};
}

Io sys_send(socket_t s, const void* buf, size_t n, bool more) {
    // No MSG_MORE on Windows; TCP_NODELAY stays on and the bytes are the same.
    (void)more;
    int r = ::send(sock(s), static_cast<const char*>(buf), clamp_len(n), 0);
    if (r >= 0) return {Status::ok, static_cast<size_t>(r)};
    return {failed_io(::WSAGetLastError()), 0};
}

Io sys_sendto(socket_t s, const void* buf, size_t n, uint32_t addr, uint16_t port) {
    sockaddr_in sa = make_sockaddr(addr, port);
    int r = ::sendto(sock(s), static_cast<const char*>(buf), clamp_len(n), 0, reinterpret_cast<sockaddr*>(&sa),
                     sizeof sa);
    if (r >= 0) return {Status::ok, static_cast<size_t>(r)};
    return {failed_io(::WSAGetLastError()), 0};
}

bool sys_peer_address(socket_t s, uint32_t* addr) {
    sockaddr_in sa;
    int len = sizeof sa;
    if (::getpeername(sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return fail(::WSAGetLastError());
    if (sa.sin_family != AF_INET) return fail(WSAEAFNOSUPPORT);
    *addr = sa.sin_addr.s_addr;
    return true;
}

bool sys_local_port(socket_t s, uint16_t* port) {
    sockaddr_in sa;
    int len = sizeof sa;
    if (::getsockname(sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return fail(::WSAGetLastError());
    *port = ntohs(sa.sin_port);
    return true;
}

bool sys_resolve(const char* name, uint32_t* addr) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return fail(WSAHOST_NOT_FOUND);
    bool ok = false;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addr) {
            *addr = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
            ok = true;
            break;
        }
    }
    ::freeaddrinfo(res);
    return ok || fail(WSAHOST_NOT_FOUND);
}

void sys_close(socket_t s) {
    if (s != invalid_socket) ::closesocket(sock(s));
}

// The process environment, where SetEnvironmentVariable writes: the C
// runtime's getenv sees only its own copy, taken at start-up.
bool sys_read_env(const char* name, char* out, size_t n) {
    if (n == 0) return false;
    const DWORD len = ::GetEnvironmentVariableA(name, out, static_cast<DWORD>(n));
    return len > 0 && len < n;
}

// What WSAPoll reported for a socket, in the library's bits.
uint8_t got_bits(SHORT re) {
    uint8_t got = 0;
    if (re & POLLRDNORM) got |= kWantRead;
    if (re & POLLWRNORM) got |= kWantWrite;
    if (re & (POLLHUP | POLLERR | POLLNVAL)) got |= kWantHangup;
    return got;
}

SHORT poll_events(uint8_t want) {
    SHORT ev = 0;
    if (want & kWantRead) ev |= POLLRDNORM;
    if (want & kWantWrite) ev |= POLLWRNORM;
    return ev;  // a close or an error is always reported
}

}  // namespace

// Winsock waits only on sockets: the waker is a loopback datagram socket
// that the signal sends one byte to.
struct Waker {
    SOCKET s;
    sockaddr_in self;
};

namespace {

Waker* sys_waker_open() {
    SOCKET s = open_socket(SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return nullptr;
    sockaddr_in sa = make_sockaddr(htonl(INADDR_LOOPBACK), 0);
    int len = sizeof sa;
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || !set_nonblocking_now(s)) {
        ::closesocket(s);
        return nullptr;
    }
    Waker* w = new (std::nothrow) Waker{s, sa};
    if (!w) ::closesocket(s);
    return w;
}

void sys_waker_close(Waker* w) {
    if (!w) return;
    ::closesocket(w->s);
    delete w;
}

void sys_waker_signal(Waker* w) {
    if (!w) return;
    const char one = 1;
    ::sendto(w->s, &one, 1, 0, reinterpret_cast<const sockaddr*>(&w->self), sizeof w->self);
}

void drain_waker(Waker* w) {
    char buf[64];
    while (::recv(w->s, buf, sizeof buf, 0) > 0) {
    }
}

int sys_wait(Waker* w, WaitItem* items, size_t n, int timeout_ms) {
    if (n > kMaxWaitItems) return -1;
    // WSAPoll rejects a closed socket number instead of skipping it, so only
    // the items that want something are handed over.
    WSAPOLLFD fds[kMaxWaitItems + 1];
    size_t index[kMaxWaitItems];
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        items[i].got = 0;
        if (!items[i].want || items[i].s == invalid_socket) continue;
        fds[used].fd = sock(items[i].s);
        fds[used].events = poll_events(items[i].want);
        fds[used].revents = 0;
        index[used++] = i;
    }
    const size_t sockets = used;
    if (w) {
        fds[used].fd = w->s;
        fds[used].events = POLLRDNORM;
        fds[used].revents = 0;
        ++used;
    }
    // Nothing to wait on: at once, nothing ready; a wait that would only
    // sleep is refused, as on POSIX.
    if (used == 0) return timeout_ms == 0 ? 0 : -1;
    const int r = ::WSAPoll(fds, static_cast<ULONG>(used), timeout_ms);
    if (r < 0) return fail(::WSAGetLastError()), -1;
    int ready = 0;
    for (size_t k = 0; k < sockets; ++k) {
        WaitItem& it = items[index[k]];
        uint8_t got = got_bits(fds[k].revents);
        if ((got & kWantHangup) && (it.want & kWantRead)) got |= kWantRead;
        if ((fds[k].revents & (POLLHUP | POLLERR)) && (it.want & kWantWrite)) got |= kWantWrite;
        got &= static_cast<uint8_t>(it.want | ((it.want & kWantRead) ? kWantHangup : 0));
        it.got = got;
        if (got) ++ready;
    }
    if (w && (fds[sockets].revents & POLLRDNORM)) drain_waker(w);
    return ready;
}

}  // namespace

// A WSAPoll array kept with the set: changing what a socket waits for
// edits its entry; the array is rebuilt only when sockets come or go.
struct Poller {
    struct Entry {
        socket_t s;
        uint8_t want;
        uint32_t tag;
    };
    Waker* waker;
    std::vector<Entry> entries;
    std::unordered_map<socket_t, size_t> where;  // socket -> entry
    std::vector<WSAPOLLFD> fds;                  // entries, then the waker
    bool rebuild = true;
};

namespace {

Poller* sys_poller_open(Waker* w) { return new (std::nothrow) Poller{w, {}, {}, {}, true}; }

void sys_poller_close(Poller* p) { delete p; }

bool sys_poller_watch(Poller* p, socket_t s, uint8_t want, uint32_t tag) {
    if (!p || s == invalid_socket) return fail(WSAENOTSOCK);
    auto it = p->where.find(s);
    if (want == 0) {
        if (it == p->where.end()) return true;
        const size_t i = it->second;
        p->where.erase(it);
        if (i + 1 != p->entries.size()) {
            p->entries[i] = p->entries.back();
            p->where[p->entries[i].s] = i;
        }
        p->entries.pop_back();
        p->rebuild = true;
        return true;
    }
    if (it == p->where.end()) {
        p->where.emplace(s, p->entries.size());
        p->entries.push_back({s, want, tag});
        p->rebuild = true;
        return true;
    }
    Poller::Entry& e = p->entries[it->second];
    e.want = want;
    e.tag = tag;
    if (!p->rebuild) p->fds[it->second].events = poll_events(want);
    return true;
}

int sys_poller_wait(Poller* p, PollEvent* out, size_t max, int timeout_ms) {
    if (!p) return -1;
    if (p->rebuild) {
        p->fds.resize(p->entries.size());
        for (size_t i = 0; i < p->entries.size(); ++i) {
            p->fds[i].fd = sock(p->entries[i].s);
            p->fds[i].events = poll_events(p->entries[i].want);
        }
        if (p->waker) p->fds.push_back(WSAPOLLFD{p->waker->s, POLLRDNORM, 0});
        p->rebuild = false;
    }
    if (p->fds.empty()) return timeout_ms == 0 ? 0 : -1;
    for (WSAPOLLFD& f : p->fds) f.revents = 0;
    const int r = ::WSAPoll(p->fds.data(), static_cast<ULONG>(p->fds.size()), timeout_ms);
    if (r < 0) return fail(::WSAGetLastError()), -1;
    size_t n = 0;
    for (size_t i = 0; i < p->entries.size() && n < max; ++i) {
        const uint8_t got = got_bits(p->fds[i].revents);
        if (got) out[n++] = PollEvent{p->entries[i].tag, got};
    }
    if (p->waker && (p->fds.back().revents & POLLRDNORM)) drain_waker(p->waker);
    return static_cast<int>(n);
}

// True once ExitProcess has ended every other thread and the loader is
// detaching the modules. Looked up when the library loads, not at exit.
using ShutdownQuery = BOOLEAN(WINAPI*)();
const ShutdownQuery g_shutdown_query = reinterpret_cast<ShutdownQuery>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));

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
    if (t_error == WSAETIMEDOUT) return "timed out";
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(t_error), 0, text, sizeof text, nullptr);
    if (n == 0) {
        std::snprintf(text, sizeof text, "error %d", t_error);
        return text;
    }
    // The system's text ends with ".\r\n": a line of ours has neither.
    size_t len = n;
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == ' ' || text[len - 1] == '.')) --len;
    text[len] = 0;
    return text;
}

int startup_count() { return g_startups.load(); }

bool process_exiting() { return g_shutdown_query && g_shutdown_query() != 0; }

}  // namespace kiv::platform
