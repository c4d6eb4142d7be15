// Test support at the level of a script: the exports, raw loopback peers and bounded waits.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#endif

#include <string>

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
