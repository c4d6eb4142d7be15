// kiv-relay cluster benchmark: two members on one instance against two members on two
// instances joined through nats-server, in the same run; what an instance without members
// of a busy session receives; the join answer's latency and exactness; and the cost of an
// idle clustered instance. Loopback only; every phase is bounded in lines and seconds.
#include "relay_bench.h"

#include <sys/resource.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>

namespace {

using namespace relaybench;

std::string nats_binary() {
    for (const char* p : {"/usr/sbin/nats-server", "/usr/bin/nats-server", "/usr/local/bin/nats-server"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

// nats-server with JetStream (its store in a fresh temporary folder) and its monitoring
// port, through which the benchmark counts what each instance receives.
struct NatsServer {
    pid_t pid = -1;
    int port = test::free_port();
    int http_port = test::free_port();
    std::string store;
    explicit NatsServer(const std::string& bin) {
        char dir[] = "/tmp/kiv-relay-bench-XXXXXX";
        if (!mkdtemp(dir))
            die("mkdtemp");
        store = dir;
        std::vector<std::string> args{bin, "-a", "127.0.0.1", "-p", std::to_string(port),
                                      "-m", std::to_string(http_port), "-js", "-sd", store};
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
        std::error_code ec;
        std::filesystem::remove_all(store, ec);
    }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port); }

    // Messages the server sent to each client connection, by connection id.
    std::map<long, long> messages_out() const {
        int fd = connect_to(http_port);
        send_all(fd, "GET /connz?limit=1024 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        std::string body;
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            body.append(buf, static_cast<std::size_t>(n));
        close(fd);
        std::map<long, long> out;
        for (std::size_t at = 0; (at = body.find("\"cid\":", at)) != std::string::npos;) {
            long cid = std::atol(body.c_str() + at + 6);
            std::size_t m = body.find("\"out_msgs\":", at);
            if (m == std::string::npos)
                break;
            out[cid] = std::atol(body.c_str() + m + 11);
            at = m;
        }
        return out;
    }
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

// The connection id the server gave the newest client since `before`.
long newest_connection(const NatsServer& nats, const std::map<long, long>& before) {
    long newest = -1;
    for (auto& [cid, msgs] : nats.messages_out())
        if (!before.count(cid))
            newest = std::max(newest, cid);
    if (newest < 0)
        die("no new NATS connection");
    return newest;
}

// What an instance with no member of a busy session receives from NATS while a member on
// each of two other instances floods that session.
void interest(const NatsServer& nats, const std::string& bin, const std::vector<std::string>& cluster,
              const Relay& a, const Relay& b, long b_cid) {
    auto before = nats.messages_out();
    Relay c(bin, cluster);
    long c_cid = newest_connection(nats, before);
    // A member of another session: the instance is in use, just not in this session.
    int elsewhere = connect_to(c.port);
    join(elsewhere, "elsewhere");
    auto m0 = nats.messages_out();
    constexpr long kLines = 500000;
    double rate = one_way(a.port, b.port, "busy", kLines, 15);
    auto m1 = nats.messages_out();
    std::printf("interest, %ld lines between instances A and B (%.0f lines/s): NATS messages received by B %ld, "
                "by C (no member of that session) %ld\n",
                kLines, std::abs(rate), m1[b_cid] - m0[b_cid], m1[c_cid] - m0[c_cid]);
    close(elsewhere);
}

// Joins `session` on a fresh connection; returns the answer and how long it took to come.
long timed_join(int port, const std::string& session, double* us) {
    int fd = connect_to(port);
    LineReader r{fd, {}};
    r.next();
    auto t0 = Clock::now();
    send_all(fd, session + "\n");
    long answer = std::atol(r.next().c_str());
    *us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    send_all(fd, "`\n");
    close(fd);
    return answer;
}

// The join answer's latency, joining in turn on three instances that each have a member.
void join_latency(const std::vector<int>& ports) {
    std::vector<int> sticky;
    for (int port : ports) {
        sticky.push_back(connect_to(port));
        join(sticky.back(), "lat-join");
    }
    std::vector<double> us;
    auto start = Clock::now();
    for (int i = 0; i < 600 && seconds_since(start) < 20; ++i) {
        double t = 0;
        timed_join(ports[static_cast<std::size_t>(i) % ports.size()], "lat-join", &t);
        us.push_back(t);
    }
    std::sort(us.begin(), us.end());
    std::printf("join answer, 3 instances:               p50 %.1f us, p99 %.1f us (%zu joins)\n",
                us[us.size() / 2], us[us.size() * 99 / 100], us.size());
    for (int fd : sticky)
        close(fd);
}

// Rounds in which clients joining one new session at once on three instances were told
// 0, 1, 2, ... each exactly once.
void simultaneous_joins(const std::vector<int>& ports, int rounds) {
    constexpr int kPerInstance = 2;
    int exact = 0, duplicates = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<int> fds;
        std::vector<LineReader> readers;
        for (int i = 0; i < kPerInstance * static_cast<int>(ports.size()); ++i) {
            fds.push_back(connect_to(ports[static_cast<std::size_t>(i) % ports.size()]));
            readers.push_back(LineReader{fds.back(), {}});
            readers.back().next();
        }
        const std::string name = "sim" + std::to_string(round) + "\n";
        for (int fd : fds)
            send_all(fd, name);
        std::vector<long> answers;
        for (auto& r : readers)
            answers.push_back(std::atol(r.next().c_str()));
        std::sort(answers.begin(), answers.end());
        bool ok = true;
        for (std::size_t i = 0; i < answers.size(); ++i) {
            ok = ok && answers[i] == static_cast<long>(i);
            duplicates += i > 0 && answers[i] == answers[i - 1];
        }
        exact += ok;
        for (int fd : fds) {
            send_all(fd, "`\n");
            close(fd);
        }
    }
    std::printf("simultaneous joins, %d clients on 3 instances: %d of %d rounds exact, %d answers "
                "repeated another's\n",
                kPerInstance * static_cast<int>(ports.size()), exact, rounds, duplicates);
}

// A member that sends 200-byte lines as fast as the relay takes them and reads whatever
// comes, until `stop` or `seconds` pass.
void flood(int fd, const std::atomic<bool>& stop, double seconds) {
    std::string chunk;
    for (int i = 0; i < 64; ++i)
        chunk += std::string(199, 'f') + "\n";
    std::vector<char> buf(65536);
    std::size_t off = 0;
    auto start = Clock::now();
    while (!stop && seconds_since(start) < seconds) {
        pollfd p{fd, POLLIN | POLLOUT, 0};
        if (poll(&p, 1, 100) < 0 || (p.revents & (POLLERR | POLLHUP)))
            return;
        if ((p.revents & POLLIN) && recv(fd, buf.data(), buf.size(), MSG_DONTWAIT) == 0)
            return;
        if (p.revents & POLLOUT) {
            ssize_t n = send(fd, chunk.data() + off, chunk.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                off = (off + static_cast<std::size_t>(n)) % chunk.size();
        }
    }
}

// Stops an instance with SIGTERM while three members on another instance flood the session
// in which its own three members never read, `rounds` times; counts the stops whose exit
// status is not 0 (a sanitizer's report ends the process with one).
int stops_under_load(const std::string& bin, const NatsServer& nats, int rounds) {
    std::vector<std::string> cluster{"--cluster", nats.url(), "--cluster-name", "stops"};
    Relay source(bin, cluster);
    int unclean = 0;
    for (int round = 0; round < rounds; ++round) {
        Relay stopped(bin, cluster);
        std::vector<int> sleepers, flooders;
        for (int i = 0; i < 3; ++i) {
            sleepers.push_back(connect_to(stopped.port));
            join(sleepers.back(), "flood");
            flooders.push_back(connect_to(source.port));
            join(flooders.back(), "flood");
        }
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int fd : flooders)
            threads.emplace_back(flood, fd, std::cref(stop), 10.0);
        std::this_thread::sleep_for(std::chrono::seconds(1)); // lines are pouring in by now
        int status = stopped.stop();
        stop = true;
        for (auto& t : threads)
            t.join();
        for (int fd : sleepers)
            close(fd);
        for (int fd : flooders)
            close(fd);
        unclean += status != 0;
        std::printf("stop %d under inbound load: exit status %d\n", round + 1, status);
        std::fflush(stdout);
    }
    return unclean;
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

// relay_cluster_bench [--stops N] [PATH-TO-kiv-relay]: --stops runs only the stops under load.
int main(int argc, char** argv) {
    int stops = 0;
    if (argc > 2 && std::string(argv[1]) == "--stops") {
        stops = std::atoi(argv[2]);
        argc -= 2;
        argv += 2;
    }
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
    if (stops > 0) {
        int unclean = stops_under_load(bin, server, stops);
        std::printf("stops under inbound load: %d of %d clean\n", stops - unclean, stops);
        return unclean == 0 ? 0 : 1;
    }
    std::vector<std::string> cluster{"--cluster", server.url(), "--cluster-name", "bench"};
    Relay a(bin, cluster);
    auto a_conns = server.messages_out();
    Relay b(bin, cluster);
    long b_cid = newest_connection(server, a_conns);

    interest(server, bin, cluster, a, b, b_cid);
    {
        Relay c(bin, cluster);
        join_latency({a.port, b.port, c.port});
        simultaneous_joins({a.port, b.port, c.port}, 30);
    }

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
