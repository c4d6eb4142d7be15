// Why a call failed: the reason the layers below give, kept per thread for kiv_last_error.
#pragma once

namespace kiv {

// Notes why the current call is failing, printf-style, on this thread. The
// line becomes the thread's last error only if the call does fail: a step
// that fails on the way to a success leaves the last error as it was.
void note_failure(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Whether the current call noted a reason.
bool failure_noted();

// For the exports: a call begins (forgets what an earlier call noted), and
// a call failed (its noted reason, or `fallback` when none was noted,
// becomes the thread's last error).
void begin_call();
void commit_failure(const char* fallback);
// The thread's last error; "" before any failure.
const char* last_failure();

}  // namespace kiv
