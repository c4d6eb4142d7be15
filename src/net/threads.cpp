// Thread start-up that reports failure as a result.
#include "net/threads.h"

#include <atomic>
#include <new>
#include <system_error>

namespace kiv::net {

namespace {
std::atomic<int> g_failures{0};
}

void fail_thread_starts(int n) { g_failures.store(n); }

bool start_thread(std::thread& t, std::function<void()> body) {
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

}  // namespace kiv::net
