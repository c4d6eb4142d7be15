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
#include <windows.h>

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

SOCKET sock(socket_t s) { return static_cast<SOCKET>(s); }

bool would_block(int e) { return e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAEINPROGRESS; }

bool set_nonblocking_now(SOCKET s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

void make_ready(SOCKET s) {
    set_nonblocking_now(s);
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
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
    return s == INVALID_SOCKET ? invalid_socket : static_cast<socket_t>(s);
}

socket_t sys_open_datagram() {
    SOCKET s = open_socket(SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return invalid_socket;
    set_nonblocking_now(s);
    // An ICMP port-unreachable for a datagram we sent would otherwise make a
    // later recvfrom fail with WSAECONNRESET, again and again.
    BOOL off = FALSE;
    DWORD bytes = 0;
    ::WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &bytes, nullptr, nullptr);
    return static_cast<socket_t>(s);
}

bool sys_connect(socket_t s, uint32_t addr, uint16_t port) {
    if (s == invalid_socket) return false;
    sockaddr_in sa = make_sockaddr(addr, port);
    if (::connect(sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
    make_ready(sock(s));
    return true;
}

bool sys_bind(socket_t s, uint32_t addr, uint16_t port) {
    if (s == invalid_socket) return false;
    // No SO_REUSEADDR here: on Windows it would let this socket take over a
    // port another one listens on. Closed connections in TIME_WAIT do not
    // keep a listener from binding on Windows anyway.
    sockaddr_in sa = make_sockaddr(addr, port);
    return ::bind(sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool sys_listen(socket_t s, int backlog) { return s != invalid_socket && ::listen(sock(s), backlog) == 0; }

bool sys_set_nonblocking(socket_t s) { return set_nonblocking_now(sock(s)); }

bool sys_set_multicast_loop_off(socket_t s) {
    DWORD off = 0;
    return setsockopt(sock(s), IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char*>(&off), sizeof off) == 0;
}

socket_t sys_accept(socket_t listener) {
    if (listener == invalid_socket) return invalid_socket;
    for (;;) {
        SOCKET s = ::accept(sock(listener), nullptr, nullptr);
        if (s != INVALID_SOCKET) {
            SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
            make_ready(s);
            return static_cast<socket_t>(s);
        }
        // A client that reset while queued is skipped, not taken for "nobody waits".
        const int e = ::WSAGetLastError();
        if (e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAEINTR) continue;
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

Io sys_recv(socket_t s, void* buf, size_t n, bool peek) {
    int r = ::recv(sock(s), static_cast<char*>(buf), clamp_len(n), peek ? MSG_PEEK : 0);
    if (r > 0) return {Status::ok, static_cast<size_t>(r)};
    if (r == 0) return {n == 0 ? Status::ok : Status::closed, 0};
    return {would_block(::WSAGetLastError()) ? Status::would_block : Status::error, 0};
}

// Port-unreachable reports skipped in one read, at most; they are few.
constexpr int kResetsSkipped = 64;

Io sys_recvfrom(socket_t s, void* buf, size_t n, uint32_t* from) {
    for (int i = 0; i < kResetsSkipped; ++i) {
        sockaddr_in sa;
        int len = sizeof sa;
        std::memset(&sa, 0, sizeof sa);
        int r = ::recvfrom(sock(s), static_cast<char*>(buf), clamp_len(n), 0, reinterpret_cast<sockaddr*>(&sa), &len);
        if (r >= 0) {
            if (from) *from = sa.sin_addr.s_addr;
            return {Status::ok, static_cast<size_t>(r)};
        }
        const int e = ::WSAGetLastError();
        if (e == WSAEMSGSIZE) {
            // A datagram longer than the buffer: its first n bytes were
            // stored and the rest dropped, as POSIX truncates it.
            if (from) *from = sa.sin_addr.s_addr;
            return {Status::ok, n};
        }
        // A late port-unreachable report that SIO_UDP_CONNRESET did not
        // suppress: it says nothing about the datagrams still queued.
        if (e == WSAECONNRESET || e == WSAENETRESET) continue;
        return {would_block(e) ? Status::would_block : Status::error, 0};
    }
    return {Status::would_block, 0};
}

Io sys_send(socket_t s, const void* buf, size_t n, bool more) {
    // No MSG_MORE on Windows; TCP_NODELAY stays on and the bytes are the same.
    (void)more;
    int r = ::send(sock(s), static_cast<const char*>(buf), clamp_len(n), 0);
    if (r >= 0) return {Status::ok, static_cast<size_t>(r)};
    return {would_block(::WSAGetLastError()) ? Status::would_block : Status::error, 0};
}

Io sys_sendto(socket_t s, const void* buf, size_t n, uint32_t addr, uint16_t port) {
    sockaddr_in sa = make_sockaddr(addr, port);
    int r = ::sendto(sock(s), static_cast<const char*>(buf), clamp_len(n), 0, reinterpret_cast<sockaddr*>(&sa),
                     sizeof sa);
    if (r >= 0) return {Status::ok, static_cast<size_t>(r)};
    return {would_block(::WSAGetLastError()) ? Status::would_block : Status::error, 0};
}

bool sys_peer_address(socket_t s, uint32_t* addr) {
    sockaddr_in sa;
    int len = sizeof sa;
    if (::getpeername(sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) return false;
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
    if (s != invalid_socket) ::closesocket(sock(s));
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

int sys_wait(Waker* w, WaitItem* items, size_t n, int timeout_ms) {
    // WSAPoll rejects a closed socket number instead of skipping it, so only
    // the items that want something are handed over.
    thread_local std::vector<WSAPOLLFD> fds;
    thread_local std::vector<size_t> index;
    fds.clear();
    index.clear();
    for (size_t i = 0; i < n; ++i) {
        items[i].got = 0;
        if (!items[i].want || items[i].s == invalid_socket) continue;
        WSAPOLLFD p;
        p.fd = sock(items[i].s);
        p.events = 0;
        if (items[i].want & kWantRead) p.events |= POLLRDNORM;
        if (items[i].want & kWantWrite) p.events |= POLLWRNORM;
        p.revents = 0;
        fds.push_back(p);
        index.push_back(i);
    }
    if (w) {
        WSAPOLLFD p;
        p.fd = w->s;
        p.events = POLLRDNORM;
        p.revents = 0;
        fds.push_back(p);
    }
    // Nothing to wait on: at once, nothing ready; a wait that would only
    // sleep is refused, as on POSIX.
    if (fds.empty()) return timeout_ms == 0 ? 0 : -1;
    const int r = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
    if (r < 0) return -1;
    int ready = 0;
    for (size_t k = 0; k < index.size(); ++k) {
        WaitItem& it = items[index[k]];
        const SHORT re = fds[k].revents;
        if (re & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) it.got |= kWantRead;
        if ((re & POLLWRNORM) || ((re & (POLLHUP | POLLERR)) && (it.want & kWantWrite))) it.got |= kWantWrite;
        it.got &= static_cast<uint8_t>(it.want | kWantRead);
        if (it.got) ++ready;
    }
    if (w && (fds.back().revents & POLLRDNORM)) {
        char buf[64];
        while (::recv(w->s, buf, sizeof buf, 0) > 0) {
        }
    }
    return ready;
}

// True once ExitProcess has ended every other thread and the loader is
// detaching the modules. Looked up when the library loads, not at exit.
using ShutdownQuery = BOOLEAN(WINAPI*)();
const ShutdownQuery g_shutdown_query = reinterpret_cast<ShutdownQuery>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));

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

bool process_exiting() { return g_shutdown_query && g_shutdown_query() != 0; }

}  // namespace kiv::platform
