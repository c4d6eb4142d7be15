// Bytes the cluster's instances share through NATS: little-endian integers,
// a checked reader over a payload, and the FNV-1a hash that names sessions.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kiv::relay::wire {

constexpr std::uint64_t kFnvOffset = 1469598103934665603ull;

inline std::uint64_t fnv1a(const std::string& s, std::uint64_t h = kFnvOffset) {
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// Sixteen lowercase hex digits.
inline std::string hex(std::uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

inline void put_u32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>(v >> (8 * i)));
}

inline void put_u64(std::string& s, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        s.push_back(static_cast<char>(v >> (8 * i)));
}

// Little-endian reader over a payload; every read checks the end.
struct Reader {
    const unsigned char* p;
    const unsigned char* end;
    bool u32(std::uint32_t& v) {
        if (end - p < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
        p += 4;
        return true;
    }
    bool u64(std::uint64_t& v) {
        if (end - p < 8)
            return false;
        v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
        p += 8;
        return true;
    }
    bool bytes(std::size_t n, std::string& out) {
        if (static_cast<std::size_t>(end - p) < n)
            return false;
        out.assign(reinterpret_cast<const char*>(p), n);
        p += n;
        return true;
    }
};

} // namespace kiv::relay::wire
