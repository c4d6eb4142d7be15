// Mutex: a lock that knows its holder, so that "the caller holds the lock" is checked, not only written.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kiv::net {

// Debug and sanitizer builds record the holder; assert_held() then stops
// the process at a call that forgot the lock. Release builds keep only the
// plain mutex.
class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() {
        m_.lock();
        mark_held();
    }
    bool try_lock() {
        if (!m_.try_lock()) return false;
        mark_held();
        return true;
    }
    void unlock() {
        mark_free();
        m_.unlock();
    }

#ifdef KIV_CHECK_LOCKS
    void assert_held() const {
        if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) not_held();
    }
#else
    void assert_held() const {}
#endif

private:
#ifdef KIV_CHECK_LOCKS
    void mark_held() { owner_.store(std::this_thread::get_id(), std::memory_order_relaxed); }
    void mark_free() { owner_.store(std::thread::id(), std::memory_order_relaxed); }
    [[noreturn]] static void not_held();
    std::atomic<std::thread::id> owner_{};
#else
    void mark_held() {}
    void mark_free() {}
#endif
    std::mutex m_;
};

using Lock = std::lock_guard<Mutex>;
using UniqueLock = std::unique_lock<Mutex>;
// Waits through Mutex::unlock and lock, so the holder stays known.
using CondVar = std::condition_variable_any;

}  // namespace kiv::net
