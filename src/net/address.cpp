// Peer addresses of connections and players; the address query.
#include "net/address.h"

#include <cstring>
#include <memory>

#include "frame/table.h"
#include "net/connect.h"
#include "net/players.h"
#include "net/relay_endpoint.h"
#include "tokens/tokens.h"

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

const char* query_own_address() {
    // A short-lived plain connection, never entered in the table.
    RelayEndpoint relay;
    if (!relay_endpoint(RelayUse::address_query, &relay)) return frame::empty_string();
    std::unique_ptr<Connection> q(open_connection(relay.host.c_str(), relay.port, kPlain));
    if (!q) return frame::empty_string();
    send_token(*q, "IPADDRESS", "", 0);
    ByteString answer;
    // The service greets first; its second line is the answer. Both waits end
    // when the service goes away or stays silent too long.
    if (!wait_for_token(*q, kQueryTimeoutMs)) return frame::empty_string();
    pop_token(*q, nullptr);
    if (!wait_for_token(*q, kQueryTimeoutMs)) return frame::empty_string();
    pop_token(*q, &answer);
    char* out = frame::result_buffer();
    uint32_t n = answer.length();
    if (n > frame::kResultBufferSize - 1) n = frame::kResultBufferSize - 1;
    std::memcpy(out, answer.data(), n);
    out[n] = 0;
    send_token(*q, "`", "", 0);  // the service's goodbye line
    return out;                  // q is torn down and destroyed on the way out
}

}  // namespace kiv
