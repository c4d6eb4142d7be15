// Test support for kiv-relay: the relay as a child process and a raw line client, with bounded waits.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace relaytest {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(20); // generous: sanitizer builds are slow
const std::string kTimeout = "<<timeout>>";
const std::string kClosed = "<<closed>>";
constexpr std::size_t kMaxLine = 1024 * 1024;

inline int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

inline std::string relay_binary() {
    if (const char* env = std::getenv("KIV_RELAY_BIN"))
        return env;
    return KIV_RELAY_BIN;
}

// The relay as a child process; stopping it checks that it shuts down cleanly.
class RelayProcess {
public:
    explicit RelayProcess(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{relay_binary(), "--port", "0", "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        stdout_ = out[0];
        stderr_ = err[0];
        if (pid_ > 0)
            port_ = read_port();
    }
    ~RelayProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0)
            close(stdout_);
        if (stderr_ >= 0)
            close(stderr_);
    }
    int port() const { return port_; }

    // Sends the signal and returns the exit status, or -1 if it did not exit in time.
    int stop(int signo = SIGTERM) {
        if (pid_ <= 0)
            return -1;
        kill(pid_, signo);
        int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        pollfd p{fd, POLLIN, 0};
        bool exited = fd >= 0 && poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kWait).count())) == 1;
        if (fd >= 0)
            close(fd);
        int status = 0;
        if (!exited || waitpid(pid_, &status, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // What the relay wrote on stderr so far (all of it once it has stopped). With --quiet
    // that is little enough for the pipe.
    const std::string& errors() {
        pump_errors(0);
        return err_;
    }
    // Waits until stderr holds `text`.
    bool wait_error(const std::string& text) {
        auto deadline = Clock::now() + kWait;
        while (err_.find(text) == std::string::npos) {
            if (Clock::now() >= deadline)
                return false;
            pump_errors(ms_left(deadline));
        }
        return true;
    }

private:
    void pump_errors(int ms) {
        char buf[4096];
        pollfd p{stderr_, POLLIN, 0};
        while (stderr_ >= 0 && poll(&p, 1, ms) == 1) {
            ssize_t n = read(stderr_, buf, sizeof buf);
            if (n <= 0)
                break;
            err_.append(buf, static_cast<std::size_t>(n));
            ms = 0;
        }
    }

    int read_port() {
        std::string line;
        auto deadline = Clock::now() + kWait;
        char c = 0;
        while (true) {
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, ms_left(deadline)) != 1 || read(stdout_, &c, 1) != 1)
                return 0;
            if (c == '\n')
                break;
            line += c;
        }
        const std::string prefix = "listening on ";
        return line.rfind(prefix, 0) == 0 ? std::atoi(line.c_str() + prefix.size()) : 0;
    }

    pid_t pid_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string err_;
    int port_ = 0;
};

// A raw client. Reading and sending touch separate state, so one thread may read
// while another sends.
class Conn {
public:
    explicit Conn(int port, int rcvbuf = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Conn() { drop(); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Bytes taken per read: a few make a reader much slower than any sender.
    void read_size(std::size_t n) { read_size_ = std::min<std::size_t>(n, 65536); }
    void drop() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    void reset() {
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        drop();
    }

    void half_close() { shutdown(fd_, SHUT_WR); }

    bool send(const std::string& data) {
        std::size_t off = 0;
        auto deadline = Clock::now() + kWait;
        while (off < data.size()) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, ms_left(deadline)) != 1)
                return false;
            ssize_t n = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (n > 0)
                off += static_cast<std::size_t>(n);
        }
        return true;
    }

    // The next line without its "\n", or kTimeout / kClosed.
    std::string line() { return line_within(kWait); }
    std::string line_within(Clock::duration wait) {
        auto deadline = Clock::now() + wait;
        while (true) {
            auto nl = in_.find('\n');
            if (nl != std::string::npos) {
                std::string l = in_.substr(0, nl);
                in_.erase(0, nl + 1);
                return l;
            }
            int r = fill(deadline);
            if (r == 0)
                return kTimeout;
            if (r < 0)
                return kClosed;
        }
    }

    // Discards input until the relay closes the connection; counts the lines seen.
    bool closed(std::size_t* lines = nullptr) {
        auto deadline = Clock::now() + kWait;
        int r;
        while ((r = fill(deadline)) > 0) {
            if (lines) {
                for (char c : in_)
                    *lines += c == '\n';
                in_.clear();
            }
        }
        return r < 0;
    }

    // Skips the greeting, names the session and returns the relay's answer.
    std::string join(const std::string& session) {
        line();
        send(session + "\n");
        return line();
    }

private:
    // 1: got data, 0: deadline passed, -1: closed or reset.
    int fill(Clock::time_point deadline) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) != 1)
            return 0;
        char buf[65536];
        ssize_t n = recv(fd_, buf, read_size_, 0);
        if (n <= 0)
            return n < 0 && errno == EINTR ? 1 : -1;
        in_.append(buf, static_cast<std::size_t>(n));
        return 1;
    }

    int fd_ = -1;
    std::size_t read_size_ = 65536;
    std::string in_;
};

inline std::string seq_line(char who, int i, std::size_t width) {
    std::string s = std::string(1, who) + std::to_string(i) + " ";
    s.resize(width, '.');
    return s;
}

} // namespace relaytest
