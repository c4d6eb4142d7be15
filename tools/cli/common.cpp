// Helpers shared by the kiv programs: output lines, escaping, stdin lines, signals, slot watching, ports.
#include "common.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "kiv.h"

namespace kivcli {

namespace {

// SIGINT and SIGTERM are blocked and read from a descriptor: no handler
// runs at an arbitrary point, and none can be lost between two checks.
int g_signal_fd = -1;
bool g_signalled = false;

// The length of the valid UTF-8 sequence of two to four bytes that starts
// at s[i], or 0. The C1 controls (U+0080..U+009F) count as invalid here:
// some terminals obey them as they obey ESC.
size_t utf8_length(const std::string& s, size_t i) {
    const unsigned char lead = static_cast<unsigned char>(s[i]);
    unsigned char low = 0x80, high = 0xbf;  // the second byte's range
    size_t n = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        n = 2;
        if (lead == 0xc2) low = 0xa0;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        n = 3;
        if (lead == 0xe0) low = 0xa0;   // no overlong forms
        if (lead == 0xed) high = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        n = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char b = static_cast<unsigned char>(s[i + k]);
        if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xbf)) return 0;
    }
    return n;
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

bool utf8_locale() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string v;
        for (const char* p = value; *p; ++p) {
            if (*p != '-') v += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        }
        return v.find("utf8") != std::string::npos;
    }
    return false;
}

std::string printable(const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    static const bool utf8 = utf8_locale();
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char ch = static_cast<unsigned char>(s[i]);
        switch (ch) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (ch >= 0x20 && ch < 0x7f) {
                    out += static_cast<char>(ch);
                } else if (const size_t n = utf8 && ch >= 0x80 ? utf8_length(s, i) : 0) {
                    out.append(s, i, n);
                    i += n - 1;
                } else {
                    out += "\\x";
                    out += hex[ch >> 4];
                    out += hex[ch & 15];
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

std::string library_reason(const std::string& fallback) {
    const char* why = kiv_last_error();
    return why && *why ? why : fallback;
}

std::string relay_reason(const std::string& fallback) {
    std::string why = library_reason(fallback);
    // Only these reasons mean that nothing answered at the address.
    if (why.rfind("connect ", 0) == 0 || why.find("cannot be reached") != std::string::npos) {
        why += " (is kiv-relay running?";
        const char* named = std::getenv("KIV_RELAY");
        why += named && *named ? ")" : " KIV_RELAY=HOST:PORT names another address)";
    }
    return why;
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
    const double h = kiv_listen(*port, mode, limit);
    if (h != 0) *port = static_cast<int>(kiv_local_port(h));
    return h;
}

double udp_on(int* port) {
    const double h = kiv_connect("", *port, 4);
    if (h != 0) *port = static_cast<int>(kiv_local_port(h));
    return h;
}

}  // namespace kivcli
