// Helpers shared by the kiv programs: output lines, escaping, stdin lines, signals, slot watching, ports.
#include "common.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>

#include "kiv.h"

namespace kivcli {

namespace {

// SIGINT and SIGTERM are blocked and read from a descriptor: no handler
// runs at an arbitrary point, and none can be lost between two checks.
int g_signal_fd = -1;
bool g_signalled = false;

// Ports tried for "port 0": above Linux's ephemeral range, so that a chosen
// port is not one an outgoing connection is using.
constexpr int kFirstFreePort = 61000;
constexpr int kLastFreePort = 65500;
constexpr int kPortTries = 200;

template <typename Open>
double on_free_port(int* port, Open open) {
    if (*port != 0) return open(*port);
    std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<int> range(kFirstFreePort, kLastFreePort);
    for (int i = 0; i < kPortTries; ++i) {
        const int p = range(pick);
        const double h = open(p);
        if (h != 0) {
            *port = p;
            return h;
        }
    }
    return 0;
}

}  // namespace

void say(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void complain(const std::string& what) {
    std::fprintf(stderr, "kiv: %s\n", what.c_str());
    std::fflush(stderr);
}

std::string printable(const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (unsigned char ch : s) {
        switch (ch) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (ch < 0x20 || ch >= 0x7f) {
                    out += "\\x";
                    out += hex[ch >> 4];
                    out += hex[ch & 15];
                } else {
                    out += static_cast<char>(ch);
                }
        }
    }
    return out;
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char ch : printable(s)) {
        if (ch == '"') out += '\\';
        out += ch;
    }
    return out + "\"";
}

bool parse_integer(const std::string& text, long long* value) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    if (i == text.size() || text.size() - i > 15) return false;
    long long v = 0;
    for (size_t j = i; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9') return false;
        v = v * 10 + (text[j] - '0');
    }
    *value = text[0] == '-' ? -v : v;
    return true;
}

bool parse_host_port(const std::string& text, std::string* host, int* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    long long p = 0;
    if (!parse_integer(text.substr(colon + 1), &p) || p < 1 || p > 65535) return false;
    *host = text.substr(0, colon);
    *port = static_cast<int>(p);
    return true;
}

std::string relay_named() {
    const char* value = std::getenv("KIV_RELAY");
    return value && *value ? " at KIV_RELAY=" + std::string(value) : "";
}

double seconds_now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void catch_signals() {
    signal(SIGPIPE, SIG_IGN);
    // Before the library starts a thread: its threads inherit the mask, so
    // the signals wait for this descriptor.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    g_signal_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (g_signal_fd < 0) pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool signalled() {
    signalfd_siginfo info;
    if (!g_signalled && g_signal_fd >= 0 && read(g_signal_fd, &info, sizeof info) == sizeof info) g_signalled = true;
    return g_signalled;
}

void nap(int ms) {
    pollfd p{g_signal_fd, POLLIN, 0};
    poll(&p, g_signal_fd >= 0 ? 1 : 0, ms);
}

void LineReader::wait(int timeout_ms, std::vector<std::string>* lines) {
    if (eof_) {
        nap(timeout_ms);
        return;
    }
    // A signal ends the wait too.
    pollfd p[2] = {{fd_, POLLIN, 0}, {g_signal_fd, POLLIN, 0}};
    if (poll(p, g_signal_fd >= 0 ? 2 : 1, timeout_ms) <= 0 || !(p[0].revents & (POLLIN | POLLHUP))) return;
    char buf[4096];
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        eof_ = true;
        if (!partial_.empty()) lines->push_back(std::move(partial_));
        partial_.clear();
        return;
    }
    partial_.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
        size_t end = nl;
        if (end > start && partial_[end - 1] == '\r') --end;
        lines->push_back(partial_.substr(start, end - start));
    }
    partial_.erase(0, start);
}

std::string SlotValue::show() const {
    if (is_string) return quoted(text);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", number);
    return buf;
}

SlotValue read_slot(double handle, int slot) {
    SlotValue v;
    v.is_string = kiv_data_type(handle, slot) == 1;
    if (v.is_string) {
        v.text = kiv_data_get_str(handle, slot);
    } else {
        v.number = kiv_data_get_int(handle, slot);
    }
    return v;
}

void SlotWatch::poll(double handle, const Changed& changed) {
    std::vector<std::pair<int, SlotValue>> changes;
    for (int slot = 0; slot < static_cast<int>(seen_.size()); ++slot) {
        SlotValue now = read_slot(handle, slot);
        if (now != seen_[slot]) changes.emplace_back(slot, std::move(now));
    }
    if (changes.empty() || kiv_valid(handle) != 1) return;
    for (auto& [slot, value] : changes) {
        seen_[slot] = std::move(value);
        changed(slot, seen_[slot]);
    }
}

void SlotWatch::note(int slot, const SlotValue& value) {
    if (slot >= 0 && slot < static_cast<int>(seen_.size())) seen_[slot] = value;
}

double listen_on(int* port, double mode, double limit) {
    return on_free_port(port, [&](int p) { return kiv_listen(p, mode, limit); });
}

double udp_on(int* port) {
    return on_free_port(port, [](int p) { return kiv_connect("", p, 4); });
}

}  // namespace kivcli
