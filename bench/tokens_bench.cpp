// Token latency beside its floors, delivery rate, idle cost and memory of plain connections on loopback.
//
// Usage: tokens_bench [ROUND_TRIPS]   (default 10000 per way and round)
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "bench.h"

namespace {

using bench::Clock;
using bench::since;

using Trip = std::function<void()>;

// Times `count` calls of trip, while `echo` (when given) answers on its own
// thread; the last entry is the process's CPU per trip, in ms.
std::vector<double> time_trips(int count, const Trip& trip, const std::function<void(int)>& echo = nullptr) {
    const double cpu0 = bench::process_cpu();
    std::thread t;
    if (echo) t = std::thread(echo, count);
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        trip();
        ms.push_back(since(t0) * 1e3);
    }
    if (t.joinable()) t.join();
    ms.push_back((bench::process_cpu() - cpu0) / count * 1e3);
    return ms;
}

struct Bare {
    test::Listener l;
    int x = test::connect_to(l.port), y = l.accept_one();
    ~Bare() { close(x), close(y); }
};

// Bare sockets, an end per thread: each trip wakes the echo and then us.
std::vector<double> bare_two_threads(int count) {
    Bare b;
    char buf[8], mine[8];
    return time_trips(
        count, [&] { send(b.x, "ping\n", 5, MSG_NOSIGNAL) == 5 && recv(b.x, mine, 5, MSG_WAITALL); },
        [&](int n) {
            for (int i = 0; i < n && recv(b.y, buf, 5, MSG_WAITALL) == 5; ++i) send(b.y, "pong\n", 5, MSG_NOSIGNAL);
        });
}

// The library's own layout in plain code: per end, a reader thread cuts
// lines and hands them to the host thread through a condition variable.
struct LayoutEnd {
    int fd;
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::string> lines;
    std::thread reader;
    explicit LayoutEnd(int f) : fd(f), reader([this] {
        std::string held;
        char buf[4096];
        for (ssize_t r; (r = recv(fd, buf, sizeof buf, 0)) > 0;) {
            held.append(buf, static_cast<size_t>(r));
            std::lock_guard<std::mutex> lk(m);
            for (size_t nl; (nl = held.find('\n')) != std::string::npos; held.erase(0, nl + 1)) {
                lines.push_back(held.substr(0, nl));
            }
            cv.notify_all();
        }
    }) {}
    ~LayoutEnd() {
        shutdown(fd, SHUT_RDWR);
        reader.join();
    }
    bool take() {
        std::unique_lock<std::mutex> lk(m);
        if (!cv.wait_for(lk, std::chrono::seconds(5), [this] { return !lines.empty(); })) return false;
        lines.pop_front();
        return true;
    }
};

std::vector<double> layout(int count) {
    Bare b;
    LayoutEnd x(b.x), y(b.y);
    return time_trips(
        count,
        [&] {
            send(b.x, "ping\n", 5, MSG_NOSIGNAL);
            x.take();
        },
        [&](int n) {
            for (int i = 0; i < n && y.take(); ++i) send(b.y, "pong\n", 5, MSG_NOSIGNAL);
        });
}

std::vector<double> kiv(int count) {
    bench::KivPair p;
    return time_trips(
        count,
        [&] {
            kiv_token_send(p.a, "ping", "", 0);
            kiv_token_wait(p.a);
            kiv_token_receive(p.a);
        },
        [&](int n) {
            for (int i = 0; i < n && kiv_token_wait(p.b) == 1 && kiv_token_receive(p.b) == 1; ++i) {
                kiv_token_send(p.b, "pong", "", 0);
            }
        });
}

void round_trips(int count) {
    const char* names[] = {"bare sockets, two threads", "kiv's layout, plain code", "kiv"};
    std::vector<double> (*ways[])(int) = {bare_two_threads, layout, kiv};
    std::vector<bench::Range> p50(3), p99(3), cpu(3);
    bench::Range over_layout, over_bare, cpu_over_layout, cpu_over_bare;
    for (int round = 0; round < 3; ++round) {
        double med[3], us[3];
        for (int w = 0; w < 3; ++w) {
            std::vector<double> ms = ways[w](count);
            us[w] = ms.back() * 1e3;
            ms.pop_back();
            med[w] = bench::pct(ms, .5);
            p50[w].add(med[w]), p99[w].add(bench::pct(ms, .99)), cpu[w].add(us[w]);
        }
        over_layout.add(med[2] / med[1]), over_bare.add(med[2] / med[0]);
        cpu_over_layout.add(us[2] / us[1]), cpu_over_bare.add(us[2] / us[0]);
    }
    for (int w = 0; w < 3; ++w) {
        std::printf("round trip, %-26s p50 %s ms  p99 %s ms  CPU %s us  (3 rounds of %d)\n", names[w],
                    p50[w].str().c_str(), p99[w].str().c_str(), cpu[w].str().c_str(), count);
    }
    std::printf("ROUND TRIP kiv / its layout in plain code: p50 %s, CPU %s; kiv / bare two threads: p50 %s, CPU %s\n",
                over_layout.str("%.2f").c_str(), cpu_over_layout.str("%.2f").c_str(), over_bare.str("%.2f").c_str(),
                cpu_over_bare.str("%.2f").c_str());
}

// A peer writes 16-byte tokens as fast as the socket takes them; the script
// drains them, checking their order.
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
    int got = 0;
    long disorder = 0;
    while (got < count && since(t0) < max_seconds) {
        if (kiv_token_receive(p.handle) == 1) {
            disorder += std::atoi(kiv_token_value(p.handle)) != got++;
        } else {
            kiv_token_wait(p.handle);
        }
    }
    std::printf("tokens delivered by one connection %.0f tokens/s (%d of %d 16-byte tokens, %ld out of order)\n",
                got / since(t0), got, count, disorder);
    test::disconnect_all();
    writer.join();
}

void long_line() {
    test::PlainPair p;
    const std::string line(1u << 20, 'l');
    const auto t0 = Clock::now();
    std::thread writer([&] { test::write_all(p.peer, line + "\n"); });
    kiv_token_wait(p.handle);
    std::printf("1 MiB line delivered in %.1f ms\n", since(t0) * 1e3);
    writer.join();
    test::disconnect_all();
}

void idle_connections(int count, double seconds) {
    test::Listener l;
    std::vector<int> peers;
    const long rss0 = bench::status_kib(getpid(), "VmRSS:");
    for (int i = 0; i < count; ++i) {
        kiv_connect("127.0.0.1", l.port, 1);
        peers.push_back(l.accept_one());
    }
    const long rss1 = bench::status_kib(getpid(), "VmRSS:");
    const double c0 = bench::process_cpu();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = bench::process_cpu() - c0;
    std::printf("idle connections: %.3f %% of one core in all (%d connections); %.1f KiB resident each, both ends\n",
                100.0 * cpu / seconds, count, static_cast<double>(rss1 - rss0) / count);
    for (int fd : peers) close(fd);
    test::disconnect_all(count + 8);
}

}  // namespace

int main(int argc, char** argv) {
    bench::start(1200);
    round_trips(argc > 1 ? std::atoi(argv[1]) : 10000);
    delivery_rate(2000000, 30.0);
    long_line();
    idle_connections(1000, 3.0);
    return 0;
}
