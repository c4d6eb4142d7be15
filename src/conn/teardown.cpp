// Teardown: the goodbye, stopping threads, a moment for what is still queued, closing.
#include <cstdio>
#include <vector>

#include "conn/open.h"
#include "conn/address.h"
#include "conn/relay_endpoint.h"
#include "conn/trace.h"
#include "net/threads.h"
#include "platform/platform.h"

namespace kiv {

namespace {
// How long a closing connection waits for the socket to take records the
// script sent just before it disconnected.
constexpr int kLingerMs = 250;
}  // namespace

void entered(Connection& c, int32_t handle) {
    c.handle.store(handle);
    if (!trace::on()) return;
    char detail[64];
    const char* peer = peer_address(c, 0);
    std::snprintf(detail, sizeof detail, "local_port=%u%s%s", local_port(c), *peer ? " peer=" : "", peer);
    trace::event(c, "opened", detail);
}

bool teardown(Connection& c, bool linger) {
    if (!c.connected() || !c.claim_teardown()) return false;
    if (trace::on()) trace::event(c, "closed", "(by the script)");
    if (c.kind.load() == kRelay && c.link) {
        static const char kLine[] = {kRelayGoodbye[0], '\n'};
        c.link->send(kLine, sizeof kLine, true);
    }
    files::stop(c.file);
    if (c.link) c.link->stop_worker();
    if (c.hub) c.hub->stop();
    // A player server's players go with it, released at once.
    std::vector<std::shared_ptr<Connection>> gone;
    {
        std::lock_guard<std::mutex> lk(c.players_lock);
        gone.swap(c.players);
        c.players.resize(gone.size());
    }
    c.live_players.store(0);
    for (auto& p : gone) {
        if (p && p->link) p->link->close_socket();
    }
    gone.clear();
    if (linger && c.link) c.link->flush_for(kLingerMs);
    {
        net::Lock lk(c.mutex);
        c.finish();
        if (c.hub) c.hub->close_listener();
    }
    c.on_event();
    return true;
}

bool process_exiting() { return platform::process_exiting(); }

void reap_threads() { net::reap(); }

}  // namespace kiv
