// fake_net.h: sockets and a readiness set in memory behind platform::calls, for fuzz targets that drive links and passes without a network.
//
// Socket numbers from kFirst up exist only here. A peer's bytes arrive as
// segments (a stream's reads stop at a segment's end; a datagram socket
// returns one segment per read); what the library writes is kept per socket.
// The library must never touch a number it closed, nor close one twice:
// either aborts. Calls the targets do not expect abort too, so a change in
// what the code under test calls shows at once instead of reaching the
// real network. The poller only keeps what the hub watches: a target starts
// the hub without its thread and runs each pass itself with what a
// level-triggered wait (epoll) would find.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

#define FAKE_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "fuzz: check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

using kiv::platform::Io;
using kiv::platform::PollEvent;
using kiv::platform::socket_t;
using kiv::platform::Status;
using kiv::platform::kWantHangup;
using kiv::platform::kWantRead;
using kiv::platform::kWantWrite;

constexpr socket_t kFirst = 100000;

struct Segment {
    std::string bytes;
    uint32_t from = 0;   // a datagram's sender
    uint16_t port = 0;
    bool error = false;  // a read that fails once (a datagram socket's ICMP error)
};

struct Socket {
    std::deque<Segment> in;  // arrived, not yet read
    size_t offset = 0;       // read from the front segment
    bool peer_closed = false;
    bool peer_reset = false;    // the end reads as an error, and writes fail
    bool lib_closed = false;    // the library closed the number
    size_t read_total = 0;      // bytes the library took
    std::string out;            // bytes the library wrote
    size_t room = SIZE_MAX;     // what a send takes now

    size_t pending() const {
        size_t n = 0;
        for (const Segment& s : in) n += s.bytes.size();
        return n - offset;
    }
    bool readable() const { return !in.empty() || peer_closed || peer_reset; }
    bool left() const { return peer_closed || peer_reset; }
    // What epoll reports for a socket watched for `want`: a reset always
    // shows; an orderly close only to a watcher of reading or hang-up.
    uint8_t got(uint8_t want) const {
        if (peer_reset) return kWantHangup | (want & (kWantRead | kWantWrite));
        uint8_t g = 0;
        if ((want & kWantRead) && readable()) g |= kWantRead;
        if ((want & (kWantRead | kWantHangup)) && peer_closed) g |= kWantHangup;
        if ((want & kWantWrite) && room > 0) g |= kWantWrite;
        return g;
    }
};

struct Net {
    std::map<socket_t, Socket> sockets;
    std::deque<socket_t> accept_queue;
    socket_t listener = kiv::platform::invalid_socket;
    socket_t next = kFirst;
    uint32_t last_from = 0;  // the sender of the datagram read last
    int longs = 0;           // runs of 'x' still allowed: set by the target
    bool woken = false;      // the hub's waker was signalled
    std::map<socket_t, std::pair<uint8_t, uint32_t>> watched;  // the hub's set: want, tag

    void reset() {
        sockets.clear();
        accept_queue.clear();
        listener = kiv::platform::invalid_socket;
        next = kFirst;
        last_from = 0;
        longs = 0;
        woken = false;
        watched.clear();
    }
    socket_t open() {
        const socket_t s = next++;
        sockets[s];
        return s;
    }
    // The socket the library may use now.
    Socket& live(socket_t s) {
        auto it = sockets.find(s);
        FAKE_CHECK(it != sockets.end());  // a number this run never handed out
        FAKE_CHECK(!it->second.lib_closed);  // used after the library closed it
        return it->second;
    }

    // What a wait on the hub's set would find now: every watched socket
    // that is ready.
    std::vector<PollEvent> ready() {
        std::vector<PollEvent> out;
        for (const auto& w : watched) {
            const Socket& k = sockets[w.first];
            if (k.lib_closed) continue;  // a closed socket leaves the set
            const uint8_t got = w.first == listener ? (accept_queue.empty() ? 0 : kWantRead) : k.got(w.second.first);
            if (got) out.push_back({w.second.second, got});
        }
        return out;
    }
};

inline Net net;

inline Io fake_recv(socket_t s, void* buf, size_t n) {
    Socket& k = net.live(s);
    if (n == 0) return {Status::ok, 0};
    size_t got = 0;
    // As a stream does, one read takes what has arrived, up to n (segments
    // are when bytes arrive); it stops at an error marker, which the next
    // read reports. A short read therefore found the socket empty.
    while (got < n && !k.in.empty() && !k.in.front().error) {
        Segment& seg = k.in.front();
        const size_t take = std::min(n - got, seg.bytes.size() - k.offset);
        std::memcpy(static_cast<char*>(buf) + got, seg.bytes.data() + k.offset, take);
        got += take;
        k.offset += take;
        if (k.offset == seg.bytes.size()) {
            k.in.pop_front();
            k.offset = 0;
        }
    }
    if (got > 0) {
        k.read_total += got;
        return {Status::ok, got};
    }
    if (!k.in.empty()) {  // an error marker
        k.in.pop_front();
        return {Status::error, 0};
    }
    if (k.peer_reset) return {Status::error, 0};
    if (k.peer_closed) return {Status::closed, 0};
    return {Status::would_block, 0};
}

inline Io fake_recvfrom(socket_t s, void* buf, size_t n, uint32_t* from, uint16_t* port) {
    Socket& k = net.live(s);
    if (k.in.empty()) return {Status::would_block, 0};
    Segment seg = std::move(k.in.front());
    k.in.pop_front();
    k.offset = 0;
    if (seg.error) return {Status::error, 0};
    // A datagram longer than the buffer is cut, as the system does.
    const size_t take = std::min(n, seg.bytes.size());
    std::memcpy(buf, seg.bytes.data(), take);
    if (from) *from = seg.from;
    if (port) *port = seg.port;
    net.last_from = seg.from;
    k.read_total += take;
    return {Status::ok, take};
}

inline Io fake_send(socket_t s, const void* buf, size_t n, bool) {
    Socket& k = net.live(s);
    if (k.peer_reset) return {Status::error, 0};
    const size_t take = std::min(n, k.room);
    if (take == 0 && n > 0) return {Status::would_block, 0};
    k.out.append(static_cast<const char*>(buf), take);
    if (k.room != SIZE_MAX) k.room -= take;
    return {Status::ok, take};
}

inline Io fake_sendto(socket_t s, const void* buf, size_t n, uint32_t, uint16_t) {
    Socket& k = net.live(s);
    k.out.append(static_cast<const char*>(buf), n);
    return {Status::ok, n};
}

inline socket_t fake_accept(socket_t listener) {
    net.live(listener);
    FAKE_CHECK(listener == net.listener);
    if (net.accept_queue.empty()) return kiv::platform::invalid_socket;
    const socket_t s = net.accept_queue.front();
    net.accept_queue.pop_front();
    return s;
}

inline void fake_close(socket_t s) { net.live(s).lib_closed = true; }

inline bool fake_peer_address(socket_t s, uint32_t* addr) {
    net.live(s);
    *addr = kiv::platform::loopback_address();
    return true;
}

[[noreturn]] inline void unexpected(const char* what) {
    std::fprintf(stderr, "fuzz: unexpected system call: %s\n", what);
    std::abort();
}

// Installs the fake calls once, for the whole process.
inline void install() {
    static bool done = false;
    if (done) return;
    done = true;
    namespace kp = kiv::platform;
    kp::Calls& c = kp::calls;
    c.recv = fake_recv;
    c.recvfrom = fake_recvfrom;
    c.send = fake_send;
    c.sendto = fake_sendto;
    c.accept = fake_accept;
    c.close = fake_close;
    c.peer_address = fake_peer_address;
    // One hub at a time; a signal on its waker asks the target for a pass.
    c.waker_open = []() { return reinterpret_cast<kp::Waker*>(&net); };
    c.waker_close = [](kp::Waker*) {};
    c.waker_signal = [](kp::Waker*) { net.woken = true; };
    c.poller_open = [](kp::Waker*) { return reinterpret_cast<kp::Poller*>(&net.watched); };
    c.poller_close = [](kp::Poller*) {};
    c.poller_watch = [](kp::Poller*, socket_t s, uint8_t want, uint32_t tag) {
        net.live(s);
        if (want == 0) {
            net.watched.erase(s);
        } else {
            net.watched[s] = {want, tag};
        }
        return true;
    };
    c.poller_wait = [](kp::Poller*, PollEvent*, size_t, int) -> int { unexpected("poller_wait"); };
    c.bytes_ready = [](socket_t) -> size_t { unexpected("bytes_ready"); };
    c.open_stream = []() -> socket_t { unexpected("open_stream"); };
    c.open_datagram = []() -> socket_t { unexpected("open_datagram"); };
    c.connect = [](socket_t, uint32_t, uint16_t, int) -> bool { unexpected("connect"); };
    c.wait = [](kp::Waker*, kp::WaitItem*, size_t, int) -> int { unexpected("wait"); };
    c.local_port = [](socket_t, uint16_t*) -> bool { unexpected("local_port"); };
    c.read_env = [](const char*, char*, size_t) -> bool { return false; };  // no KIV_TRACE, no KIV_RELAY
}

// Bytes a peer sends at once: a piece of the input, or when long_ok that
// piece repeated (many short records) or followed by a long run of 'x' (one
// long record), so that a small input reaches the library's bounds (512
// records or 64 KiB a pass, 1 MiB held back, 4 MiB of one record). Runs of
// 'x' cost ten times what the rest does: a target allows one in some inputs.
inline std::string burst(FuzzedDataProvider& in, bool long_ok) {
    const int mode = long_ok ? in.ConsumeIntegralInRange<int>(0, 31) : 0;
    std::string out = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64));
    if (mode == 29) {
        const std::string piece = out;
        for (int i = 0; i < 600; ++i) out += piece;
    } else if (mode > 29 && net.longs > 0) {
        --net.longs;
        out.append(mode == 30 ? 1100000 : 4200000, 'x');
    }
    return out;
}

// ---- The digit code, modelled from its table rather than from the library.

inline int32_t digit_of(uint8_t b) {
    if (b == 0xFF) return 8;
    if (b == 0xFE) return 124;
    return static_cast<int32_t>(b) - 2;
}

inline uint8_t byte_of(int32_t d) {
    const uint8_t b = static_cast<uint8_t>((d + 2) & 0xFF);
    if (b == 10) return 0xFF;
    if (b == 126) return 0xFE;
    return b;
}

}  // namespace fake
