// Token latency, delivery rate, idle cost and memory of plain connections on loopback.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long rss_kib() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const double p50 = ms[ms.size() / 2];
    const double p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    std::printf("%-34s n=%zu  p50 %.3f ms  p99 %.3f ms\n", what, ms.size(), p50, p99);
}

// A kiv client connected to a kiv plain server's accepted connection.
struct KivPair {
    double server = 0, a = 0, b = 0;
    KivPair() {
        server = kiv_listen(0, 1, 0);
        a = kiv_connect("127.0.0.1", test::port_of_handle(server), 1);
        test::wait_until([&] {
            b = kiv_accept(server);
            return kiv_valid(b) == 1;
        });
    }
};

void round_trips(int count) {
    KivPair p;
    std::vector<double> ms;
    ms.reserve(count);
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        kiv_token_send(p.a, "ping", "", 0);
        kiv_token_wait(p.b);
        kiv_token_receive(p.b);
        kiv_token_send(p.b, "pong", "", 0);
        kiv_token_wait(p.a);
        kiv_token_receive(p.a);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    report("kiv token round trip", ms);

    // The same exchange over bare sockets, in the same run.
    test::Listener l;
    int x = test::connect_to(l.port);
    int y = l.accept_one();
    ms.clear();
    char buf[16];
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        send(x, "ping\n", 5, 0);
        recv(y, buf, sizeof buf, 0);
        send(y, "pong\n", 5, 0);
        recv(x, buf, sizeof buf, 0);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    report("bare socket round trip", ms);
    close(x);
    close(y);
    test::disconnect_all();
}

// A peer writes 16-byte tokens as fast as the socket takes them; the script
// drains them. Every token is checked for order.
void delivery_rate(int count, double max_seconds) {
    test::PlainPair p;
    std::thread writer([&] {
        std::string batch;
        char tok[17];
        for (int i = 0; i < count;) {
            batch.clear();
            for (int k = 0; k < 4096 && i < count; ++k, ++i) {
                std::snprintf(tok, sizeof tok, "%015d\n", i);
                batch += tok;
            }
            if (!test::write_all(p.peer, batch)) return;
        }
    });
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::duration<double>(max_seconds);
    int got = 0;
    long disorder = 0;
    while (got < count && Clock::now() < end) {
        if (kiv_token_receive(p.handle) == 1) {
            if (std::atoi(kiv_token_value(p.handle)) != got) ++disorder;
            ++got;
        } else {
            kiv_token_wait(p.handle);
        }
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("%-34s %.0f tokens/s (%d of %d 16-byte tokens in %.2f s, %ld out of order)\n",
                "tokens delivered by one connection", got / secs, got, count, secs, disorder);
    test::disconnect_all();
    writer.join();
}

void long_line() {
    test::PlainPair p;
    const std::string line(1u << 20, 'l');
    const auto t0 = Clock::now();
    std::thread writer([&] { test::write_all(p.peer, line + "\n"); });
    kiv_token_wait(p.handle);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    writer.join();
    std::printf("%-34s %.1f ms\n", "1 MiB line delivered", ms);
    test::disconnect_all();
}

void idle_connections(int count, double seconds) {
    // Two descriptors per connection here (ours and the peer's), plus a wake.
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    test::Listener l;
    std::vector<int> peers;
    const long rss0 = rss_kib();
    for (int i = 0; i < count; ++i) {
        kiv_connect("127.0.0.1", l.port, 1);
        peers.push_back(l.accept_one());
    }
    const long rss1 = rss_kib();
    const double c0 = cpu_seconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpu_seconds() - c0;
    std::printf("%-34s %.4f ms CPU per second each, %.3f %% of one core in all (%d connections)\n",
                "idle connections", cpu / wall / count * 1000.0, 100.0 * cpu / wall, count);
    std::printf("%-34s %.1f KiB each\n", "resident memory per idle connection",
                static_cast<double>(rss1 - rss0) / count);
    for (int fd : peers) close(fd);
    test::disconnect_all();
}

}  // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::atoi(argv[1]) : 10000;
    round_trips(trips);
    delivery_rate(2000000, 30.0);
    long_line();
    idle_connections(1000, 3.0);
    return 0;
}
