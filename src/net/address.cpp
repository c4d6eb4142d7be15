// Peer addresses of connections and players; the address query.
#include "net/address.h"

#include "frame/table.h"
#include "net/players.h"

namespace kiv {

namespace {

// The host reads the returned text after the call; one buffer per thread of
// the host is enough, as the address conversion of the platform would give.
thread_local char t_dotted[16];

const char* dotted_peer(Connection& c) {
    uint32_t addr;
    std::lock_guard<std::mutex> lk(c.send_lock);  // the socket stays open meanwhile
    const platform::socket_t s = c.socket.load();
    if (s == platform::invalid_socket || !platform::peer_address(s, &addr)) return frame::empty_string();
    platform::format_dotted(addr, t_dotted);
    return t_dotted;
}

}  // namespace

const char* peer_address(Connection& c, int64_t player) {
    const uint8_t kind = c.kind.load();
    if (kind == kDatagram || kind == kNotConnected) return frame::empty_string();
    if (c.is_listening()) {
        if (kind != kTyped) return frame::empty_string();  // a plain server has no peer
        Connection* p = player_at(c, player);
        if (!p || !p->connected()) return frame::empty_string();
        return dotted_peer(*p);
    }
    return dotted_peer(c);
}

const char* query_own_address() { return frame::empty_string(); }

}  // namespace kiv
