// Test support at the level of a script: the exports, raw loopback peers and bounded waits.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#endif

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "kiv.h"
#include "sockets.h"

namespace test {

#ifndef _WIN32
// Descriptors the process has open now.
inline size_t open_descriptors() {
    size_t n = 0;
    for (int fd = 0; fd < 65536; ++fd) n += fcntl(fd, F_GETFD) != -1;
    return n;
}
#endif

// Frees every handle up to `upto`, as a script that closes all it opened.
inline void disconnect_all(int upto = 64) {
    for (int h = 1; h <= upto; ++h) kiv_disconnect(h);
}

// The local port of a connection (for kiv_listen/kiv_connect on port 0).
inline uint16_t port_of_handle(double handle) { return static_cast<uint16_t>(kiv_local_port(handle)); }

// Calls one of the library's waits (kiv_token_wait, ...), which has no time
// limit of its own, on handle with a deadline: past it the handle is
// disconnected, which ends the wait, and the result is -1.
template <typename Wait, typename Disconnect = double (*)(double)>
double bounded_wait(Wait wait, double handle, int timeout_ms = 20000, Disconnect disconnect = kiv_disconnect) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false, fired = false;
    std::thread dog([&] {
        std::unique_lock<std::mutex> lk(m);
        if (cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return done; })) return;
        fired = true;
        lk.unlock();
        disconnect(handle);
    });
    const double r = wait(handle);
    {
        std::lock_guard<std::mutex> lk(m);
        done = true;
    }
    cv.notify_all();
    dog.join();
    return fired ? -1 : r;
}

// Takes the next token of a connection within timeout_ms; "<none>" otherwise.
inline std::string next_token(double handle, int timeout_ms = 5000) {
    if (!wait_until([&] { return kiv_token_receive(handle) == 1.0; }, timeout_ms)) return "<none>";
    return kiv_token_value(handle);
}

// A plain connection to a raw listener: the handle and the accepted raw end.
struct PlainPair {
    Listener listener;
    double handle = 0;
    sock_t peer = kNoSocket;
    PlainPair() {
        handle = kiv_connect("127.0.0.1", listener.port, 1);
        peer = listener.accept_one();
    }
    ~PlainPair() {
        if (peer != kNoSocket) close_socket(peer);
    }
};

}  // namespace test
