// Packed numbers for scripts.
#include "base/packing.h"

#include <cstring>

#include "base/codec.h"

namespace kiv {

namespace {
char g_packed[4];
}

const char* pack_number(int width, int32_t n) {
    uint8_t digits[3] = {0, 0, 0};
    if (width == 1) encode_small(n, digits);
    if (width == 2) encode_normal(n, digits);
    if (width == 3) encode_big(n, digits);
    std::memcpy(g_packed, digits, static_cast<size_t>(width));
    g_packed[width] = 0;
    return g_packed;
}

double unpack_number(int width, const char* s, int32_t position) {
    if (!s || position < 0) return 0.0;
    // Never read past the terminator, however far position points.
    for (int32_t i = 0; i < position; ++i) {
        if (s[i] == 0) return 0.0;
    }
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s) + position;
    for (int i = 0; i < width; ++i) {
        if (p[i] == 0) return 0.0;
    }
    if (width == 1) return decode_small(p);
    if (width == 2) return decode_normal(p);
    return decode_big(p);
}

}  // namespace kiv
