// kiv-relay benchmark: session throughput, added latency and idle CPU, over loopback.
#include <arpa/inet.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

pid_t g_relay = -1; // so that die() does not leave the relay running

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "relay_bench: %s\n", what.c_str());
    if (g_relay > 0) {
        kill(g_relay, SIGKILL);
        waitpid(g_relay, nullptr, 0);
    }
    std::exit(1);
}

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        die("connect: " + std::string(std::strerror(errno)));
    return fd;
}

void send_all(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            die("send: " + std::string(std::strerror(errno)));
        off += static_cast<std::size_t>(n);
    }
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

void join(int fd, const std::string& session) {
    LineReader r{fd, {}};
    r.next();
    send_all(fd, session + "\n");
    r.next();
}

struct Relay {
    pid_t pid = -1;
    int port = 0;

    explicit Relay(const std::string& bin) {
        std::vector<std::string> args{bin, "--port", "0", "--quiet"};
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
        g_relay = pid;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        LineReader r{out[0], {}};
        std::string line = r.next();
        close(out[0]);
        if (std::sscanf(line.c_str(), "listening on %d", &port) != 1)
            die("unexpected relay output: " + line);
    }
    ~Relay() {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        g_relay = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            std::fprintf(stderr, "relay_bench: relay did not exit cleanly (status %d)\n", status);
    }
    // utime + stime in clock ticks.
    long cpu_ticks() const {
        std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::istringstream rest(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14)
                utime = std::stol(field);
            if (i == 15)
                stime = std::stol(field);
        }
        return utime + stime;
    }
};

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
    long ticks = relay.cpu_ticks();
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
    double cpu = static_cast<double>(relay.cpu_ticks() - ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / secs;
    std::printf("throughput, %2d members, %3d lines/send: %ld lines in, %ld deliveries in %.2f s -> "
                "%.0f lines/s in, %.0f deliveries/s, relay CPU %.0f %%%s\n",
                members, per_send, sent_lines, delivered, secs, static_cast<double>(sent_lines) / secs,
                static_cast<double>(delivered) / secs, cpu * 100, delivered < expected ? " (time cap hit)" : "");
    for (int fd : fds)
        close(fd);
}

struct Percentiles {
    double p50, p99;
};

// Round trips of one line over `fd`, whose far side sends every line back.
Percentiles ping_pong(int fd, int rounds, double time_cap) {
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

void echo_lines(int fd) {
    LineReader r{fd, {}};
    while (true) {
        std::string line = r.next();
        if (line == "stop")
            return;
        send_all(fd, line + "\n");
    }
}

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

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        die("direct listener");
    int c = connect_to(ntohs(addr.sin_port));
    int s = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread echo_direct(echo_lines, s);
    Percentiles direct = ping_pong(c, kRounds, 10);
    send_all(c, "stop\n");
    echo_direct.join();
    close(c);
    close(s);
    close(listener);

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
    long t0 = relay.cpu_ticks();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    long t1 = relay.cpu_ticks();
    double cpu = static_cast<double>(t1 - t0) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds_since(start);
    std::printf("idle, %d clients: %.2f %% of a core over %.1f s (%ld ticks of 1/%ld s)\n", clients, cpu * 100,
                seconds, t1 - t0, sysconf(_SC_CLK_TCK));
    for (int fd : fds)
        close(fd);
}

} // namespace

int main(int argc, char** argv) {
    std::string bin = argc > 1 ? argv[1] : "";
    if (bin.empty() && std::getenv("KIV_RELAY_BIN"))
        bin = std::getenv("KIV_RELAY_BIN");
#ifdef KIV_RELAY_BIN
    if (bin.empty())
        bin = KIV_RELAY_BIN;
#endif
    if (bin.empty()) {
        // In a build tree the relay sits at tools/relay/ beside bench/.
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) > 0) {
            std::string dir(self);
            dir.erase(dir.rfind('/'));
            bin = dir + "/../tools/relay/kiv-relay";
        }
    }
    if (bin.empty() || access(bin.c_str(), X_OK) != 0)
        die("usage: relay_bench [PATH-TO-kiv-relay] (or set KIV_RELAY_BIN)");
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
