// The host rule: which address a host text names.
#pragma once

#include <cstdint>

namespace kiv {

// Text holding an ASCII letter is looked up by name (when that fails, only
// "localhost" in any case still means the loopback address); other text
// must be a dotted address of four decimal parts. False (with the reason
// noted) when neither gives an address.
bool resolve_host(const char* host, uint32_t* addr);

}  // namespace kiv
