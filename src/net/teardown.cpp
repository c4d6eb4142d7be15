// Teardown of a connection, from the host's thread or from its own receive step.
#include "net/teardown.h"

#include "net/players.h"
#include "tokens/tokens.h"

namespace kiv {

namespace {
// How long a closing connection waits for the socket to take records the
// script sent just before it disconnected.
constexpr int kLingerMs = 250;

void say_goodbye(Connection& c) {
    if (c.kind.load() == kRelay) send_token(c, "`", "", 0);
}

void finish(Connection& c) {
    c.slot_table.reset();
    close_socket(c);
    c.kind.store(kNotConnected);
}
}  // namespace

void stop_threads(Connection& c) {
    c.stop.store(true);
    c.wake();
    const auto self = std::this_thread::get_id();
    if (c.worker.joinable() && c.worker.get_id() != self) c.worker.join();
    if (c.file_thread.joinable() && c.file_thread.get_id() != self) c.file_thread.join();
}

bool teardown(Connection& c, bool linger) {
    if (!c.connected()) return false;
    say_goodbye(c);
    stop_threads(c);
    // A player server's players go with it (their entries stay: numbers are
    // never given twice). Its worker has stopped, so no pass touches them.
    for (Connection* p : player_snapshot(c)) {
        if (p) teardown(*p, false);
    }
    if (linger) flush_outbox_until(c, kLingerMs);
    std::lock_guard<std::mutex> lk(c.mutex);
    finish(c);
    return true;
}

bool teardown_in_step(Connection& c) {
    if (!c.connected()) return false;
    say_goodbye(c);
    finish(c);
    return true;
}

}  // namespace kiv
