// kiv-relay entry point: options, process limits, signals and the event loop.
#include "cluster.hpp"
#include "relay.hpp"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <memory>
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
    kiv::relay::Limits defaults;
    double stall_seconds = 30.0, line_seconds = 30.0, heartbeat_seconds = 1.0;
    std::size_t budget_mib = defaults.memory_budget >> 20;
    bool stats = false;
    std::string cluster_url, cluster_name = "kiv";
    app.add_option("--port", port, "TCP port to listen on; 0 picks a free one")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--bind", bind, "address to listen on")->capture_default_str();
    app.add_flag("--quiet", quiet, "do not log connects and disconnects on stderr");
    app.add_option("--handshake-timeout", handshake_seconds,
                   "seconds a new client has to send its first line")
        ->check(CLI::Range(0.001, 86400.0))
        ->capture_default_str();
    app.add_option("--memory-budget", budget_mib,
                   "MiB that waiting lines of all clients may take together; past it the largest holders are dropped")
        ->check(CLI::Range(std::size_t(16), std::size_t(1) << 30))
        ->capture_default_str();
    auto* cluster_opt = app.add_option("--cluster", cluster_url,
                                       "share sessions with other kiv-relay instances through this NATS server "
                                       "(with JetStream), e.g. nats://127.0.0.1:4222");
    auto* cluster_name_opt =
        app.add_option("--cluster-name", cluster_name, "instances with the same name share sessions")
            ->capture_default_str();
    // Advanced: the defaults suit players; tests shorten them.
    app.add_option("--stall-timeout", stall_seconds, "seconds a client may take no bytes while some wait for it")
        ->check(CLI::Range(0.001, 86400.0))
        ->group("");
    app.add_option("--line-timeout", line_seconds, "seconds a client may hold an unfinished line")
        ->check(CLI::Range(0.001, 86400.0))
        ->group("");
    app.add_option("--cluster-heartbeat", heartbeat_seconds,
                   "seconds between an instance's liveness writes; the same on every instance")
        ->check(CLI::Range(0.01, 60.0))
        ->group("");
    app.add_flag("--stats", stats, "print counters (peak bytes held, drops) on stderr when stopping")->group("");
    CLI11_PARSE(app, argc, argv);
    if (cluster_name_opt->count() > 0 && cluster_opt->count() == 0) {
        std::fprintf(stderr, "kiv-relay: --cluster-name needs --cluster nats://HOST:PORT (the NATS server the "
                             "instances share)\n");
        return 2;
    }

    kiv::relay::Options options;
    asio::error_code ec;
    options.bind_address = asio::ip::make_address(bind, ec);
    if (ec) {
        std::fprintf(stderr, "kiv-relay: bad --bind address '%s': %s\n", bind.c_str(), ec.message().c_str());
        return 2;
    }
    auto ms = [](double s) { return std::chrono::milliseconds(static_cast<long long>(s * 1000.0)); };
    options.port = static_cast<std::uint16_t>(port);
    options.quiet = quiet;
    options.stats = stats;
    options.limits.handshake_timeout = ms(handshake_seconds);
    options.limits.stall_timeout = ms(stall_seconds);
    options.limits.line_timeout = ms(line_seconds);
    options.limits.memory_budget = budget_mib << 20;

    raise_descriptor_limit();
#if defined(SIGPIPE)
    std::signal(SIGPIPE, SIG_IGN); // a peer vanishing mid-write must not kill the relay
#endif

    asio::io_context io(1);
    kiv::relay::Server server(io, options);
    std::unique_ptr<kiv::relay::Cluster> cluster;
    // Installed before announcing the port, so a signal sent right after it is handled.
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& wait_ec, int signo) {
        if (wait_ec)
            return;
        if (!quiet)
            std::fprintf(stderr, "kiv-relay: signal %d, shutting down\n", signo);
        server.stop();
        if (cluster)
            cluster->stop();
    });

    try {
        server.start();
    } catch (const asio::system_error& e) {
        std::fprintf(stderr, "kiv-relay: cannot listen on %s port %d: %s\n", bind.c_str(), port, e.what());
        return 1;
    }
    if (!cluster_url.empty()) {
        kiv::relay::ClusterOptions co;
        co.url = cluster_url;
        co.name = cluster_name;
        co.heartbeat = ms(heartbeat_seconds);
        co.stats = stats;
        std::string error;
        cluster = kiv::relay::join_cluster(io, server, co, &error);
        if (!cluster) {
            std::fprintf(stderr, "kiv-relay: --cluster: %s\n", error.c_str());
            return 2;
        }
    }
    std::printf("listening on %u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);

    io.run();
    return 0;
}
