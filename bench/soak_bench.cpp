// soak_bench: the token rate a room of players sustains through a kiv player server, then a long run at it with every record checked.
//
// Usage: soak_bench [--minutes M] [--rate R] [--players N] [--quick]
// (defaults 5 minutes, 8 players; R tokens/s per player, found by a probe
// when not given; --quick: 2-s probe steps and a 20-s run)
// Every player sends R tokens a second to everybody; each token names its
// sender, sequence number and send time, and every other player must take
// each one once and in order. The probe doubles R from 50 while a step of
// sending is fully delivered within 0.5 s of its end with p99 latency under
// 50 ms (a step that misses gets a second try: the machine is shared); the
// run goes at half the last such R. It prints the latency, the server's CPU
// and memory each reporting period, and exits 0 only when everything
// arrived before it ended.
#include <atomic>
#include <cmath>

#include "bench.h"

namespace {

using bench::Clock;
using bench::since;

// Latency histogram, log-spaced: bucket b holds up to 2^(b/8) - 1 us.
constexpr int kBuckets = 200;
int bucket(double us) { return std::min(kBuckets - 1, static_cast<int>(std::log2(1 + std::max(0.0, us)) * 8)); }
double bucket_ms(int b) { return (std::exp2(b / 8.0) - 1) / 1e3; }

double hist_pct(const std::vector<long>& h, double q) {
    long total = 0, seen = 0;
    for (long n : h) total += n;
    for (int b = 0; b < kBuckets; ++b) {
        if ((seen += h[b]) > 0 && seen >= q * total) return bucket_ms(b);
    }
    return -1;
}

struct Result {
    long sent = 0, delivered = 0, wrong = 0;
    double drain_s = -1, p50 = 0, p99 = 0;
    bool complete() const { return wrong == 0 && drain_s >= 0; }
};

// A room of `n` players at `rate` tokens/s each for `seconds`; every
// `period` seconds a line of figures when `period` > 0.
Result room(const bench::Server& srv, int n, double rate, double seconds, double period) {
    std::vector<double> c(n);
    for (double& h : c) {
        h = kiv_connect("127.0.0.1", srv.port, 3);
        if (h <= 0) std::fprintf(stderr, "a player could not join\n"), std::exit(1);
    }
    std::vector<std::atomic<long>> hist(kBuckets);
    std::atomic<long> delivered{0}, wrong{0};
    const auto t0 = Clock::now();
    std::vector<std::thread> readers;
    for (int r = 0; r < n; ++r) {
        readers.emplace_back([&, r] {
            std::vector<long> next(n, 0);
            for (long i = 0; i < 1000000000 && kiv_token_wait(c[r]) == 1 && kiv_token_receive(c[r]) == 1; ++i) {
                int s = -1;
                long seq = -1;
                double at = 0;
                if (std::sscanf(kiv_token_value(c[r]), "%d %ld %lf", &s, &seq, &at) != 3 || s < 0) return;  // "end"
                if (s >= n || s == r || seq != next[s]) ++wrong;
                if (s < n) next[s] = seq + 1;
                hist[bucket(since(t0) * 1e6 - at)]++;
                ++delivered;
            }
        });
    }
    Result res;
    std::vector<long> shown(kBuckets, 0), sent(n, 0);
    double next_report = period, cpu0 = srv.cpu(), last = 0;
    char text[64];
    for (double t = 0; t < seconds; t = since(t0)) {
        for (int s = 0; s < n; ++s) {
            // A send refused (its outbox full) is tried again next time.
            for (const long due = static_cast<long>(t * rate); sent[s] < due; ++sent[s], ++res.sent) {
                std::snprintf(text, sizeof text, "%d %ld %.0f", s, sent[s], since(t0) * 1e6);
                if (kiv_token_send(c[s], text, "", 0) != 1) break;
            }
        }
        if (period > 0 && t >= next_report) {
            std::vector<long> window(kBuckets);
            for (int b = 0; b < kBuckets; ++b) window[b] = hist[b] - shown[b], shown[b] = hist[b];
            std::printf("  t=%5.0f s  %ld of %ld delivered; latency p50 %.2f p99 %.2f ms; server CPU %.1f %%, RSS "
                        "%.1f MiB\n",
                        t, delivered.load(), res.sent * (n - 1), hist_pct(window, .5), hist_pct(window, .99),
                        100 * (srv.cpu() - cpu0) / (t - last), srv.kib("VmRSS:") / 1024.0);
            std::fflush(stdout);
            next_report += period, cpu0 = srv.cpu(), last = t;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto end = Clock::now();
    while (delivered < res.sent * (n - 1) && since(end) < 30) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (delivered == res.sent * (n - 1)) res.drain_s = since(end);
    for (int s : {0, 1}) kiv_token_send(c[s], "end", "", 0);  // the readers' last token
    for (auto& th : readers) th.join();
    std::vector<long> all(kBuckets);
    for (int b = 0; b < kBuckets; ++b) all[b] = hist[b];
    res.delivered = delivered, res.wrong = wrong;
    res.p50 = hist_pct(all, .5), res.p99 = hist_pct(all, .99);
    for (double h : c) kiv_disconnect(h);
    return res;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int rc = bench::serve(argc, argv); rc >= 0) return rc;
    double minutes = 5, rate = 0;
    int players = 8;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const double v = i + 1 < argc ? std::atof(argv[i + 1]) : 0;
        if (a == "--minutes") minutes = v;
        if (a == "--rate") rate = v;
        if (a == "--players") players = static_cast<int>(v);
        if (a == "--quick") quick = true, minutes = 1.0 / 3;
    }
    if (players < 2 || !(minutes > 0)) {
        std::fprintf(stderr, "usage: soak_bench [--minutes M > 0] [--rate R] [--players N >= 2] [--quick]\n");
        return 2;
    }
    bench::start(static_cast<int>(minutes * 60) + 900);
    bench::Server srv("kiv");
    double best = 50;
    for (double r = 50, probing = rate <= 0, again = false; probing && r < 1e5; r *= again ? 1 : 2) {
        const Result p = room(srv, players, r, quick ? 2 : 5, 0);
        probing = p.complete() && p.drain_s < 0.5 && p.p99 < 50;
        again = !probing && !again;
        probing = probing || again;
        std::printf("probe %5.0f tokens/s per player: %ld of %ld delivered, drained in %.2f s, p50 %.2f p99 %.2f ms%s\n",
                    r, p.delivered, p.sent * (players - 1), p.drain_s, p.p50, p.p99, probing && !again ? "" : "  (behind)");
        if (probing && !again) best = r;
    }
    if (rate <= 0) rate = best / 2;  // the margin a game would keep
    std::printf("soak: %d players x %.0f tokens/s for %.1f min\n", players, rate, minutes);
    const auto t0 = Clock::now();
    const Result s = room(srv, players, rate, minutes * 60, quick ? 5 : 60);
    std::printf("SOAK %s: %d players x %.0f tokens/s (%.0f deliveries/s) for %.1f min: %ld of %ld delivered, %ld lost, "
                "repeated or out of order, last delivered %.2f s after sending stopped; latency p50 %.2f p99 %.2f ms; "
                "server peak RSS %.1f MiB, run %.0f s\n",
                s.complete() ? "complete" : "INCOMPLETE", players, rate, rate * players * (players - 1), minutes,
                s.delivered, s.sent * (players - 1), s.wrong + s.sent * (players - 1) - s.delivered, s.drain_s, s.p50,
                s.p99, srv.kib("VmHWM:") / 1024.0, since(t0));
    return s.complete() ? 0 : 1;
}
