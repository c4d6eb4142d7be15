// kiv-relay cluster benchmark: two members on one instance against two members on two
// instances joined through nats-server, in the same run; and the cost of an idle clustered
// instance. Loopback only; every phase is bounded in lines and seconds.
#include "relay_bench.h"

#include <dirent.h>
#include <sys/resource.h>

#include <cmath>

namespace {

using namespace relaybench;

std::string nats_binary() {
    for (const char* p : {"/usr/sbin/nats-server", "/usr/bin/nats-server", "/usr/local/bin/nats-server"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

struct NatsServer {
    pid_t pid = -1;
    int port = 0;
    explicit NatsServer(const std::string& bin) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            die("no free port");
        port = ntohs(a.sin_port);
        close(fd);
        std::vector<std::string> args{bin, "-a", "127.0.0.1", "-p", std::to_string(port)};
        std::vector<char*> argv;
        for (auto& s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0)
            die("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            die("cannot start " + bin);
        children().push_back(pid);
        posix_spawn_file_actions_destroy(&fa);
        close(err[1]);
        std::string log;
        auto start = Clock::now();
        char buf[4096];
        while (log.find("Server is ready") == std::string::npos) {
            pollfd p{err[0], POLLIN, 0};
            ssize_t n = poll(&p, 1, 5000) == 1 ? read(err[0], buf, sizeof buf) : -1;
            if (n <= 0 || seconds_since(start) > 10)
                die("nats-server did not start");
            log.append(buf, static_cast<std::size_t>(n));
        }
        close(err[0]);
    }
    ~NatsServer() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        forget_child(pid);
    }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port); }
};

// One member floods 64-byte lines, the other reads them all; at most `window` in flight.
double one_way(int from_port, int to_port, const std::string& session, long lines, double time_cap) {
    int a = connect_to(from_port), b = connect_to(to_port);
    join(a, session);
    // The reader may be on another instance: wait until a line gets through.
    join(b, session);
    LineReader rb{b, {}};
    auto settle = Clock::now();
    while (true) {
        send_all(a, "hello\n");
        pollfd p{b, POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            rb.next();
            break;
        }
        if (seconds_since(settle) > 10)
            die("the members never met");
    }
    // Late copies of the greeting lines may still come; they are counted out below.
    fcntl(a, F_SETFL, O_NONBLOCK);
    fcntl(b, F_SETFL, O_NONBLOCK);
    const std::string line = std::string(63, 'x') + "\n";
    std::string chunk;
    for (int i = 0; i < 256; ++i)
        chunk += line;
    constexpr long kWindow = 32768; // 2 MiB in flight, well inside the per-client bound
    long sent = 0, got = 0;
    std::size_t off = 0;
    char last = 0;
    std::vector<char> buf(256 * 1024);
    auto start = Clock::now();
    while (got < lines && seconds_since(start) < time_cap) {
        pollfd p[2] = {{a, static_cast<short>(sent < lines && sent - got < kWindow ? POLLOUT : 0), 0},
                       {b, POLLIN, 0}};
        if (poll(p, 2, 1000) < 0)
            die("poll");
        if (p[1].revents & (POLLERR | POLLHUP))
            die("the relay dropped the reader");
        if (p[1].revents & POLLIN) {
            ssize_t n = recv(b, buf.data(), buf.size(), 0);
            if (n <= 0)
                die("the relay closed the reader");
            // Only lines of x count: late copies of "hello" do not.
            for (ssize_t i = 0; i < n; ++i) {
                char c = buf[static_cast<std::size_t>(i)];
                got += c == '\n' && last == 'x';
                last = c;
            }
        }
        if (p[0].revents & POLLOUT) {
            ssize_t n = send(a, chunk.data() + off, chunk.size() - off, MSG_NOSIGNAL);
            if (n > 0) {
                std::size_t before = off;
                off = (off + static_cast<std::size_t>(n)) % chunk.size();
                sent += (static_cast<long>(before % 64) + n) / 64;
            }
        }
    }
    double rate = static_cast<double>(got) / seconds_since(start);
    close(a);
    close(b);
    return got < lines ? -rate : rate;
}

Percentiles round_trips(int port_a, int port_b, const std::string& session) {
    int a = connect_to(port_a), b = connect_to(port_b);
    join(a, session);
    join(b, session);
    std::thread echo(echo_lines, b);
    // Until b's instance counts a, lines may not reach b yet: the first ping waits for it.
    LineReader ra{a, {}};
    auto start = Clock::now();
    while (true) {
        send_all(a, "warm\n");
        pollfd p{a, POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            ra.next();
            break;
        }
        if (seconds_since(start) > 10)
            die("no echo across instances");
    }
    // Echoes of extra warm-up lines still in flight are read off before measuring.
    while (true) {
        pollfd p{a, POLLIN, 0};
        if (poll(&p, 1, 200) != 1)
            break;
        ra.next();
    }
    Percentiles p = ping_pong(a, 20000, 10);
    send_all(a, "stop\n");
    echo.join();
    close(a);
    close(b);
    return p;
}

// CPU time of every thread of a process, in nanoseconds (the NATS client has threads of its own).
long long cpu_ns(pid_t pid) {
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

double idle_cpu(const Relay& relay, int clients, double seconds) {
    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
        fds.push_back(connect_to(relay.port));
        join(fds.back(), "idle" + std::to_string(i / 2));
    }
    long long t0 = cpu_ns(relay.pid);
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double cpu = static_cast<double>(cpu_ns(relay.pid) - t0) / 1e9 / seconds_since(start);
    for (int fd : fds)
        close(fd);
    return cpu * 100;
}

} // namespace

int main(int argc, char** argv) {
    const std::string bin = relay_binary(argc, argv, "relay_cluster_bench");
    std::string nats = nats_binary();
    if (nats.empty()) {
        std::printf("relay_cluster_bench: nats-server is not installed (Debian: nats-server); nothing measured\n");
        return 0;
    }
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);

    NatsServer server(nats);
    std::vector<std::string> cluster{"--cluster", server.url(), "--cluster-name", "bench"};
    Relay a(bin, cluster), b(bin, cluster);

    constexpr long kLines = 2000000;
    double same = one_way(a.port, a.port, "tp-same", kLines, 15);
    double cross = one_way(a.port, b.port, "tp-cross", kLines, 15);
    std::printf("one-way 64-byte lines, one instance:    %.0f lines/s%s\n", std::abs(same), same < 0 ? " (time cap hit)" : "");
    std::printf("one-way 64-byte lines, two instances:   %.0f lines/s%s\n", std::abs(cross), cross < 0 ? " (time cap hit)" : "");

    Percentiles direct = direct_round_trips();
    Percentiles one = round_trips(a.port, a.port, "lat-same");
    Percentiles two = round_trips(a.port, b.port, "lat-cross");
    std::printf("round trip direct:                      p50 %.1f us, p99 %.1f us\n", direct.p50, direct.p99);
    std::printf("round trip, one instance:               p50 %.1f us, p99 %.1f us\n", one.p50, one.p99);
    std::printf("round trip, two instances:              p50 %.1f us, p99 %.1f us\n", two.p50, two.p99);
    // A round trip crosses the relay path twice.
    std::printf("added per line, one instance:           p50 %.1f us, p99 %.1f us\n", (one.p50 - direct.p50) / 2,
                (one.p99 - direct.p99) / 2);
    std::printf("added per line, two instances:          p50 %.1f us, p99 %.1f us\n", (two.p50 - direct.p50) / 2,
                (two.p99 - direct.p99) / 2);

    Relay alone(bin);
    double idle_alone = idle_cpu(alone, 0, 5), busy_alone = idle_cpu(alone, 1000, 5);
    double idle_member = idle_cpu(b, 0, 5), busy_member = idle_cpu(b, 1000, 5);
    std::printf("idle CPU, no clients:      alone %.3f %%, clustered %.3f %% of a core (5 s each)\n", idle_alone,
                idle_member);
    std::printf("idle CPU, 1000 clients:    alone %.3f %%, clustered %.3f %% of a core (5 s each)\n", busy_alone,
                busy_member);
    return 0;
}
