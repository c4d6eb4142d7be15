// Base-250 digit codec: small (1 byte), normal (2) and big (3) packed numbers.
#pragma once

#include <cstdint>

namespace kiv {

// A digit 0..249 becomes one byte 2..251, with 10 sent as 0xFF and 126 as
// 0xFE, so an in-range digit is never 0 nor the record terminator 0x0A.
uint8_t encode_digit(int32_t d);
int32_t decode_digit(uint8_t b);

void encode_small(int32_t n, uint8_t out[1]);
void encode_normal(int32_t n, uint8_t out[2]);
void encode_big(int32_t n, uint8_t out[3]);

int32_t decode_small(const uint8_t* p);
int32_t decode_normal(const uint8_t* p);
int32_t decode_big(const uint8_t* p);

}  // namespace kiv
