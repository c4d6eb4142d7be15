// Base-250 digit codec.
#include "base/codec.h"

#include <cmath>

namespace kiv {

uint8_t encode_digit(int32_t d) {
    uint8_t b = static_cast<uint8_t>(static_cast<uint32_t>(d) + 2u);
    if (b == 10) return 0xFF;
    if (b == 126) return 0xFE;
    return b;
}

int32_t decode_digit(uint8_t b) {
    if (b == 0xFF) return 8;
    if (b == 0xFE) return 124;
    return static_cast<int32_t>(b) - 2;
}

void encode_small(int32_t n, uint8_t out[1]) { out[0] = encode_digit(n); }

void encode_normal(int32_t n, uint8_t out[2]) {
    // Truncating division; the remainder keeps the sign of n.
    out[0] = encode_digit(n / 250);
    out[1] = encode_digit(n % 250);
}

void encode_big(int32_t n, uint8_t out[3]) {
    int32_t rest = n % 62500;
    out[0] = encode_digit(n / 62500);
    out[1] = encode_digit(static_cast<int32_t>(std::floor(rest / 250.0)));
    out[2] = encode_digit(n % 250);
}

int32_t decode_small(const uint8_t* p) { return decode_digit(p[0]); }

int32_t decode_normal(const uint8_t* p) { return decode_digit(p[0]) * 250 + decode_digit(p[1]); }

int32_t decode_big(const uint8_t* p) {
    return decode_digit(p[0]) * 62500 + decode_digit(p[1]) * 250 + decode_digit(p[2]);
}

}  // namespace kiv
