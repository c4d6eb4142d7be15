// kiv-relay benchmark: throughput with the relay's CPU per delivery, added latency, idle CPU.
#include "relay_bench.h"

#include <sys/resource.h>

namespace {

using namespace relaybench;

void latency(int port) {
    constexpr int kRounds = 20000;
    int a = connect_to(port), b = connect_to(port);
    join(a, "lat");
    join(b, "lat");
    std::thread echo_via_relay(echo_lines, b);
    Percentiles relay = ping_pong(a, kRounds, 10);
    send_all(a, "stop\n");
    echo_via_relay.join();
    close(a);
    close(b);

    Percentiles direct = direct_round_trips();

    std::printf("round trip via relay:  p50 %.1f us, p99 %.1f us\n", relay.p50, relay.p99);
    std::printf("round trip direct:     p50 %.1f us, p99 %.1f us\n", direct.p50, direct.p99);
    // A round trip crosses the relay twice.
    std::printf("added per line:        p50 %.1f us, p99 %.1f us\n", (relay.p50 - direct.p50) / 2,
                (relay.p99 - direct.p99) / 2);
}

void idle_cpu(const Relay& relay, int clients, double seconds) {
    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
        fds.push_back(connect_to(relay.port));
        join(fds.back(), "idle" + std::to_string(i / 2));
    }
    long long t0 = cpu_ns(relay.pid);
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    long long t1 = cpu_ns(relay.pid);
    double cpu = static_cast<double>(t1 - t0) / 1e9 / seconds_since(start);
    std::printf("idle, %d clients: %.3f %% of a core over %.1f s\n", clients, cpu * 100, seconds);
    for (int fd : fds)
        close(fd);
}

} // namespace

int main(int argc, char** argv) {
    const std::string bin = relay_binary(argc, argv, "relay_bench");
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);

    Relay relay(bin);
    for (int per_send : {1, 256}) {
        long lines = per_send == 1 ? 500000 : 2000000;
        throughput(relay, 2, per_send, lines, 10);
        throughput(relay, 16, per_send, lines, 10);
    }
    latency(relay.port);
    idle_cpu(relay, 1000, 5);
    return 0;
}
