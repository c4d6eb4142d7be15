// The wire trace: lines appended to the file KIV_TRACE names, whole and in order.
#include "conn/trace.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "conn/connection.h"
#include "platform/platform.h"

namespace kiv::trace {

namespace detail {
std::atomic<int> state{0};
}  // namespace detail

namespace {

struct Sink {
    std::mutex lock;
    std::FILE* file = nullptr;
};

Sink& sink() {
    static Sink s;
    return s;
}

const char* kind_name(uint8_t kind) {
    switch (kind) {
        case kPlain: return "plain";
        case kRelay: return "relay";
        case kTyped: return "typed";
        case kDatagram: return "udp";
        default: return "closed";
    }
}

// Who a line is about: the handle, and a player's number on its server.
void describe(const Connection& c, char* out, size_t n) {
    const uint8_t kind = c.opened_kind;
    const char* what = c.is_listening() ? (kind == kTyped ? "player-server" : "server") : kind_name(kind);
    if (c.is_player) {
        std::snprintf(out, n, "handle=%d player=%d kind=player", c.handle.load(), c.player_number);
    } else {
        std::snprintf(out, n, "handle=%d kind=%s", c.handle.load(), what);
    }
}

// UTC with microseconds: lines from several threads sort by it.
void stamp(char* out, size_t n) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const long micros = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &secs);
#else
    gmtime_r(&secs, &tm);
#endif
    std::snprintf(out, n, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, micros);
}

// Printable ASCII as it is; everything else, and the quote and backslash, escaped.
void escape(std::string& out, const char* p, size_t n) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ch = static_cast<unsigned char>(p[i]);
        if (ch == '\\' || ch == '"') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch >= 0x20 && ch < 0x7F) {
            out += static_cast<char>(ch);
        } else {
            out += "\\x";
            out += hex[ch >> 4];
            out += hex[ch & 15];
        }
    }
}

void write_line(const std::string& line) {
    Sink& s = sink();
    std::lock_guard<std::mutex> lk(s.lock);
    if (!s.file) return;
    std::fputs(line.c_str(), s.file);
    std::fflush(s.file);  // a crash keeps every line before it
}

}  // namespace

bool detail::start() {
    Sink& s = sink();
    std::lock_guard<std::mutex> lk(s.lock);
    if (state.load() != 0) return state.load() == 2;
    char path[1024];
    if (platform::read_env("KIV_TRACE", path, sizeof path) && path[0]) s.file = std::fopen(path, "a");
    state.store(s.file ? 2 : 1);
    return s.file != nullptr;
}

void record(const Connection& c, const char* dir, const char* bytes, size_t n) {
    char who[96], when[64];
    describe(c, who, sizeof who);
    stamp(when, sizeof when);
    std::string line;
    line.reserve(n + 128);
    line += when;
    line += ' ';
    line += who;
    line += " dir=";
    line += dir;
    line += " len=" + std::to_string(n) + " bytes=\"";
    escape(line, bytes, n);
    line += "\"\n";
    write_line(line);
}

void event(const Connection& c, const char* what, const char* detail_text) {
    char who[96], when[64];
    describe(c, who, sizeof who);
    stamp(when, sizeof when);
    std::string line = std::string(when) + " " + who + " " + what;
    if (detail_text && *detail_text) line += std::string(" ") + detail_text;
    line += '\n';
    write_line(line);
}

}  // namespace kiv::trace
