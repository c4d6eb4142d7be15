// Wake: a signal another thread gives to end a readiness wait early.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/platform.h"

namespace kiv::net {

class Wake {
public:
    Wake() = default;
    ~Wake() { close(); }
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    // False when the system has no handle to give.
    bool open() {
        std::lock_guard<std::mutex> lk(lock_);
        if (!waker_) waker_ = platform::waker_open();
        return waker_ != nullptr;
    }
    // Gives the handle back; later signals do nothing.
    void close() {
        std::lock_guard<std::mutex> lk(lock_);
        platform::waker_close(waker_);
        waker_ = nullptr;
    }
    // From any thread. Signals already given and not yet seen by the waiter
    // cost nothing more.
    void signal() {
        if (pending_.exchange(true)) return;
        std::lock_guard<std::mutex> lk(lock_);  // the handle stays open meanwhile
        if (waker_) platform::waker_signal(waker_);
    }
    // The waiter, right after it woke and before it looks at what changed:
    // a signal given after this ends the next wait.
    void seen() { pending_.store(false); }
    // For the waiter's own waits only (never closed under a waiter).
    platform::Waker* handle() const { return waker_; }

private:
    std::mutex lock_;
    platform::Waker* waker_ = nullptr;
    std::atomic<bool> pending_{false};
};

}  // namespace kiv::net
