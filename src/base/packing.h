// Packed numbers for scripts: the codec behind pack_* and unpack_*.
#pragma once

#include <cstdint>

namespace kiv {

// Packs n into width (1, 2 or 3) digit bytes in a static area, followed by a
// 0 byte; valid until the next call.
const char* pack_number(int width, int32_t n);

// Decodes width digit bytes at s + position. Bytes at or beyond the string's
// terminating 0 count as absent: the result is then 0.
double unpack_number(int width, const char* s, int32_t position);

}  // namespace kiv
