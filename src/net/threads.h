// Starting the library's threads without letting an exception escape, and
// joining the ones that ended on their own.
#pragma once

#include <functional>
#include <thread>

namespace kiv::net {

// Starts body on t; false when the system gives no thread (nothing runs).
bool start_thread(std::thread& t, std::function<void()> body);

// A thread that ends on its own (a worker whose peer left) hands itself
// over as the last thing it does; whoever starts the next thread, or
// reap(), joins it. Nothing of the process stays tied to a dead connection.
void retire(std::thread&& self);
// Joins every retired thread (each has finished its work or is about to).
void reap();

// Tests make the next n starts fail, as a system out of threads would.
void fail_thread_starts(int n);

}  // namespace kiv::net
