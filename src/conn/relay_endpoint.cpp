// Where the relay service is: KIV_RELAY from the environment, else the built-in address.
#include "conn/relay_endpoint.h"

#include <cstring>

#include "conn/failure.h"
#include "platform/platform.h"

#ifndef KIV_RELAY_ADDRESS
#define KIV_RELAY_ADDRESS "127.0.0.1"
#endif
#ifndef KIV_RELAY_HOST
#define KIV_RELAY_HOST "localhost"
#endif

namespace kiv {

namespace {

bool parse(const char* value, RelayUse use, RelayEndpoint* out) {
    if (!value || !*value) {
        out->host = use == RelayUse::connection ? KIV_RELAY_ADDRESS : KIV_RELAY_HOST;
        out->port = kRelayPort;
        return true;
    }
    const char* colon = std::strchr(value, ':');
    if (colon == value) return false;  // no host
    if (!colon) {
        out->host = value;
        out->port = kRelayPort;
        return true;
    }
    if (std::strchr(colon + 1, ':')) return false;  // one colon only (no IPv6)
    const char* p = colon + 1;
    unsigned long port = 0;
    int digits = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9' || ++digits > 5) return false;
        port = port * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (digits == 0 || port < 1 || port > 65535) return false;
    out->host.assign(value, static_cast<size_t>(colon - value));
    out->port = static_cast<uint16_t>(port);
    return true;
}

}  // namespace

bool relay_endpoint(RelayUse use, RelayEndpoint* out) {
    char value[512];
    const bool set = platform::read_env("KIV_RELAY", value, sizeof value);
    if (parse(set ? value : nullptr, use, out)) return true;
    note_failure("KIV_RELAY '%.200s' is not host or host:port with a port 1..65535", set ? value : "(too long)");
    return false;
}

}  // namespace kiv
