// Wake: a signal another thread gives to end a readiness wait early.
#pragma once

#include <atomic>

#include "platform/platform.h"

namespace kiv::net {

class Wake {
public:
    Wake() = default;
    ~Wake() { platform::waker_close(waker_); }
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    // False when the system has no handle to give.
    bool open() {
        if (!waker_) waker_ = platform::waker_open();
        return waker_ != nullptr;
    }
    // From any thread. Signals already given and not yet seen by the waiter
    // cost nothing more.
    void signal() {
        if (waker_ && !pending_.exchange(true)) platform::waker_signal(waker_);
    }
    // The waiter, right after it woke and before it looks at what changed:
    // a signal given after this ends the next wait.
    void seen() { pending_.store(false); }
    platform::Waker* handle() const { return waker_; }

private:
    platform::Waker* waker_ = nullptr;
    std::atomic<bool> pending_{false};
};

}  // namespace kiv::net
