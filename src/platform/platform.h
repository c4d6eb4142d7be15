// The platform layer: every socket and system operation the library needs, in portable terms.
//
// posix.cpp and win32.cpp define the same operations; the build picks one.
// No other file includes an OS header. Errors are translated once, here, into
// the few outcomes the portable code acts on. Every operation goes through
// the table `calls`, which tests may override to make a recv fail, a send
// come up short or a wait fail without a broken network.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::platform {

#ifdef _WIN32
using socket_t = std::uintptr_t;  // SOCKET
#else
using socket_t = int;
#endif
// All bits set on both systems.
constexpr socket_t invalid_socket = static_cast<socket_t>(~static_cast<socket_t>(0));

enum class Status { ok, would_block, closed, error };

struct Io {
    Status status;
    size_t bytes;  // meaningful when status is ok
};

// What a wait looks for on a socket, and what it found.
enum : uint8_t {
    kWantRead = 1,
    kWantWrite = 2,
    // The peer closed its side or the connection failed. Watched apart from
    // reading, so that a socket nobody reads still shows its peer leaving.
    kWantHangup = 4,
};
struct WaitItem {
    socket_t s;
    uint8_t want;  // kWant* bits; 0 leaves the item out
    // Set by wait: kWantRead also for a close or an error when reading is
    // wanted; kWantHangup for either when only the hang-up is watched.
    uint8_t got;
};
// Items one wait takes: a wait is for one socket and its helpers; many
// sockets are watched through a Poller.
constexpr size_t kMaxWaitItems = 4;

// A handle another thread can signal to end a wait early (an eventfd on
// Linux, a loopback datagram socket on Windows).
struct Waker;

// A readiness set its owner keeps up to date as sockets come and go (epoll
// on Linux; on Windows a WSAPoll array rebuilt only when the set changes),
// so that a wait costs what is ready, not what is watched.
struct Poller;
struct PollEvent {
    uint32_t tag;  // as given to poller_watch
    uint8_t got;   // as WaitItem::got
};

// How soon a silent, unreachable peer of a stream is noticed: keepalive
// probes after `idle_s` without traffic, every `interval_s`, `probes` of
// them; unacknowledged data for `user_timeout_ms` (where the system has it).
// Tests shorten them.
struct Liveness {
    int idle_s = 10;
    int interval_s = 5;
    int probes = 4;
    int user_timeout_ms = 30000;
};
extern Liveness liveness;

// IPv4 addresses travel in network byte order.
struct Calls {
    void (*startup)();
    void (*cleanup)();
    socket_t (*open_stream)();
    socket_t (*open_datagram)();
    // Connect that gives up after timeout_ms; on success the socket is
    // non-blocking with TCP_NODELAY and keepalive, ready for the worker.
    bool (*connect)(socket_t s, uint32_t addr, uint16_t port, int timeout_ms);
    bool (*bind)(socket_t s, uint32_t addr, uint16_t port);
    bool (*listen)(socket_t s, int backlog);
    bool (*set_nonblocking)(socket_t s);
    bool (*set_multicast_loop_off)(socket_t s);
    // Non-blocking; invalid_socket when nobody waits. The accepted socket is
    // set up like a connected one on every system.
    socket_t (*accept)(socket_t listener);
    size_t (*bytes_ready)(socket_t s);  // a failed query counts as 0
    Io (*recv)(socket_t s, void* buf, size_t n);
    // from_addr and from_port may be null.
    Io (*recvfrom)(socket_t s, void* buf, size_t n, uint32_t* from_addr, uint16_t* from_port);
    // Writes what the socket takes now. more: more bytes follow at once, let
    // the system coalesce them into full segments.
    Io (*send)(socket_t s, const void* buf, size_t n, bool more);
    Io (*sendto)(socket_t s, const void* buf, size_t n, uint32_t addr, uint16_t port);
    bool (*peer_address)(socket_t s, uint32_t* addr);
    bool (*local_port)(socket_t s, uint16_t* port);
    bool (*resolve)(const char* name, uint32_t* addr);
    void (*close)(socket_t s);
    // Null when the system has no handle to give.
    Waker* (*waker_open)();
    void (*waker_close)(Waker* w);
    // From any thread: the current or next wait on w returns.
    void (*waker_signal)(Waker* w);
    // Blocks until an item is ready, w (if given) is signalled, or
    // timeout_ms passes (-1: no limit). n is at most kMaxWaitItems. Sets each
    // item's `got`, consumes the signal, and returns the number of ready
    // items (0 after a signal or the time limit), or -1 when the wait itself
    // failed or there is nothing to wait on (no waker, no item wanting
    // anything) and timeout_ms is not 0.
    int (*wait)(Waker* w, WaitItem* items, size_t n, int timeout_ms);
    // w (may be null) ends the set's waits when signalled.
    Poller* (*poller_open)(Waker* w);
    void (*poller_close)(Poller* p);
    // Starts or changes watching s (want 0: stops); tag comes back with its events.
    bool (*poller_watch)(Poller* p, socket_t s, uint8_t want, uint32_t tag);
    // As wait, for a whole set: fills out with at most max events.
    int (*poller_wait)(Poller* p, PollEvent* out, size_t max, int timeout_ms);
    // The value of an environment variable of the process, as the host set
    // it; false when unset or longer than n - 1 bytes.
    bool (*read_env)(const char* name, char* out, size_t n);
};

extern Calls calls;
// The system's own implementations, for tests that wrap them.
const Calls& system_calls();

// Why the last operation that failed on this thread failed, in the
// system's words ("Connection refused", "timed out"); "" when none did.
const char* last_error_text();

// Windows needs one socket start-up per Connection; the count exists on every
// system so that the pairing can be tested.
int startup_count();

// True while the process is ending and the system has already stopped every
// other thread (Windows, static destructors of a DLL at ExitProcess): threads
// can no longer be joined nor locks they held be taken. Always false on POSIX.
bool process_exiting();

inline void startup() { calls.startup(); }
inline void cleanup() { calls.cleanup(); }
inline socket_t open_stream() { return calls.open_stream(); }
inline socket_t open_datagram() { return calls.open_datagram(); }
inline bool connect(socket_t s, uint32_t addr, uint16_t port, int timeout_ms) {
    return calls.connect(s, addr, port, timeout_ms);
}
inline bool bind(socket_t s, uint32_t addr, uint16_t port) { return calls.bind(s, addr, port); }
inline bool listen(socket_t s, int backlog) { return calls.listen(s, backlog); }
inline bool set_nonblocking(socket_t s) { return calls.set_nonblocking(s); }
inline bool set_multicast_loop_off(socket_t s) { return calls.set_multicast_loop_off(s); }
inline socket_t accept(socket_t listener) { return calls.accept(listener); }
inline size_t bytes_ready(socket_t s) { return calls.bytes_ready(s); }
inline Io recv(socket_t s, void* buf, size_t n) { return calls.recv(s, buf, n); }
inline Io recvfrom(socket_t s, void* buf, size_t n, uint32_t* addr, uint16_t* port) {
    return calls.recvfrom(s, buf, n, addr, port);
}
inline Io send(socket_t s, const void* buf, size_t n, bool more) { return calls.send(s, buf, n, more); }
inline Io sendto(socket_t s, const void* buf, size_t n, uint32_t addr, uint16_t port) {
    return calls.sendto(s, buf, n, addr, port);
}
inline bool peer_address(socket_t s, uint32_t* addr) { return calls.peer_address(s, addr); }
inline bool local_port(socket_t s, uint16_t* port) { return calls.local_port(s, port); }
inline bool resolve(const char* name, uint32_t* addr) { return calls.resolve(name, addr); }
inline void close(socket_t s) { calls.close(s); }
inline Waker* waker_open() { return calls.waker_open(); }
inline void waker_close(Waker* w) { calls.waker_close(w); }
inline void waker_signal(Waker* w) { calls.waker_signal(w); }
inline int wait(Waker* w, WaitItem* items, size_t n, int timeout_ms) { return calls.wait(w, items, n, timeout_ms); }
inline Poller* poller_open(Waker* w) { return calls.poller_open(w); }
inline void poller_close(Poller* p) { calls.poller_close(p); }
inline bool poller_watch(Poller* p, socket_t s, uint8_t want, uint32_t tag) {
    return calls.poller_watch(p, s, want, tag);
}
inline int poller_wait(Poller* p, PollEvent* out, size_t max, int timeout_ms) {
    return calls.poller_wait(p, out, max, timeout_ms);
}
inline bool read_env(const char* name, char* out, size_t n) { return calls.read_env(name, out, n); }

// Pure conversions, identical on every system (address.cpp).
// The address a.b.c.d in network byte order.
uint32_t make_address(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
inline uint32_t loopback_address() { return make_address(127, 0, 0, 1); }
// Dotted IPv4 text to an address; false for anything that is not four
// decimal numbers 0..255 separated by dots, without leading zeros (the
// shorter and octal or hex forms some readers take are refused, not guessed).
bool parse_dotted(const char* text, uint32_t* addr);
// Dotted text of an address into out (at least 16 bytes).
void format_dotted(uint32_t addr, char out[16]);

}  // namespace kiv::platform
