// Why a call failed: two per-thread lines, the one being written and the last one committed.
#include "conn/failure.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kiv {

namespace {

// Plain arrays: nothing with a destructor lives per thread.
constexpr size_t kLine = 512;
thread_local char t_noted[kLine];
thread_local bool t_has_noted = false;
thread_local char t_last[kLine];

}  // namespace

void note_failure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(t_noted, kLine, format, args);
    va_end(args);
    t_has_noted = true;
}

bool failure_noted() { return t_has_noted; }

void begin_call() { t_has_noted = false; }

void commit_failure(const char* fallback) {
    const char* line = t_has_noted ? t_noted : fallback;
    if (line != t_last) std::snprintf(t_last, kLine, "%s", line);
    t_has_noted = false;
}

const char* last_failure() { return t_last; }

}  // namespace kiv
