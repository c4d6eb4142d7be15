// Starting the library's threads without letting an exception escape.
#pragma once

#include <functional>
#include <thread>

namespace kiv::net {

// Starts body on t; false when the system gives no thread (nothing runs).
bool start_thread(std::thread& t, std::function<void()> body);

// Tests make the next n starts fail, as a system out of threads would.
void fail_thread_starts(int n);

}  // namespace kiv::net
