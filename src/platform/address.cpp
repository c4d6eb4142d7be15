// IPv4 address conversions shared by every platform (no OS header needed).
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace kiv::platform {

uint32_t make_address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

bool parse_dotted(const char* text, uint32_t* addr) {
    if (!text) return false;
    uint8_t parts[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (*p < '0' || *p > '9') return false;
        // "010" would be 8 to readers that take a leading 0 for octal:
        // refused rather than read as another address.
        if (p[0] == '0' && p[1] >= '0' && p[1] <= '9') return false;
        unsigned value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (++digits > 3 || value > 255) return false;
            ++p;
        }
        parts[i] = static_cast<uint8_t>(value);
        if (i < 3) {
            if (*p != '.') return false;
            ++p;
        }
    }
    if (*p != 0) return false;
    *addr = make_address(parts[0], parts[1], parts[2], parts[3]);
    return true;
}

void format_dotted(uint32_t addr, char out[16]) {
    uint8_t b[4];
    std::memcpy(b, &addr, 4);
    std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

}  // namespace kiv::platform
