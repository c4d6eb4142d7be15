// Peer addresses, local ports and the address query.
#include "conn/address.h"

#include <cstring>
#include <string>

#include "conn/failure.h"
#include "conn/open.h"
#include "conn/relay_endpoint.h"
#include "conn/traffic.h"

namespace kiv {

namespace {
// The address answer is cut to what the result buffer holds.
constexpr size_t kAnswerBound = 1023;
}  // namespace

const char* peer_address(Connection& c, int64_t player) {
    thread_local char dotted[16];
    const uint8_t kind = c.kind.load();
    if (kind == kDatagram) return note_failure("a UDP endpoint has no peer"), "";
    if (kind == kNotConnected) return "";
    std::shared_ptr<Connection> p;
    net::Link* link = c.link.get();
    if (c.is_listening()) {
        if (kind != kTyped) return note_failure("a plain server has no peer; ask an accepted connection"), "";
        p = c.player_at(player);
        if (!p || !p->connected() || !p->link) {
            note_failure("player %lld is not connected", static_cast<long long>(player));
            return "";
        }
        link = p->link.get();
    }
    uint32_t addr;
    if (!link || !link->peer_address(&addr)) return "";
    platform::format_dotted(addr, dotted);
    return dotted;
}

uint16_t local_port(Connection& c) {
    if (c.hub) return c.hub->local_port();
    return c.link ? c.link->local_port() : 0;
}

const char* query_own_address() {
    // Per thread: two host threads asking at once each keep their answer.
    thread_local char answer_buffer[kAnswerBound + 1];
    // A short-lived plain connection, never entered in the table.
    RelayEndpoint relay;
    if (!relay_endpoint(RelayUse::address_query, &relay)) return "";
    std::shared_ptr<Connection> q = open_connection(relay.host.c_str(), relay.port, kPlain);
    if (!q) {
        if (failure_noted()) return "";
        note_failure("address query: the relay service at %s:%u cannot be reached", relay.host.c_str(), relay.port);
        return "";
    }
    send_token(*q, kAddressQueryName, "", 0);
    ByteString answer;
    // The service greets first; its second line is the answer. Both waits end
    // when the service goes away or stays silent too long.
    if (!take_line(*q, kQueryTimeoutMs, nullptr) || !take_line(*q, kQueryTimeoutMs, &answer)) {
        note_failure("address query: the relay service at %s:%u gave no answer within %d s", relay.host.c_str(),
                     relay.port, kQueryTimeoutMs / 1000);
        teardown(*q);
        return "";
    }
    size_t n = answer.length();
    if (n > kAnswerBound) n = kAnswerBound;
    std::memcpy(answer_buffer, answer.data(), n);
    answer_buffer[n] = 0;
    send_token(*q, kRelayGoodbye, "", 0);
    teardown(*q);
    return answer_buffer;
}

}  // namespace kiv
