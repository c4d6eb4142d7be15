// server_bench: latency, idle cost and relay throughput of the kiv player server (prints numbers, never judges).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "kiv.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

uint16_t port_of(double handle) { return test::port_of_handle(handle); }

size_t player_entries(double server) { return static_cast<size_t>(kiv_player_count(server)); }

// A player number's two digit bytes, read back as the wire has them.
int digit_of(uint8_t b) { return b == 0xFF ? 8 : b == 0xFE ? 124 : static_cast<int>(b) - 2; }
int decode_normal(const uint8_t* p) { return digit_of(p[0]) * 250 + digit_of(p[1]); }

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(q * (v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

template <typename F>
bool wait_for(F cond, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

void drain(double h) {
    while (kiv_token_receive(h) == 1.0) {
    }
    while (kiv_message_receive(h) == 1.0) {
    }
}

// One player to another through the server: kiv typed clients in this
// process, so the figure includes both clients' workers.
void latency(int players, int samples) {
    const double server = kiv_listen(0, 3, 0);
    const uint16_t port = port_of(server);
    std::vector<double> c(players);
    for (int i = 0; i < players; ++i) c[i] = kiv_connect("127.0.0.1", port, 3);
    std::mt19937 rng(players);
    std::vector<double> tok, msg;
    int lost = 0;
    for (int k = 0; k < 2 * samples; ++k) {
        const bool as_token = k % 2 == 0;
        const int a = static_cast<int>(rng() % players);
        const int b = static_cast<int>((a + 1 + rng() % (players - 1)) % players);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
        for (double h : c) drain(h);
        drain(server);
        const std::string text = "s" + std::to_string(k);
        const auto t0 = Clock::now();
        if (as_token) {
            kiv_token_send(c[a], text.c_str(), "", 0);
        } else {
            kiv_message_send(c[a], 1, kiv_player_id(c[b]), text.c_str());
        }
        const bool ok = wait_for(
            [&] {
                if (as_token) {
                    while (kiv_token_receive(c[b]) == 1.0) {
                        if (text == kiv_token_value(c[b])) return true;
                    }
                } else {
                    while (kiv_message_receive(c[b]) == 1.0) {
                        if (text == kiv_message_value(c[b])) return true;
                    }
                }
                return false;
            },
            2000);
        const double ms = ms_between(t0, Clock::now());
        if (!ok) {
            ++lost;
        } else {
            (as_token ? tok : msg).push_back(ms);
        }
    }
    std::printf("latency players=%-3d token  p50=%6.2f ms  p99=%6.2f ms   message p50=%6.2f ms  p99=%6.2f ms  (%d samples each, %d lost)\n",
                players, percentile(tok, 0.5), percentile(tok, 0.99), percentile(msg, 0.5), percentile(msg, 0.99),
                samples, lost);
    for (double h : c) kiv_disconnect(h);
    kiv_disconnect(server);
}

// The server alone with n connected players that send nothing.
void idle(int n) {
    const double server = kiv_listen(0, 3, 0);
    const uint16_t port = port_of(server);
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) fds.push_back(test::connect_to(port));
    if (!wait_for([&] { return player_entries(server) == static_cast<size_t>(n); }, 30000)) {
        std::printf("idle players=%d: only %zu admitted\n", n, player_entries(server));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu0 = cpu_seconds();
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double cpu = cpu_seconds() - cpu0;
    const double wall = ms_between(w0, Clock::now()) / 1000.0;
    std::printf("idle players=%-5d server CPU %5.2f %% of one core\n", n, 100.0 * cpu / wall);
    for (int fd : fds) close(fd);
    kiv_disconnect(server);
}

// A room: `players` kiv clients each sending `rate` tokens a second to
// everybody through a player server for `seconds`. Every client checks that
// it gets every other client's tokens once and in order; each token carries
// its send time, for the latency of the first and the last ten seconds.
void room(int players, int rate, double seconds) {
    const double server = kiv_listen(0, 3, 0);
    const uint16_t port = port_of(server);
    std::vector<double> c(players);
    for (int i = 0; i < players; ++i) c[i] = kiv_connect("127.0.0.1", port, 3);
    std::vector<std::vector<long>> next(players, std::vector<long>(players, 0));
    std::vector<long> sent(players, 0);
    long got = 0, disorder = 0, server_got = 0;
    std::vector<double> first, last, all;
    const auto t0 = Clock::now();
    const double window = std::min(10.0, seconds / 3);
    auto take = [&] {
        for (int i = 0; i < players; ++i) {
            while (kiv_token_receive(c[i]) == 1.0) {
                int from = -1;
                long seq = -1;
                long long at = 0;
                std::sscanf(kiv_token_value(c[i]), "%d:%ld:%lld", &from, &seq, &at);
                if (from < 0 || from >= players || seq != next[i][from]) {
                    ++disorder;
                } else {
                    next[i][from] = seq + 1;
                }
                ++got;
                const auto now = Clock::now();
                const double ms = std::chrono::duration<double, std::milli>(now.time_since_epoch()).count() - at / 1e6;
                const double t = ms_between(t0, now) / 1000.0;
                all.push_back(ms);
                if (t < window) first.push_back(ms);
                if (t > seconds - window && t <= seconds) last.push_back(ms);
            }
        }
        while (kiv_token_receive(server) == 1.0) ++server_got;
    };
    const auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    char text[64];
    while (Clock::now() < end) {
        const double elapsed = ms_between(t0, Clock::now()) / 1000.0;
        for (int i = 0; i < players; ++i) {
            while (sent[i] < elapsed * rate) {
                const long long at = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         Clock::now().time_since_epoch()).count();
                std::snprintf(text, sizeof text, "%d:%ld:%lld", i, sent[i], at);
                kiv_token_send(c[i], text, "", 0);
                ++sent[i];
            }
        }
        take();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    long total = 0;
    for (long n : sent) total += n;
    const long want = total * (players - 1);
    wait_for(
        [&] {
            take();
            return got >= want && server_got >= total;
        },
        30000);
    std::printf("room %2d players x %d tokens/s for %.0f s: %ld of %ld delivered, %ld out of order or twice, "
                "server script got %ld of %ld\n"
                "    latency p50=%.2f ms p99=%.2f ms max=%.2f ms; first %.0f s p50=%.2f p99=%.2f; last %.0f s p50=%.2f "
                "p99=%.2f\n",
                players, rate, seconds, got, want, disorder, server_got, total, percentile(all, 0.5),
                percentile(all, 0.99), percentile(all, 1.0), window, percentile(first, 0.5), percentile(first, 0.99),
                window, percentile(last, 0.5), percentile(last, 0.99));
    for (double h : c) kiv_disconnect(h);
    kiv_disconnect(server);
}

// The server's own capacity: eight raw players, each writing `per_player`
// messages to everybody as fast as the socket takes them, each reading
// everything the others send.
void raw_throughput(int per_player) {
    constexpr int kPlayers = 8;
    const double server = kiv_listen(0, 3, 0);
    const uint16_t port = port_of(server);
    std::vector<int> fds;
    for (int i = 0; i < kPlayers; ++i) {
        fds.push_back(test::connect_to(port));
        char buf[16];
        recv(fds.back(), buf, 3, MSG_WAITALL);  // "T<n>\n" for n < 10
    }
    std::atomic<long> bad{0};
    std::vector<std::thread> threads;
    const auto t0 = Clock::now();
    for (int i = 0; i < kPlayers; ++i) {
        threads.emplace_back([&, i] {
            std::string all;
            for (int k = 0; k < per_player; ++k) {
                all += "M\x03\x02\x01";
                all += std::to_string(k);
                all += '\n';
            }
            size_t off = 0;
            while (off < all.size()) {
                ssize_t r = send(fds[i], all.data() + off, all.size() - off, MSG_NOSIGNAL);
                if (r <= 0) break;
                off += static_cast<size_t>(r);
            }
        });
        threads.emplace_back([&, i] {
            std::vector<int> next(kPlayers + 1, 0);
            long want = static_cast<long>(per_player) * (kPlayers - 1), got = 0;
            std::string buf;
            char tmp[65536];
            const auto deadline = Clock::now() + std::chrono::seconds(60);
            while (got < want && Clock::now() < deadline) {
                pollfd p{fds[i], POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                ssize_t r = recv(fds[i], tmp, sizeof tmp, 0);
                if (r <= 0) break;
                buf.append(tmp, static_cast<size_t>(r));
                size_t start = 0, nl;
                while ((nl = buf.find('\n', start)) != std::string::npos) {
                    const int from = decode_normal(reinterpret_cast<const uint8_t*>(buf.data()) + start + 2);
                    const int seq = std::atoi(buf.c_str() + start + 4);
                    if (from < 1 || from > kPlayers || seq != next[from]) ++bad;
                    if (from >= 1 && from <= kPlayers) next[from] = seq + 1;
                    ++got;
                    start = nl + 1;
                }
                buf.erase(0, start);
            }
            if (got < want) bad += want - got;
        });
    }
    // Meanwhile the script keeps taking the server's messages: each call
    // waits for the pass in progress, so its duration shows how long a
    // pass holds the server under load.
    std::vector<double> calls;
    long taken = 0;
    // The server's own queue is bounded: what a script slower than the room
    // cannot hold is dropped (and counted) rather than stalling the room.
    const long want = static_cast<long>(per_player) * kPlayers;
    // What the queue dropped is what the script never sees: the loop ends
    // when the room has gone quiet.
    std::atomic<uint64_t> dropped{0};
    auto last = Clock::now();
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (taken < want && Clock::now() < deadline && Clock::now() - last < std::chrono::seconds(2)) {
        const auto c0 = Clock::now();
        const bool got = kiv_message_receive(server) == 1.0;
        calls.push_back(ms_between(c0, Clock::now()));
        if (got) {
            ++taken;
            last = Clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    for (auto& t : threads) t.join();
    const double secs = ms_between(t0, Clock::now()) / 1000.0;
    const double deliveries = static_cast<double>(per_player) * kPlayers * (kPlayers - 1);
    const long server_dropped = static_cast<long>(dropped.load());
    std::printf("raw 8 players x %d msgs to all: %.0f deliveries/s (%.0f msgs in/s), %.2f s, lost or disorder=%ld\n"
                "    server script took %ld, its queue dropped %ld; a call on the server meanwhile: p99=%.2f ms  "
                "max=%.2f ms\n",
                per_player, deliveries / secs, per_player * kPlayers / secs, secs,
                bad.load() + (want - taken - server_dropped), taken, server_dropped, percentile(calls, 0.99),
                percentile(calls, 1.0));
    for (int fd : fds) close(fd);
    kiv_disconnect(server);
}

}  // namespace

int main(int argc, char** argv) {
    // A thousand players take two descriptors each in this one process.
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    if (argc > 1 && std::string(argv[1]) == "--raw") {
        raw_throughput(argc > 2 ? std::atoi(argv[2]) : 20000);
        return 0;
    }
    const int samples = quick ? 50 : 200;
    for (int n : {2, 8, 32}) latency(n, samples);
    for (int n : {10, 100, 1000}) idle(n);
    room(16, 60, quick ? 6.0 : 60.0);
    room(32, 60, quick ? 6.0 : 60.0);
    raw_throughput(quick ? 5000 : 20000);
    return 0;
}
