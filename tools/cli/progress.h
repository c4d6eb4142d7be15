// A progress bar for file transfers: live on a terminal, one summary line otherwise.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace kivcli {

class Progress {
public:
    // verb: "sending" / "receiving"; done_verb: "sent" / "received".
    Progress(std::string verb, std::string done_verb, std::string name, double total, std::FILE* to);
    // Text put before the bar and the summary line.
    void indent(std::string prefix) { indent_ = std::move(prefix); }
    // Redraws the bar (at most ten times a second) when `to` is a terminal.
    void update(double bytes);
    // Ends the bar and prints the summary line.
    void finish(bool ok, double bytes);

    // 1536 -> "1.5 KiB".
    static std::string human(double bytes);

private:
    void draw(double bytes, double now);

    std::string verb_, done_verb_, name_, indent_;
    double total_;
    std::FILE* to_;
    bool live_;
    double start_;
    double last_draw_ = -1;
};

}  // namespace kivcli
