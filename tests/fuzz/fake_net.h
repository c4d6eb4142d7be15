// fake_net.h: sockets in memory behind platform::calls, for fuzz targets that drive links and passes without a network or threads.
//
// Socket numbers from kFirst up exist only here. A peer's bytes arrive as
// segments (a stream's reads stop at a segment's end; a datagram socket
// returns one segment per read); what the library writes is kept per socket.
// The library must never touch a number it closed, nor close one twice:
// either aborts. Calls the targets do not expect abort too, so a change in
// what the code under test calls shows at once instead of reaching the
// real network.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>

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
using kiv::platform::socket_t;
using kiv::platform::Status;

constexpr socket_t kFirst = 100000;

struct Segment {
    std::string bytes;
    uint32_t from = 0;   // a datagram's sender
    bool error = false;  // a read that fails once (a datagram socket's ICMP error)
};

struct Socket {
    std::deque<Segment> in;  // arrived, not yet read
    size_t offset = 0;       // read from the front segment
    bool peer_closed = false;
    bool peer_reset = false;    // the end reads as an error, not an orderly close
    bool lib_closed = false;    // the library closed the number
    size_t read_total = 0;      // bytes the library took
    std::string out;            // bytes the library wrote
    size_t room = SIZE_MAX;     // what a send takes now
    long ready_answer = -1;     // bytes_ready's answer when >= 0 (a lying FIONREAD)
    size_t last_ready = 0;      // its last answer

    size_t pending() const {
        size_t n = 0;
        for (const Segment& s : in) n += s.bytes.size();
        return n - offset;
    }
    bool readable() const { return !in.empty() || peer_closed || peer_reset; }
};

struct Net {
    std::map<socket_t, Socket> sockets;
    std::deque<socket_t> accept_queue;
    socket_t listener = kiv::platform::invalid_socket;
    socket_t next = kFirst;
    uint32_t last_from = 0;  // the sender of the datagram read last

    void reset() {
        sockets.clear();
        accept_queue.clear();
        listener = kiv::platform::invalid_socket;
        next = kFirst;
        last_from = 0;
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
};

inline Net net;

inline size_t fake_bytes_ready(socket_t s) {
    Socket& k = net.live(s);
    if (k.ready_answer >= 0) {
        k.last_ready = static_cast<size_t>(k.ready_answer);
    } else {
        k.last_ready = k.pending();
    }
    return k.last_ready;
}

inline Io fake_recv(socket_t s, void* buf, size_t n, bool peek) {
    Socket& k = net.live(s);
    FAKE_CHECK(!peek);
    if (n == 0) return {Status::ok, 0};
    size_t got = 0;
    // One read never crosses a segment's end: the input chooses the chunks.
    if (!k.in.empty() && !k.in.front().error) {
        Segment& seg = k.in.front();
        got = std::min(n, seg.bytes.size() - k.offset);
        std::memcpy(buf, seg.bytes.data() + k.offset, got);
        k.offset += got;
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

inline Io fake_recvfrom(socket_t s, void* buf, size_t n, uint32_t* from) {
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
    net.last_from = seg.from;
    k.read_total += take;
    return {Status::ok, take};
}

inline Io fake_send(socket_t s, const void* buf, size_t n, bool) {
    Socket& k = net.live(s);
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
    kiv::platform::Calls& c = kiv::platform::calls;
    c.bytes_ready = fake_bytes_ready;
    c.recv = fake_recv;
    c.recvfrom = fake_recvfrom;
    c.send = fake_send;
    c.sendto = fake_sendto;
    c.accept = fake_accept;
    c.close = fake_close;
    c.peer_address = fake_peer_address;
    c.open_stream = []() -> socket_t { unexpected("open_stream"); };
    c.open_datagram = []() -> socket_t { unexpected("open_datagram"); };
    c.connect = [](socket_t, uint32_t, uint16_t) -> bool { unexpected("connect"); };
    c.wait = [](kiv::platform::Waker*, kiv::platform::WaitItem*, size_t, int) -> int { unexpected("wait"); };
    c.waker_open = []() -> kiv::platform::Waker* { unexpected("waker_open"); };
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
