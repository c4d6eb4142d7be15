// Helpers for the kiv-relay benchmarks: processes, raw line clients, round trips.
#pragma once
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/sockets.h"

extern char** environ;

namespace relaybench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Children to end when a benchmark gives up, so that die() leaves nothing running.
inline std::vector<pid_t>& children() {
    static std::vector<pid_t> pids;
    return pids;
}

[[noreturn]] inline void die(const std::string& what) {
    std::fprintf(stderr, "relay bench: %s\n", what.c_str());
    for (pid_t pid : children()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::exit(1);
}

inline void forget_child(pid_t pid) {
    auto& v = children();
    v.erase(std::remove(v.begin(), v.end(), pid), v.end());
}

inline int connect_to(int port) {
    const int fd = test::connect_to(static_cast<std::uint16_t>(port));
    if (fd < 0)
        die("connect: " + std::string(std::strerror(errno)));
    return fd;
}

inline void send_all(int fd, const std::string& s) {
    if (!test::write_all(fd, s))
        die("send: " + std::string(std::strerror(errno)));
}

// Line reader for the blocking phases; gives up after two seconds of silence.
struct LineReader {
    int fd;
    std::string buf;
    std::string next() {
        while (true) {
            auto nl = buf.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                return line;
            }
            pollfd p{fd, POLLIN, 0};
            char tmp[4096];
            ssize_t n = poll(&p, 1, 2000) == 1 ? read(fd, tmp, sizeof tmp) : -1;
            if (n <= 0)
                die("connection stalled or closed");
            buf.append(tmp, static_cast<std::size_t>(n));
        }
    }
};

inline void join(int fd, const std::string& session) {
    LineReader r{fd, {}};
    r.next();
    send_all(fd, session + "\n");
    r.next();
}

struct Relay {
    pid_t pid = -1;
    int port = 0;

    explicit Relay(const std::string& bin, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{bin, "--port", "0", "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            die("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            die("cannot start " + bin);
        children().push_back(pid);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        LineReader r{out[0], {}};
        std::string line = r.next();
        close(out[0]);
        if (std::sscanf(line.c_str(), "listening on %d", &port) != 1)
            die("unexpected relay output: " + line);
    }
    ~Relay() {
        if (pid > 0 && stop() != 0)
            std::fprintf(stderr, "relay_bench: relay did not exit cleanly\n");
    }
    // SIGTERM, then its exit status (128 + the signal when a signal ended it).
    int stop() {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        forget_child(pid);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

// CPU time of every thread of a process, in nanoseconds (the NATS client has threads of its own).
inline long long cpu_ns(pid_t pid) {
    long long total = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return 0;
    while (dirent* e = readdir(d)) {
        std::ifstream f(dir + "/" + e->d_name + "/schedstat");
        long long ns = 0;
        if (e->d_name[0] != '.' && f >> ns)
            total += ns;
    }
    closedir(d);
    return total;
}

// Every member sends its share of `total_lines`, `per_send` lines per send() call;
// everybody reads everything. Senders stop while too much is in flight so the relay's
// per-client queue bound is never hit.
void throughput(const Relay& relay, int members, int per_send, long total_lines, double time_cap) {
    const int port = relay.port;
    constexpr std::size_t kLine = 64;
    const int kChunkLines = per_send;
    constexpr long kWindow = 32768; // deliveries in flight: 2 MB, far below the bound
    std::string line(kLine - 1, 'x');
    line += '\n';
    std::string chunk;
    for (int i = 0; i < kChunkLines; ++i)
        chunk += line;

    std::vector<int> fds;
    const std::string session = "tp" + std::to_string(members) + "/" + std::to_string(per_send);
    for (int i = 0; i < members; ++i) {
        fds.push_back(connect_to(port));
        join(fds.back(), session);
        fcntl(fds.back(), F_SETFL, O_NONBLOCK);
    }
    const long per_member = total_lines / members / kChunkLines * kChunkLines;
    const long expected = per_member * members * (members - 1);
    std::vector<long> sent_bytes(static_cast<std::size_t>(members), 0);
    long sent_lines = 0, delivered = 0;
    std::vector<char> buf(256 * 1024);
    std::vector<pollfd> pfds(static_cast<std::size_t>(members));
    long long cpu0 = cpu_ns(relay.pid);
    auto start = Clock::now();
    while (delivered < expected && seconds_since(start) < time_cap) {
        bool may_send = sent_lines * (members - 1) - delivered < kWindow;
        for (int i = 0; i < members; ++i) {
            auto& p = pfds[static_cast<std::size_t>(i)];
            p.fd = fds[static_cast<std::size_t>(i)];
            p.events = POLLIN;
            if (may_send && sent_bytes[static_cast<std::size_t>(i)] < per_member * static_cast<long>(kLine))
                p.events |= POLLOUT;
        }
        if (poll(pfds.data(), pfds.size(), 1000) < 0)
            die("poll");
        for (int i = 0; i < members; ++i) {
            auto& p = pfds[static_cast<std::size_t>(i)];
            if (p.revents & (POLLERR | POLLHUP))
                die("relay dropped a bench client");
            if (p.revents & POLLIN) {
                ssize_t n = recv(p.fd, buf.data(), buf.size(), 0);
                if (n == 0)
                    die("relay closed a bench client");
                if (n > 0)
                    delivered += std::count(buf.data(), buf.data() + n, '\n');
            }
            if (p.revents & POLLOUT) {
                long& sb = sent_bytes[static_cast<std::size_t>(i)];
                std::size_t off = static_cast<std::size_t>(sb) % chunk.size();
                std::size_t left = std::min(chunk.size() - off, static_cast<std::size_t>(per_member * static_cast<long>(kLine) - sb));
                ssize_t n = send(p.fd, chunk.data() + off, left, MSG_NOSIGNAL);
                if (n > 0) {
                    sent_lines += (sb + n) / static_cast<long>(kLine) - sb / static_cast<long>(kLine);
                    sb += n;
                }
            }
        }
    }
    double secs = seconds_since(start);
    // The relay's own CPU time per line delivered: the one number here the single-threaded
    // client cannot distort (the rates are bound by the client itself).
    double cpu = static_cast<double>(cpu_ns(relay.pid) - cpu0) / 1e9;
    bool relay_busy = cpu / secs > 0.9;
    std::printf("throughput, %2d members, %3d lines/send: %ld lines in, %ld deliveries in %.2f s -> "
                "%.0f lines/s in, %.0f deliveries/s%s; relay CPU %.0f %% of a core, %.0f ns per delivery%s\n",
                members, per_send, sent_lines, delivered, secs, static_cast<double>(sent_lines) / secs,
                static_cast<double>(delivered) / secs, relay_busy ? "" : " (as fast as this client goes)",
                cpu / secs * 100, delivered > 0 ? cpu * 1e9 / static_cast<double>(delivered) : 0.0,
                delivered < expected ? " (time cap hit)" : "");
    for (int fd : fds)
        close(fd);
}

struct Percentiles {
    double p50, p99;
};

// Round trips of one line over `fd`, whose far side sends every line back.
inline Percentiles ping_pong(int fd, int rounds, double time_cap) {
    LineReader r{fd, {}};
    std::vector<double> us;
    auto start = Clock::now();
    for (int i = 0; i < rounds && seconds_since(start) < time_cap; ++i) {
        auto t0 = Clock::now();
        send_all(fd, "ping " + std::to_string(i) + "\n");
        r.next();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

inline void echo_lines(int fd) {
    LineReader r{fd, {}};
    while (true) {
        std::string line = r.next();
        if (line == "stop")
            return;
        send_all(fd, line + "\n");
    }
}

// The same ping-pong over a direct loopback connection: what the relay adds
// is the difference.
inline Percentiles direct_round_trips() {
    const test::Listener listener;
    int c = connect_to(listener.port);
    int s = listener.accept_one();
    if (s < 0)
        die("direct listener");
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread echo(echo_lines, s);
    Percentiles p = ping_pong(c, 20000, 10);
    send_all(c, "stop\n");
    echo.join();
    close(c);
    close(s);
    return p;
}

// The kiv-relay to measure: the first argument, KIV_RELAY_BIN, the one the
// build names, or the one beside this build's bench/ folder.
inline std::string relay_binary(int argc, char** argv, const char* self_name) {
    std::string bin = argc > 1 ? argv[1] : "";
    if (bin.empty() && std::getenv("KIV_RELAY_BIN"))
        bin = std::getenv("KIV_RELAY_BIN");
#ifdef KIV_RELAY_BIN
    if (bin.empty())
        bin = KIV_RELAY_BIN;
#endif
    if (bin.empty()) {
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) > 0) {
            std::string dir(self);
            dir.erase(dir.rfind('/'));
            bin = dir + "/../tools/relay/kiv-relay";
        }
    }
    if (bin.empty() || access(bin.c_str(), X_OK) != 0)
        die(std::string("usage: ") + self_name + " [PATH-TO-kiv-relay] (or set KIV_RELAY_BIN)");
    return bin;
}

} // namespace relaybench
