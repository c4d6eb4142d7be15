// Packed numbers for scripts.
#include "base/packing.h"

#include <cstring>

#include "base/codec.h"

namespace kiv {

const char* pack_number(int width, int32_t n) {
    // Per thread, a plain array: two host threads packing at once each get
    // their own result.
    thread_local char packed[4];
    uint8_t digits[3] = {0, 0, 0};
    if (width == 1) encode_small(n, digits);
    if (width == 2) encode_normal(n, digits);
    if (width == 3) encode_big(n, digits);
    std::memcpy(packed, digits, static_cast<size_t>(width));
    packed[width] = 0;
    return packed;
}

double unpack_number(int width, const char* s, int32_t position) {
    if (!s || position < 0) return 0.0;
    // The string's own terminating 0 is readable (it encodes the digit -2,
    // which every pack_* result may end in); nothing beyond it is read,
    // however far position points.
    for (int32_t i = 0; i < position; ++i) {
        if (s[i] == 0) return 0.0;
    }
    uint8_t p[3];
    bool ended = false;
    for (int i = 0; i < width; ++i) {
        if (ended) return 0.0;  // this byte lies beyond the terminator
        p[i] = static_cast<uint8_t>(s[position + i]);
        ended = p[i] == 0;
    }
    if (width == 1) return decode_small(p);
    if (width == 2) return decode_normal(p);
    return decode_big(p);
}

}  // namespace kiv
