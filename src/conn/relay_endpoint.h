// Where the relay service is: KIV_RELAY from the environment, else the built-in address.
#pragma once

#include <cstdint>
#include <string>

namespace kiv {

// The relay service's port, for relay connections and the address query.
constexpr uint16_t kRelayPort = 9713;
// The service answers this name as an address query: it is no session.
constexpr char kAddressQueryName[] = "IPADDRESS";
// The line that tells the service a member or a query is leaving.
constexpr char kRelayGoodbye[] = "`";

// What the endpoint is for: a relay connection (kind 2) or the address query.
// They differ only in the built-in host (a dotted address for connections, a
// name for the query); KIV_RELAY sets both.
enum class RelayUse { connection, address_query };

struct RelayEndpoint {
    std::string host;  // a dotted IPv4 address or a name, for resolve_host
    uint16_t port = 0;
};

// Reads KIV_RELAY ("host" or "host:port", port 1..65535) from the process
// environment on every call, so a script may set it while the library is
// loaded. Unset or empty: the built-in host and port 9713. False (with the
// reason noted) when it is set but malformed (empty host, a port that is not
// a whole number in 1..65535, more than one colon): the caller then fails
// rather than reach a relay nobody asked for.
bool relay_endpoint(RelayUse use, RelayEndpoint* out);

}  // namespace kiv
