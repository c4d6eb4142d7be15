// The host rule: names through the system's lookup, addresses only as four dotted decimal parts.
#include "conn/host.h"

#include "conn/failure.h"
#include "platform/platform.h"

namespace kiv {

namespace {

bool is_ascii_letter(unsigned char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); }

// "localhost" in any case.
bool is_localhost(const char* host) {
    const char* name = "localhost";
    for (; *name; ++name, ++host) {
        const unsigned char ch = static_cast<unsigned char>(*host);
        if ((ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch) != static_cast<unsigned char>(*name)) return false;
    }
    return *host == 0;
}

}  // namespace

bool resolve_host(const char* host, uint32_t* addr) {
    if (!host) host = "";
    for (const char* p = host; *p; ++p) {
        if (is_ascii_letter(static_cast<unsigned char>(*p))) {
            if (platform::resolve(host, addr)) return true;
            // Only the local machine's own name stands for loopback when the
            // system cannot look it up; any other name that fails fails.
            if (!is_localhost(host)) {
                note_failure("host %.200s: name not found", host);
                return false;
            }
            *addr = platform::loopback_address();
            return true;
        }
    }
    if (platform::parse_dotted(host, addr)) return true;
    note_failure("host '%.200s' is neither a name nor a dotted address a.b.c.d", host);
    return false;
}

}  // namespace kiv
