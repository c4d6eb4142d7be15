// server_bench: what a kiv player server costs per record, beside a plain epoll floor, with idle players and under a flood.
//
// Usage: server_bench [--quick] [--latency] [--deliver] [--idle N] [--flood SECONDS]
// With no section named, all of them run. Servers run in child processes
// (bench.h), so the CPU and memory figures are the server's own threads'.
#include <fcntl.h>

#include <atomic>
#include <random>

#include "bench.h"

namespace {

using bench::Clock;
using bench::Range;
using bench::Server;
using bench::since;

std::vector<double> clients(const Server& srv, int n) {
    std::vector<double> c(n);
    for (double& h : c) {
        h = kiv_connect("127.0.0.1", srv.port, 3);
        if (h <= 0) std::fprintf(stderr, "a player could not join\n"), std::exit(1);
    }
    return c;
}

void drain(double h) {
    for (int i = 0; i < 100000 && kiv_token_receive(h) == 1; ++i) {
    }
}

// One player to another through the server, waiting in the library's
// waits: a token (which goes to everybody) and a message to one player.
void latency(int players, int samples) {
    Server srv("kiv");
    std::vector<double> c = clients(srv, players);
    std::mt19937 rng(players);
    std::vector<double> tok, msg;
    for (int k = 0; k < samples; ++k) {
        const int a = static_cast<int>(rng() % players);
        const double b = c[(a + 1 + rng() % (players - 1)) % players];
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));  // no lockstep with the server
        for (double h : c) drain(h);
        const std::string text = std::to_string(k);
        auto t0 = Clock::now();
        kiv_token_send(c[a], text.c_str(), "", 0);
        for (int i = 0; i < 100 && kiv_token_wait(b) == 1 && kiv_token_receive(b) == 1; ++i) {
            if (text == kiv_token_value(b)) break;
        }
        tok.push_back(since(t0) * 1e3);
        t0 = Clock::now();
        kiv_message_send(c[a], 1, kiv_player_id(b), text.c_str());
        for (int i = 0; i < 100 && kiv_message_wait(b) == 1 && kiv_message_receive(b) == 1; ++i) {
            if (text == kiv_message_value(b)) break;
        }
        msg.push_back(since(t0) * 1e3);
    }
    std::printf("latency, %2d players: token p50 %.3f p99 %.3f ms; message p50 %.3f p99 %.3f ms (%d samples)\n", players,
                bench::pct(tok, .5), bench::pct(tok, .99), bench::pct(msg, .5), bench::pct(msg, .99), samples);
    for (double h : c) kiv_disconnect(h);
}

// ---- Deliveries: raw players, each sending "T<i> <seq>\n" to everybody,
// at most `window` tokens ahead of its slowest reader: 1 is a room where
// every record travels alone, 64 one that keeps the server busy.

struct Load {
    double per_s = 0, cpu_us = 0;
    long wrong = 0;
};

Load deliveries(const Server& srv, int n, long window, double seconds) {
    std::vector<int> fd = bench::join(srv.port, n);
    if (static_cast<int>(fd.size()) != n) std::fprintf(stderr, "players not admitted\n"), std::exit(1);
    const int ep = epoll_create1(0);
    for (int i = 0; i < n; ++i) {
        fcntl(fd[i], F_SETFL, O_NONBLOCK);
        epoll_event e{EPOLLIN, {}};
        e.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, fd[i], &e);
    }
    std::vector<long> sent(n, 0);
    std::vector<std::vector<long>> next(n, std::vector<long>(n, 0));  // [reader][sender]
    std::vector<std::string> in(n), out(n);
    long got = 0, wrong = 0, total = 0;
    const double cpu0 = srv.cpu();
    const auto t0 = Clock::now();
    epoll_event evs[256];
    char buf[65536];
    for (double t = 0; t < seconds + 10 && (t < seconds || got < total * (n - 1)); t = since(t0)) {
        bool pending = false;
        for (int s = 0; s < n; ++s) {
            long slowest = sent[s];
            for (int r = 0; r < n; ++r) slowest = r == s ? slowest : std::min(slowest, next[r][s]);
            for (; t < seconds && sent[s] < slowest + window; ++sent[s], ++total) {
                out[s] += "T" + std::to_string(s) + " " + std::to_string(sent[s]) + "\n";
            }
            const ssize_t w = out[s].empty() ? 0 : send(fd[s], out[s].data(), out[s].size(), MSG_NOSIGNAL);
            if (w > 0) out[s].erase(0, static_cast<size_t>(w));
            pending = pending || !out[s].empty();
        }
        const int k = epoll_wait(ep, evs, 256, pending ? 1 : 10);
        for (int e = 0; e < k; ++e) {
            const int r = static_cast<int>(evs[e].data.u32);
            const ssize_t m = recv(fd[r], buf, sizeof buf, 0);
            if (m <= 0) continue;
            in[r].append(buf, static_cast<size_t>(m));
            size_t at = 0;
            for (size_t nl; (nl = in[r].find('\n', at)) != std::string::npos; at = nl + 1, ++got) {
                int s = -1;
                long seq = -1;
                std::sscanf(in[r].c_str() + at, "T%d %ld", &s, &seq);
                if (s < 0 || s >= n || s == r || seq != next[r][s]) {
                    ++wrong;
                    continue;
                }
                next[r][s] = seq + 1;
            }
            in[r].erase(0, at);
        }
    }
    Load l;
    l.per_s = got / since(t0);
    l.cpu_us = (srv.cpu() - cpu0) / got * 1e6;
    l.wrong = wrong + total * (n - 1) - got;
    for (int f : fd) close(f);
    close(ep);
    return l;
}

void deliveries(int n, long window, double seconds, int rounds) {
    Server kiv("kiv"), floor("floor");
    Range k_us, f_us, ratio, k_rate, f_rate;
    long wrong = 0;
    for (int round = 0; round < rounds; ++round) {
        const Load k = deliveries(kiv, n, window, seconds), f = deliveries(floor, n, window, seconds);
        std::printf("deliveries, %2d players, window %2ld, round %d: kiv %.3f us CPU each (%.0f/s), floor %.3f us (%.0f/s), "
                    "lost or out of order %ld / %ld\n",
                    n, window, round + 1, k.cpu_us, k.per_s, f.cpu_us, f.per_s, k.wrong, f.wrong);
        k_us.add(k.cpu_us), f_us.add(f.cpu_us), ratio.add(k.cpu_us / f.cpu_us);
        k_rate.add(k.per_s), f_rate.add(f.per_s), wrong += k.wrong;
    }
    std::printf("DELIVERY %2d players, window %2ld: server CPU per delivery kiv %s us, floor %s us, kiv/floor %s; "
                "rate kiv %s/s floor %s/s; kiv lost or out of order %ld\n",
                n, window, k_us.str().c_str(), f_us.str().c_str(), ratio.str("%.2f").c_str(), k_rate.str("%.0f").c_str(),
                f_rate.str("%.0f").c_str(), wrong);
}

// ---- Idle players: two kiv players pass a message back and forth, with
// and without `idle` raw players connected that send nothing.

struct Trips {
    double cpu_us = 0, p50 = 0, p99 = 0;
    long relayed = 0;
};

Trips ping_pong(const Server& srv, double a, double b, int count, double max_s) {
    const double na = kiv_player_id(a), nb = kiv_player_id(b);
    std::vector<double> ms;
    const double cpu0 = srv.cpu();
    const auto start = Clock::now();
    for (int k = 0; k < count && since(start) < max_s; ++k) {
        const auto t0 = Clock::now();
        kiv_message_send(a, 1, nb, "ping");
        if (kiv_message_wait(b) != 1 || kiv_message_receive(b) != 1) break;
        kiv_message_send(b, 1, na, "pong");
        if (kiv_message_wait(a) != 1 || kiv_message_receive(a) != 1) break;
        ms.push_back(since(t0) * 1e3);
    }
    Trips t;
    t.relayed = 2 * static_cast<long>(ms.size());
    t.cpu_us = (srv.cpu() - cpu0) / t.relayed * 1e6;
    t.p50 = bench::pct(ms, .5), t.p99 = bench::pct(ms, .99);
    return t;
}

void idle(int idle, int count, int rounds) {
    Server none("kiv"), some("kiv");
    std::vector<double> pn = clients(none, 2), ps = clients(some, 2);
    ping_pong(none, pn[0], pn[1], 200, 5);
    ping_pong(some, ps[0], ps[1], 200, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long rss0 = some.kib("VmRSS:");
    const auto t0 = Clock::now();
    std::vector<int> fds = bench::join(some.port, idle);
    const double join_s = since(t0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long rss1 = some.kib("VmRSS:");
    const double cpu0 = some.cpu(), per_player = static_cast<double>(rss1 - rss0) / std::max<size_t>(fds.size(), 1);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("idle: %zu of %d players joined in %.1f s; the server idles at %.2f %% CPU\n", fds.size(), idle, join_s,
                100.0 * (some.cpu() - cpu0) / 2);
    Range c0, c1, ratio, p99_0, p99_1;
    for (int round = 0; round < rounds; ++round) {
        const Trips a = ping_pong(none, pn[0], pn[1], count, 3), b = ping_pong(some, ps[0], ps[1], count, 3);
        std::printf("idle, round %d: relayed message %.1f us CPU with 0 idle, %.1f us with %zu; round trip p50/p99 "
                    "%.3f/%.3f ms and %.3f/%.3f ms (%ld and %ld relayed)\n",
                    round + 1, a.cpu_us, b.cpu_us, fds.size(), a.p50, a.p99, b.p50, b.p99, a.relayed, b.relayed);
        c0.add(a.cpu_us), c1.add(b.cpu_us), ratio.add(b.cpu_us / a.cpu_us), p99_0.add(a.p99), p99_1.add(b.p99);
    }
    std::printf("IDLE %zu: server CPU per relayed message %s us (0 idle %s us), ratio %s; round trip p99 %s ms "
                "(0 idle %s ms); memory per idle player %.2f KiB\n",
                fds.size(), c1.str().c_str(), c0.str().c_str(), ratio.str("%.2f").c_str(), p99_1.str().c_str(),
                p99_0.str().c_str(), per_player);
    for (int f : fds) close(f);
    for (double h : pn) kiv_disconnect(h);
    for (double h : ps) kiv_disconnect(h);
}

// ---- Flood: a raw player writes 1 KB tokens as fast as loopback takes
// them; a kiv player reads continuously and checks every one.

void flood(double seconds) {
    Server srv("kiv");
    const double reader = clients(srv, 1)[0];
    const int fd = bench::join(srv.port, 1).at(0);
    std::atomic<long> sent{0};
    const auto t0 = Clock::now();
    std::thread flooder([&] {
        std::string batch;
        for (long seq = 0; since(t0) < seconds; seq += 16) {
            batch.clear();
            for (long i = seq; i < seq + 16; ++i) {
                const std::string head = "T" + std::to_string(i) + " ";
                batch += head + std::string(1023 - head.size(), 'x') + "\n";
            }
            if (!test::write_all(fd, batch)) return;
            sent += 16;
        }
        test::write_all(fd, "Tend\n");
    });
    long got = 0, wrong = 0, got_in_time = 0;
    double dropped_at = -1;
    for (long i = 0; i < 100000000; ++i) {
        if (kiv_token_wait(reader) != 1 || kiv_token_receive(reader) != 1) {
            dropped_at = since(t0);
            break;
        }
        const char* v = kiv_token_value(reader);
        if (std::strcmp(v, "end") == 0) break;
        if (std::atol(v) != got || std::strlen(v) != 1022) ++wrong;
        ++got;
        if (since(t0) <= seconds) got_in_time = got;
    }
    flooder.join();
    std::printf("FLOOD %.0f s: flooder sent %.0f tokens/s (%ld); reader got %.0f tokens/s while it ran, %ld of %ld in "
                "all, %ld out of order; reader %s; server peak RSS %.1f MiB\n",
                seconds, sent / seconds, sent.load(), got_in_time / seconds, got, sent.load(), wrong,
                dropped_at < 0 ? "kept" : ("DROPPED at " + std::to_string(dropped_at) + " s").c_str(),
                srv.kib("VmHWM:") / 1024.0);
    close(fd);
    kiv_disconnect(reader);
}

}  // namespace

int main(int argc, char** argv) {
    if (const int rc = bench::serve(argc, argv); rc >= 0) return rc;
    bench::start(3600);
    bool quick = false, all = true, lat = false, del = false;
    int idle_n = -1;
    double flood_s = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        quick = quick || a == "--quick";
        if (a == "--latency") lat = true, all = false;
        if (a == "--deliver") del = true, all = false;
        if (a == "--idle" && i + 1 < argc) idle_n = std::atoi(argv[++i]), all = false;
        if (a == "--flood" && i + 1 < argc) flood_s = std::atof(argv[++i]), all = false;
    }
    if (all || lat) {
        for (int n : {2, 8, 32}) latency(n, quick ? 50 : 300);
    }
    if (all || del) {
        for (int n : {8, 64}) {
            for (long window : {1, 64}) deliveries(n, window, quick ? 0.5 : 2, quick ? 1 : 3);
        }
    }
    if (all || idle_n >= 0) idle(idle_n >= 0 ? idle_n : quick ? 1000 : 4998, quick ? 500 : 3000, quick ? 1 : 3);
    if (all || flood_s >= 0) flood(flood_s >= 0 ? flood_s : quick ? 3 : 10);
    return 0;
}
