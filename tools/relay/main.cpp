// kiv-relay entry point: options, process limits, signals and the event loop.
#include "relay.hpp"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <string>

#if defined(__unix__)
#include <sys/resource.h>
#endif

namespace {

// Each client is a descriptor; the default soft limit (often 1024) would cap the relay
// far below what the machine allows.
void raise_descriptor_limit() {
#if defined(__unix__)
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == rl.rlim_max)
        return;
    rlimit want = rl;
    want.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &want) != 0 && rl.rlim_max == RLIM_INFINITY) {
        // Linux refuses "infinity" for descriptors; take a large finite value instead.
        want.rlim_cur = 1 << 20;
        setrlimit(RLIMIT_NOFILE, &want);
    }
#endif
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"kiv-relay: forwards lines between the members of named sessions"};
    int port = 9713;
    std::string bind = "0.0.0.0";
    bool quiet = false;
    double handshake_seconds = 10.0;
    app.add_option("--port", port, "TCP port to listen on; 0 picks a free one")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--bind", bind, "address to listen on")->capture_default_str();
    app.add_flag("--quiet", quiet, "do not log connects and disconnects on stderr");
    app.add_option("--handshake-timeout", handshake_seconds,
                   "seconds a new client has to send its first line")
        ->check(CLI::Range(0.001, 86400.0))
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    kiv::relay::Options options;
    asio::error_code ec;
    options.bind_address = asio::ip::make_address(bind, ec);
    if (ec) {
        std::fprintf(stderr, "kiv-relay: bad --bind address '%s': %s\n", bind.c_str(), ec.message().c_str());
        return 2;
    }
    options.port = static_cast<std::uint16_t>(port);
    options.quiet = quiet;
    options.handshake_timeout = std::chrono::milliseconds(static_cast<long long>(handshake_seconds * 1000.0));

    raise_descriptor_limit();
#if defined(SIGPIPE)
    std::signal(SIGPIPE, SIG_IGN); // a peer vanishing mid-write must not kill the relay
#endif

    asio::io_context io(1);
    kiv::relay::Server server(io, options);
    // Installed before announcing the port, so a signal sent right after it is handled.
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& wait_ec, int signo) {
        if (wait_ec)
            return;
        if (!quiet)
            std::fprintf(stderr, "kiv-relay: signal %d, shutting down\n", signo);
        server.stop();
    });

    try {
        server.start();
    } catch (const asio::system_error& e) {
        std::fprintf(stderr, "kiv-relay: cannot listen on %s port %d: %s\n", bind.c_str(), port, e.what());
        return 1;
    }
    std::printf("listening on %u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);

    io.run();
    return 0;
}
