// A child process for tests of the programs: piped stdin, stdout and stderr,
// bounded waits, and a stop that reports how it ended.
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

namespace test {

class Process {
public:
    explicit Process(std::vector<std::string> args) {
        // A line written after the child ended must not end the test.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2], err[2];
        // Close-on-exec from the start, so no other child inherits an end.
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
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
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    Process(Process&& o) noexcept { *this = std::move(o); }
    Process& operator=(Process&& o) noexcept {
        std::swap(pid_, o.pid_);
        std::swap(in_, o.in_);
        std::swap(out_, o.out_);
        std::swap(err_, o.err_);
        std::swap(exited_, o.exited_);
        std::swap(status_, o.status_);
        out.swap(o.out);
        err.swap(o.err);
        return *this;
    }

    ~Process() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_, out_, err_}) {
            if (fd >= 0) close(fd);
        }
    }

    bool started() const { return pid_ > 0; }
    bool running() const { return pid_ > 0 && !exited_; }

    void send(const std::string& line) {
        const std::string bytes = line + "\n";
        if (in_ >= 0 && write(in_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) close_stdin();
    }

    void close_stdin() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }

    // Waits until stdout (stderr) holds the text, within timeout_ms.
    bool wait_out(const std::string& text, int timeout_ms = 20000) {
        return pump_until([&] { return out.find(text) != std::string::npos; }, timeout_ms);
    }
    bool wait_err(const std::string& text, int timeout_ms = 20000) {
        return pump_until([&] { return err.find(text) != std::string::npos; }, timeout_ms);
    }

    // The number after `prefix` on stdout ("listening on N"), once its line
    // is complete; 0 when it never came.
    int port_after(const std::string& prefix, int timeout_ms = 20000) {
        if (!wait_out(prefix, timeout_ms)) return 0;
        pump_until([&] { return out.find('\n', out.find(prefix)) != std::string::npos; }, timeout_ms);
        return std::atoi(out.c_str() + out.find(prefix) + prefix.size());
    }

    // What the child wrote on stderr so far.
    const std::string& errors() {
        while (pump(0)) {
        }
        return err;
    }

    // The exit status within timeout_ms (all output read; 128 + N for a
    // signal), or -1: then it is killed.
    int wait_exit(int timeout_ms = 20000) {
        if (pid_ <= 0) return -1;
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

    void signal(int sig) {
        if (running()) kill(pid_, sig);
    }

    // Sends the signal and returns the exit status, as wait_exit.
    int stop(int sig = SIGTERM, int timeout_ms = 20000) {
        if (!running()) return exited_ ? status_ : -1;
        kill(pid_, sig);
        return wait_exit(timeout_ms);
    }

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
            // Both pipes closed: nothing more can come.
            if (std::chrono::steady_clock::now() >= deadline || (out_ < 0 && err_ < 0)) return false;
            pump(10);
        }
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

}  // namespace test
