// Thread start-up that reports failure as a result, and the joining of retired threads.
#include "net/threads.h"

#include <atomic>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace kiv::net {

namespace {

std::atomic<int> g_failures{0};

struct Retired {
    std::mutex lock;
    std::vector<std::thread> threads;
    // Made when the library loads, so destroyed after the connection table,
    // whose own destruction joins what retired until then. What retires
    // later still ends joined (left to the system at a Windows process exit,
    // when it has already stopped every other thread).
    ~Retired() {
        for (std::thread& t : threads) {
            if (!t.joinable()) continue;
            if (platform::process_exiting()) {
                t.detach();
            } else {
                t.join();
            }
        }
    }
};

Retired g_retired;

Retired& retired() { return g_retired; }

}  // namespace

void fail_thread_starts(int n) { g_failures.store(n); }

bool start_thread(std::thread& t, std::function<void()> body) {
    reap();
    for (int left = g_failures.load(); left > 0; left = g_failures.load()) {
        if (g_failures.compare_exchange_weak(left, left - 1)) return false;
    }
    try {
        t = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void retire(std::thread&& self) {
    Retired& r = retired();
    std::lock_guard<std::mutex> lk(r.lock);
    try {
        r.threads.push_back(std::move(self));
    } catch (const std::bad_alloc&) {
        self.detach();  // nothing left to join it with; it ends by itself
    }
}

void reap() {
    std::vector<std::thread> done;
    {
        Retired& r = retired();
        std::lock_guard<std::mutex> lk(r.lock);
        done.swap(r.threads);
    }
    for (std::thread& t : done) {
        if (!t.joinable()) continue;
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();  // a thread cannot join itself; it is ending anyway
        } else {
            t.join();
        }
    }
}

}  // namespace kiv::net
