// Helpers shared by the kiv programs: output lines, escaping, stdin lines, signals, slot watching, ports.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace kivcli {

// One line on stdout, flushed at once so that a reader on a pipe sees it now.
void say(const std::string& line);
// One line "kiv: what" on stderr.
void complain(const std::string& what);

// The bytes of s with control bytes, backslashes and every byte that is not
// part of valid UTF-8 escaped (\n, \t, \x01, \xe9, \\), so that one received
// record always prints as one line and never sends a terminal a control
// sequence. Valid UTF-8 stays as it is when the locale is a UTF-8 one;
// otherwise every byte outside printable ASCII is escaped.
std::string printable(const std::string& s);
// Whether the locale that decides the character set (LC_ALL, else LC_CTYPE,
// else LANG) names UTF-8.
bool utf8_locale();
// printable(s) in double quotes, with inner quotes escaped.
std::string quoted(const std::string& s);

// Whole decimal integers only ("12", "-3"); false for anything else.
bool parse_integer(const std::string& text, long long* value);
// "HOST:PORT" into its parts; false when the port is not 1..65535.
bool parse_host_port(const std::string& text, std::string* host, int* port);

// Why the library call that just failed on this thread failed
// (kiv_last_error), or `fallback` when the library gave no reason. Ask
// before any other library call: the next failure replaces the reason.
std::string library_reason(const std::string& fallback);
// The library's reason for a failed relay call, with a hint when the
// service could not be reached at all.
std::string relay_reason(const std::string& fallback);

double seconds_now();

// SIGINT and SIGTERM stop the program at the next check instead of killing
// it, so that connections close properly (a relay connection says
// goodbye); SIGPIPE is ignored. Call before opening any connection.
void catch_signals();
bool signalled();
// Sleeps up to ms; a signal cuts it short.
void nap(int ms);

// Reads lines from a file descriptor without blocking the poll loop.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    // Waits up to timeout_ms for input and appends the complete lines that
    // came (without their "\n" or "\r\n"). After end of input it only waits.
    void wait(int timeout_ms, std::vector<std::string>* lines);
    bool at_end() const { return eof_; }

private:
    int fd_;
    bool eof_ = false;
    std::string partial_;
};

// One shared-data slot as a script reads it.
struct SlotValue {
    bool is_string = false;
    double number = 0;
    std::string text;
    bool operator==(const SlotValue& o) const {
        return is_string == o.is_string && (is_string ? text == o.text : number == o.number);
    }
    bool operator!=(const SlotValue& o) const { return !(*this == o); }
    // 1000, or "text" in quotes.
    std::string show() const;
};

// Detects shared-data changes by reading the 256 slots through the exports
// and comparing them with what was seen before (all start as integer 0).
class SlotWatch {
public:
    using Changed = std::function<void(int slot, const SlotValue& value)>;
    // Reports the changes only when the connection is still usable after
    // reading: the reads of a connection that has just closed give 0 and "",
    // which are no changes.
    void poll(double handle, const Changed& changed);
    // Records a value this side set itself, so that it is not reported back.
    void note(int slot, const SlotValue& value);

private:
    std::array<SlotValue, 256> seen_{};
};

// Reads slot through the exports.
SlotValue read_slot(double handle, int slot);

// kiv_listen / kiv_connect(kind 4) on *port (0: one the system picks), and
// *port receives the port used. Returns the handle or 0.
double listen_on(int* port, double mode, double limit);
double udp_on(int* port);

}  // namespace kivcli
