// soak_bench: a long run of tokens through a player server with 8 players; checks every delivery and reports memory and time.
//
// Usage: soak_bench [TOKENS] [SECONDS]   (defaults 1000000 and 600)
// Eight typed clients in this process send TOKENS tokens in all through one
// player server, all through the library's exports. Each token names its
// sender and sequence number; the other seven players and the server's script
// must each take every token exactly once and in order per sender. A sender
// keeps at most a window of tokens ahead of its slowest reader, so what is in
// flight, and therefore what the process may hold, stays bounded. The run
// stops at SECONDS even if unfinished and says how far it got. Prints the
// process's resident memory at the start, the middle and the end, and the
// time taken. Exit status 0 only when everything arrived in order.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kiv.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPlayers = 8;
constexpr int kReaders = kPlayers + 1;  // the players, then the server's script
constexpr long kWindow = 2048;          // tokens a sender may be ahead of its slowest reader
constexpr int kBurst = 256;             // tokens one sender sends before the others get a turn

// VmRSS and VmHWM of this process in KiB, from /proc/self/status.
struct Memory {
    long rss = -1;
    long peak = -1;
};

Memory memory() {
    Memory m;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) m.rss = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) m.peak = std::atol(line.c_str() + 6);
    }
    return m;
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void print_memory(const char* when, double t) {
    const Memory m = memory();
    std::printf("%-6s t=%8.1f s  RSS %7.1f MiB  (peak %7.1f MiB)\n", when, t, m.rss / 1024.0, m.peak / 1024.0);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const long total = argc > 1 ? static_cast<long>(std::strtod(argv[1], nullptr)) : 1000000;
    const double limit = argc > 2 ? std::strtod(argv[2], nullptr) : 600.0;
    if (total < kPlayers || !(limit > 0)) {
        std::fprintf(stderr, "usage: soak_bench [TOKENS >= %d] [SECONDS > 0]\n", kPlayers);
        return 2;
    }

    const double server = kiv_listen(0, 3, 0);
    const uint16_t port = test::port_of_handle(server);
    std::vector<double> client(kPlayers);
    for (double& c : client) c = kiv_connect("127.0.0.1", port, 3);
    for (double c : client) {
        if (c == 0 || kiv_player_id(c) == 0) {
            std::fprintf(stderr, "soak: a player could not join the server on port %u\n", port);
            return 1;
        }
    }
    // Reader kPlayers is the server's script.
    std::vector<double> reader(client);
    reader.push_back(server);

    std::vector<long> quota(kPlayers, total / kPlayers);
    for (long i = 0; i < total % kPlayers; ++i) ++quota[i];
    std::vector<long> sent(kPlayers, 0);
    std::vector<std::vector<long>> next(kReaders, std::vector<long>(kPlayers, 0));  // [reader][sender]
    long delivered = 0, wrong = 0, refused = 0;
    const long expected = total * (kReaders - 1);  // every reader but the sender itself

    std::printf("soak: %ld tokens, %d players, time limit %.0f s, window %ld\n", total, kPlayers, limit, kWindow);
    const auto t0 = Clock::now();
    print_memory("start", 0);
    bool middle_shown = false;
    double last_report = 0;
    char text[32];

    bool dropped = false;
    while (delivered < expected && !dropped) {
        const double t = seconds_since(t0);
        if (t >= limit) break;
        if (t - last_report >= 10) {
            last_report = t;
            const Memory m = memory();
            std::printf("       t=%8.1f s  RSS %7.1f MiB  %ld of %ld deliveries\n", t, m.rss / 1024.0, delivered,
                        expected);
            std::fflush(stdout);
        }
        bool progress = false;

        for (int s = 0; s < kPlayers; ++s) {
            long slowest = sent[s];
            for (int r = 0; r < kReaders; ++r) {
                if (r != s) slowest = std::min(slowest, next[r][s]);
            }
            const long until = std::min({quota[s], slowest + kWindow, sent[s] + kBurst});
            while (sent[s] < until) {
                std::snprintf(text, sizeof text, "%d %ld", s, sent[s]);
                if (kiv_token_send(client[s], text, "", 0) != 1.0) {
                    ++refused;  // the outbox is full: try again next round
                    break;
                }
                ++sent[s];
                progress = true;
            }
        }

        for (int r = 0; r < kReaders; ++r) {
            while (kiv_token_receive(reader[r]) == 1.0) {
                progress = true;
                int s = -1;
                long seq = -1;
                if (std::sscanf(kiv_token_value(reader[r]), "%d %ld", &s, &seq) != 2 || s < 0 || s >= kPlayers ||
                    s == r) {
                    ++wrong;
                    continue;
                }
                if (seq != next[r][s]) ++wrong;  // lost, repeated or out of order
                next[r][s] = seq + 1;
                ++delivered;
            }
            if (kiv_valid(reader[r]) != 1.0) dropped = true;
        }

        if (!middle_shown && delivered * 2 >= expected) {
            middle_shown = true;
            print_memory("middle", seconds_since(t0));
        }
        if (!progress) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const double took = seconds_since(t0);
    print_memory("end", took);

    long missing = 0;
    for (int r = 0; r < kReaders; ++r) {
        for (int s = 0; s < kPlayers; ++s) {
            if (r != s) missing += quota[s] - next[r][s];
        }
    }
    const bool complete = delivered == expected && missing == 0;
    std::printf("soak: %s after %.1f s: %ld of %ld deliveries (%.0f tokens/s in, %.0f deliveries/s out), "
                "out of order or repeated %ld, missing %ld, sends refused and retried %ld%s\n",
                complete ? "complete" : "STOPPED", took, delivered, expected, delivered / (kReaders - 1.0) / took,
                delivered / took, wrong, missing, refused, dropped ? ", a connection was dropped" : "");

    for (double c : client) kiv_disconnect(c);
    kiv_disconnect(server);
    return complete && wrong == 0 ? 0 : 1;
}
