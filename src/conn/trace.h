// The wire trace: with KIV_TRACE naming a file, one line per record sent, received, refused or dropped, and per connection opened and closed.
#pragma once

#include <atomic>
#include <cstddef>

namespace kiv {

class Connection;

namespace trace {

namespace detail {
// 0 not yet looked at, 1 off, 2 on.
extern std::atomic<int> state;
bool start();
}  // namespace detail

// Whether tracing is on. KIV_TRACE is read at the first call, so a program
// may set it before it calls the library; off costs this one branch.
inline bool on() {
    const int s = detail::state.load(std::memory_order_relaxed);
    if (s == 1) return false;
    return s == 2 || detail::start();
}

// dir: "sent", "received", "refused" or "dropped"; bytes as they are (or
// would have been) on the wire, the delimiter included.
void record(const Connection& c, const char* dir, const char* bytes, size_t n);
// what: "opened", "closed" and the like, with a short detail ("" for none).
void event(const Connection& c, const char* what, const char* detail);

}  // namespace trace
}  // namespace kiv
