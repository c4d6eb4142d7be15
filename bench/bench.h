// Helpers the benchmarks share: clocks, CPU and memory readings, summaries, and servers in child processes.
#pragma once

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/support.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Keeps this thread (and what it starts) on one CPU: every server on the
// last, so that the servers compared meet the same placement.
inline void pin(unsigned cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Ends the run when a phase overruns (a library wait has no time limit);
// also lifts the descriptor limit, as both ends of many connections live here.
inline void start(int seconds) {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        std::fprintf(stderr, "over %d s, stopped\n", seconds);
        std::_Exit(2);
    }).detach();
}

inline double process_cpu() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A figure of /proc/<pid>/status in KiB ("VmRSS:", "VmHWM:").
inline long status_kib(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    }
    return -1;
}

// CPU seconds, to the nanosecond (schedstat), of every thread of pid but
// its main one: a server's own threads without its script's.
inline double threads_cpu(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task/";
    DIR* d = opendir(dir.c_str());
    double ns = 0, sum = 0;
    while (dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] != '.' && std::atoi(e->d_name) != pid && std::ifstream(dir + e->d_name + "/schedstat") >> ns) {
            sum += ns / 1e9;
        }
    }
    if (d) closedir(d);
    return sum;
}

inline double pct(std::vector<double> v, double q) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))];
}

// The smallest and largest of repeated figures.
struct Range {
    double lo = 1e300, hi = -1e300;
    void add(double v) { lo = std::min(lo, v), hi = std::max(hi, v); }
    std::string str(const char* fmt = "%.3g") const {
        char a[32], b[32];
        std::snprintf(a, sizeof a, fmt, lo), std::snprintf(b, sizeof b, fmt, hi);
        return std::string(a) + "-" + b;
    }
};

// A kiv client and the connection a kiv plain server accepted for it.
struct KivPair {
    double server = 0, a = 0, b = 0;
    KivPair() {
        const uint16_t port = test::free_port();
        server = kiv_listen(port, 1, 0);
        a = kiv_connect("127.0.0.1", port, 1);
        if (!test::wait_until([&] { return kiv_valid(b = kiv_accept(server)) == 1; })) {
            std::fprintf(stderr, "no loopback connection\n"), std::exit(1);
        }
    }
    ~KivPair() {
        for (double h : {b, a, server}) kiv_disconnect(h);
    }
};

// `count` raw players that read their "T<n>\n", a few hundred connects at a
// time (the listener's backlog); it stops at the first not admitted.
inline std::vector<int> join(uint16_t port, int count) {
    std::vector<int> fds;
    for (size_t first = 0; static_cast<int>(first) < count; first = fds.size()) {
        while (static_cast<int>(fds.size()) < count && fds.size() - first < 256) fds.push_back(test::connect_to(port));
        for (size_t i = first; i < fds.size(); ++i) {
            std::string line;
            for (int k = 0; k < 16 && (line.empty() || line.back() != '\n'); ++k) {
                const std::string c = test::read_n(fds[i], 1, 10000);
                line += c.empty() ? "?\n" : c;
            }
            if (line.size() < 3 || line[0] != 'T' || line.back() != '\n') {
                for (size_t j = i; j < fds.size(); ++j) close(fds[j]);
                fds.resize(i);
                return fds;
            }
        }
    }
    return fds;
}

// The floor a player server is measured against: plain epoll, every line a
// player sends written to every other player, gathered per recipient over
// each wait's worth of reading; reading pauses while a recipient holds over
// 1 MiB unsent. Ends with its process.
inline void floor_serve(int lfd) {
    const int ep = epoll_create1(0);
    auto watch = [ep](int op, int fd, uint32_t mask) {
        epoll_event e{mask, {}};
        e.data.fd = fd;
        epoll_ctl(ep, op, fd, &e);
    };
    watch(EPOLL_CTL_ADD, lfd, EPOLLIN);
    struct Player {
        std::string in, out;
        uint32_t mask = EPOLLIN;
    };
    std::vector<Player> p;
    std::vector<int> live;
    bool hold = false;
    epoll_event evs[512];
    for (;;) {
        const int n = epoll_wait(ep, evs, 512, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = evs[i].data.fd, one = 1;
            if (fd == lfd) {
                const int c = accept(lfd, nullptr, nullptr);
                if (c < 0) continue;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // as the library's players
                p.resize(std::max(p.size(), static_cast<size_t>(c) + 1));
                p[c].out = "T" + std::to_string(live.size() + 1) + "\n";
                watch(EPOLL_CTL_ADD, c, EPOLLIN);
                live.push_back(c);
                continue;
            }
            if (hold || !(evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) continue;
            char buf[65536];
            const ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r == 0 || (r < 0 && errno != EAGAIN)) {
                close(fd);
                live.erase(std::find(live.begin(), live.end(), fd));
                p[fd] = Player{};
            } else if (r > 0) {
                std::string& in = p[fd].in;
                in.append(buf, static_cast<size_t>(r));
                const size_t whole = in.rfind('\n') + 1;  // 0 when no line ended
                for (int to : live) {
                    if (to != fd) p[to].out.append(in, 0, whole);
                }
                in.erase(0, whole);
            }
        }
        size_t most = 0;
        for (int fd : live) {
            std::string& out = p[fd].out;
            const ssize_t r = out.empty() ? 0 : send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            out.erase(0, r > 0 ? static_cast<size_t>(r) : 0);
            most = std::max(most, out.size());
        }
        hold = most > (1u << 20);
        for (int fd : live) {
            const uint32_t mask = (hold ? 0u : EPOLLIN) | (p[fd].out.empty() ? 0u : EPOLLOUT);
            if (mask != p[fd].mask) watch(EPOLL_CTL_MOD, fd, p[fd].mask = mask);
        }
    }
}

// `prog --serve kiv|floor PORT LIMIT FD`: a player server (the library's or
// the floor) whose main thread, like a game script, takes the server's
// records once per 10 ms frame. It says 1 on FD once listening (0 when it
// cannot) and serves until its parent goes, at most two hours.
inline int serve(int argc, char** argv) {
    if (argc != 6 || std::string(argv[1]) != "--serve") return -1;
    const bool floor = std::string(argv[2]) == "floor";
    const uint16_t port = static_cast<uint16_t>(std::atoi(argv[3]));
    double h = 0;
    if (floor) {
        const int lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = test::loopback(port);
        h = bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(lfd, 1024) == 0;
        if (h > 0) std::thread([lfd] { floor_serve(lfd); }).detach();
    } else {
        h = kiv_listen(port, 3, std::atof(argv[4]));
    }
    if (write(std::atoi(argv[5]), h > 0 ? "1" : "0", 1) != 1 || h <= 0) return 1;
    static volatile sig_atomic_t stop = 0;  // SIGTERM ends it in order (a profiler then writes its figures)
    signal(SIGTERM, [](int) { stop = 1; });
    const pid_t parent = getppid();
    for (int frame = 0; frame < 2 * 3600 * 100 && getppid() == parent && !stop; ++frame) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int i = 0; !floor && i < 100000 && kiv_token_receive(h) == 1; ++i) {
        }
        for (int i = 0; !floor && i < 100000 && kiv_message_receive(h) == 1; ++i) {
        }
    }
    return 0;
}

// A server of `prog --serve` in a child process, so that its CPU and
// memory are its own to measure.
struct Server {
    pid_t pid = -1;
    uint16_t port = 0;
    explicit Server(const char* kind, int limit = 5000) {
        for (int attempt = 0; attempt < 5 && pid < 0; ++attempt) {
            int fds[2];
            if (pipe(fds) != 0) break;
            port = test::free_port();
            const pid_t child = fork();
            if (child == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                pin(std::thread::hardware_concurrency() - 1);
                dup2(fds[1], 3);
                close_range(4, ~0u, 0);
                const std::string p = std::to_string(port), l = std::to_string(limit);
                char exe[4096] = {};  // the path, not /proc/self/exe, so that valgrind can follow
                if (readlink("/proc/self/exe", exe, sizeof exe - 1) > 0) {
                    execl(exe, "server", "--serve", kind, p.c_str(), l.c_str(), "3", nullptr);
                }
                _exit(127);
            }
            close(fds[1]);
            char ok = '0';
            pollfd pf{fds[0], POLLIN, 0};
            if (poll(&pf, 1, 10000) == 1 && read(fds[0], &ok, 1) == 1 && ok == '1') {
                pid = child;
            } else if (child > 0) {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
            }
            close(fds[0]);
        }
        if (pid < 0) std::fprintf(stderr, "cannot start a %s server\n", kind), std::exit(1);
    }
    ~Server() {
        kill(pid, SIGTERM);
        for (int i = 0; i < 3000; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    double cpu() const { return threads_cpu(pid); }
    long kib(const char* key) const { return status_kib(pid, key); }
};

}  // namespace bench
