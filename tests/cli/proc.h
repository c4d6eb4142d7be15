// Test support for the kiv programs: a child process with piped stdin, stdout and stderr, and bounded waits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace clitest {

class Proc {
public:
    explicit Proc(std::vector<std::string> args) {
        // A line written after the child ended must not end the test.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&fa, fd);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        fcntl(in_, F_SETFD, FD_CLOEXEC);
        fcntl(out_, F_SETFD, FD_CLOEXEC);
        fcntl(err_, F_SETFD, FD_CLOEXEC);
    }
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    ~Proc() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_, out_, err_}) {
            if (fd >= 0) close(fd);
        }
    }

    bool started() const { return pid_ > 0; }

    void send(const std::string& line) {
        const std::string bytes = line + "\n";
        if (in_ >= 0 && write(in_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) close_stdin();
    }

    void close_stdin() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }

    // Waits until stdout holds the text (as a substring), within timeout_ms.
    bool wait_out(const std::string& text, int timeout_ms = 10000) {
        return pump_until([&] { return out.find(text) != std::string::npos; }, timeout_ms);
    }
    bool wait_err(const std::string& text, int timeout_ms = 10000) {
        return pump_until([&] { return err.find(text) != std::string::npos; }, timeout_ms);
    }

    // The number in "listening on N" / "udp on port N", once printed.
    int port_after(const std::string& prefix, int timeout_ms = 10000) {
        if (!wait_out(prefix, timeout_ms)) return 0;
        pump_until([&] { return out.find('\n', out.find(prefix)) != std::string::npos; }, timeout_ms);
        return std::atoi(out.c_str() + out.find(prefix) + prefix.size());
    }

    // The exit status within timeout_ms (all output read), or -1 (then killed).
    int wait_exit(int timeout_ms = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!exited_) {
            pump(10);
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
        }
        // What the child wrote before it ended is in the pipes.
        while (pump(0)) {
        }
        return status_;
    }

    void signal(int sig) { kill(pid_, sig); }

    std::string out, err;

private:
    // Reads what is there within ms; false when nothing came.
    bool pump(int ms) {
        pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(p, 2, ms) <= 0) return false;
        bool got = false;
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
                got = true;
            } else if (n == 0) {
                // Closed: poll skips it from now on.
                close(p[i].fd);
                (i == 0 ? out_ : err_) = -1;
            }
        }
        return got;
    }

    template <typename Cond>
    bool pump_until(Cond cond, int timeout_ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!cond()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            pump(10);
        }
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

}  // namespace clitest
