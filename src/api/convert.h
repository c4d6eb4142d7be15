// Turning the host's reals into the integers each export works with.
#pragma once

#include <cstdint>

namespace kiv::api {

// Truncates toward zero; NaN and values outside the range give the most
// negative value of the width.
inline int32_t to_i32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

inline int16_t to_i16(double v) {
    if (!(v > -32769.0 && v < 32768.0)) return INT16_MIN;
    return static_cast<int16_t>(v);
}

inline int64_t to_i64(double v) {
    if (!(v > -9223372036854775808.0 && v < 9223372036854775808.0)) return INT64_MIN;
    return static_cast<int64_t>(v);
}

// Ports: the low 16 bits of the 32-bit value.
inline uint16_t to_port(double v) { return static_cast<uint16_t>(static_cast<uint32_t>(to_i32(v))); }

// Kinds and modes: the low 8 bits of the 16-bit value.
inline uint8_t to_kind(double v) { return static_cast<uint8_t>(static_cast<uint16_t>(to_i16(v))); }

}  // namespace kiv::api
