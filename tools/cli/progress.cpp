// A progress bar for file transfers: live on a terminal, one summary line otherwise.
#include "progress.h"

#include <unistd.h>

#include <utility>

#include "common.h"

namespace kivcli {

namespace {
constexpr int kBarWidth = 30;
constexpr double kRedrawSeconds = 0.1;
}  // namespace

Progress::Progress(std::string verb, std::string done_verb, std::string name, double total, std::FILE* to)
    : verb_(std::move(verb)),
      done_verb_(std::move(done_verb)),
      name_(std::move(name)),
      total_(total),
      to_(to),
      live_(isatty(fileno(to)) != 0),
      start_(seconds_now()) {}

std::string Progress::human(double bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}

void Progress::draw(double bytes, double now) {
    const double fraction = total_ > 0 ? (bytes > total_ ? 1.0 : bytes / total_) : 0.0;
    const int filled = static_cast<int>(fraction * kBarWidth);
    const double elapsed = now - start_;
    const double rate = elapsed > 0 ? bytes / elapsed : 0;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '-');
    std::fprintf(to_, "\r%s%s [%s] %3d%%  %s / %s  %s/s\x1b[K", indent_.c_str(), verb_.c_str(), bar.c_str(),
                 static_cast<int>(fraction * 100), human(bytes).c_str(), human(total_).c_str(), human(rate).c_str());
    std::fflush(to_);
}

void Progress::update(double bytes) {
    if (!live_) return;
    const double now = seconds_now();
    if (last_draw_ >= 0 && now - last_draw_ < kRedrawSeconds) return;
    last_draw_ = now;
    draw(bytes, now);
}

void Progress::finish(bool ok, double bytes) {
    const double now = seconds_now();
    if (live_) {
        draw(bytes, now);
        std::fputc('\n', to_);
    }
    const double elapsed = now - start_;
    if (ok) {
        std::fprintf(to_, "%s%s %s: %.0f bytes in %.2f s (%s/s)\n", indent_.c_str(), done_verb_.c_str(), name_.c_str(), bytes, elapsed,
                     human(elapsed > 0 ? bytes / elapsed : 0).c_str());
    } else {
        std::fprintf(to_, "kiv: %s %s stopped after %.0f of %.0f bytes\n", verb_.c_str(), name_.c_str(), bytes,
                     total_);
    }
    std::fflush(to_);
}

}  // namespace kivcli
