// Packed numbers for scripts: the codec behind pack_* and unpack_*.
#pragma once

#include <cstdint>

namespace kiv {

// Packs n into width (1, 2 or 3) digit bytes in a per-thread area, followed
// by a 0 byte; valid until the next call on the same thread.
const char* pack_number(int width, int32_t n);

// Decodes width digit bytes at s + position. The string's terminating 0 is
// read as the digit it encodes (so every packed result reads back); bytes
// beyond it count as absent: the result is then 0.
double unpack_number(int width, const char* s, int32_t position);

}  // namespace kiv
