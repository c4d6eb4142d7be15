// codec_fuzz: the base-250 codec and the pack/unpack exports over arbitrary values, strings and positions.
//
// Each input is a little program of checks, each against a model written
// here from the digit table rather than from the library's code:
//   pack       a value of any kind (NaN, huge, negative, fractional); the
//              string equals the model's digit bytes up to the first 0 and
//              reads back as them (the terminator standing for a last digit
//              whose byte is 0); an in-range value gives exactly width
//              bytes, none 0, 10 or 126, that unpack back to it;
//   unpack     any string at any position (integral, fractional, NaN, out of
//              range); the result is the model's decoding when the width's
//              bytes lie in the string or its terminator, else 0. The string
//              sits in a heap block that ends at its terminator, so a read
//              past it is an ASan report;
//   several    in-range numbers packed one after another into one string
//              behind an arbitrary prefix read back at their offsets;
//   digits     the internal encoders and decoders on any integer and any
//              bytes, as records use them (negative player numbers too).
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/codec.h"
#include "kiv.h"

namespace {

#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "codec_fuzz: check failed: %s (line %d)\n", #cond, __LINE__); \
            std::abort();                                                        \
        }                                                                        \
    } while (0)

constexpr int64_t kRange[4] = {0, 250, 62500, 15625000};

uint8_t model_byte(int64_t digit) {
    const uint8_t b = static_cast<uint8_t>((digit + 2) & 0xFF);
    if (b == 10) return 0xFF;
    if (b == 126) return 0xFE;
    return b;
}

int64_t model_digit(uint8_t b) {
    if (b == 0xFF) return 8;
    if (b == 0xFE) return 124;
    return static_cast<int64_t>(b) - 2;
}

// Digits most significant first; division truncates, the middle digit of a
// big number is floored.
std::vector<int64_t> model_digits(int width, int64_t n) {
    if (width == 1) return {n};
    if (width == 2) return {n / 250, n % 250};
    return {n / 62500, static_cast<int64_t>(std::floor(static_cast<double>(n % 62500) / 250.0)), n % 250};
}

std::string model_bytes(int width, int64_t n) {
    std::string out;
    for (int64_t d : model_digits(width, n)) out += static_cast<char>(model_byte(d));
    return out;
}

int64_t model_decode(int width, const uint8_t* p) {
    int64_t v = 0;
    for (int i = 0; i < width; ++i) v = v * 250 + model_digit(p[i]);
    return v;
}

const char* pack(int width, double v) {
    if (width == 1) return pack_small(v);
    if (width == 2) return pack_normal(v);
    return pack_big(v);
}

double unpack(int width, const char* s, double position) {
    if (width == 1) return unpack_small(s, position);
    if (width == 2) return unpack_normal(s, position);
    return unpack_big(s, position);
}

// Any double, NaN and infinities included, with a leaning towards the
// interesting neighbourhoods: small integers, fractions, range edges.
double any_real(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return in.ConsumeIntegralInRange<int64_t>(-300, 16000000);
        case 1:
            return in.ConsumeIntegralInRange<int64_t>(-300, 300) + (in.ConsumeBool() ? 1 : -1) * in.ConsumeProbability<double>();
        case 2:
            return static_cast<double>(in.ConsumeIntegral<int32_t>());
        default: {
            const uint64_t bits = in.ConsumeIntegral<uint64_t>();
            double v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
    }
}

void check_pack(FuzzedDataProvider& in) {
    const int width = in.ConsumeIntegralInRange(1, 3);
    const double v = any_real(in);
    const std::string got = pack(width, v);
    CHECK(got.size() <= static_cast<size_t>(width));
    // Values past 32 bits are outside what packing promises anything for.
    if (!(std::fabs(v) < 2147483648.0)) return;
    const int64_t n = static_cast<int64_t>(std::trunc(v));
    std::string want = model_bytes(width, n);
    want.resize(std::strlen(want.c_str()));  // a 0 byte ends the string early
    CHECK(got == want);
    const bool whole = want.size() + 1 >= static_cast<size_t>(width);
    const double back = whole ? static_cast<double>(model_decode(width, reinterpret_cast<const uint8_t*>(got.c_str()))) : 0;
    CHECK(unpack(width, got.c_str(), 0) == back);
    if (n >= 0 && n < kRange[width]) {
        CHECK(got.size() == static_cast<size_t>(width));
        for (char c : got) CHECK(c != '\n' && c != '~');
        CHECK(unpack(width, got.c_str(), 0) == static_cast<double>(n));
    }
}

void check_unpack(FuzzedDataProvider& in) {
    const int width = in.ConsumeIntegralInRange(1, 3);
    std::string text = in.ConsumeRandomLengthString(64);
    text.resize(std::strlen(text.c_str()));
    double position;
    if (in.ConsumeBool()) {
        position = in.ConsumeIntegralInRange<int64_t>(-2, static_cast<int64_t>(text.size()) + 2);
        if (in.ConsumeBool()) position += (in.ConsumeBool() ? 1 : -1) * in.ConsumeProbability<double>() * 0.999;
    } else {
        position = any_real(in);
    }
    // Exactly the string and its terminator: any byte read beyond is caught.
    char* s = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(s, text.c_str(), text.size() + 1);
    const double got = unpack(width, s, position);
    const double t = std::trunc(position);
    double want = 0;
    if (t >= 0 && t + width <= static_cast<double>(text.size()) + 1) {
        want = static_cast<double>(model_decode(width, reinterpret_cast<const uint8_t*>(s) + static_cast<size_t>(t)));
    }
    std::free(s);
    CHECK(got == want);
}

void check_several(FuzzedDataProvider& in) {
    std::string text = in.ConsumeRandomLengthString(8);
    text.resize(std::strlen(text.c_str()));
    struct Field {
        int width;
        int64_t value;
        size_t at;
    };
    std::vector<Field> fields;
    const int count = in.ConsumeIntegralInRange(1, 8);
    for (int i = 0; i < count; ++i) {
        const int width = in.ConsumeIntegralInRange(1, 3);
        const int64_t value = in.ConsumeIntegralInRange<int64_t>(0, kRange[width] - 1);
        fields.push_back({width, value, text.size()});
        text += pack(width, static_cast<double>(value));
    }
    for (const Field& f : fields) {
        CHECK(unpack(f.width, text.c_str(), static_cast<double>(f.at)) == static_cast<double>(f.value));
    }
}

void check_digits(FuzzedDataProvider& in) {
    const int32_t n = in.ConsumeIntegral<int32_t>();
    uint8_t out[3];
    kiv::encode_small(n, out);
    CHECK(std::string(reinterpret_cast<char*>(out), 1) == model_bytes(1, n));
    kiv::encode_normal(n, out);
    CHECK(std::string(reinterpret_cast<char*>(out), 2) == model_bytes(2, n));
    kiv::encode_big(n, out);
    CHECK(std::string(reinterpret_cast<char*>(out), 3) == model_bytes(3, n));
    const int64_t in_range = static_cast<int64_t>(static_cast<uint32_t>(n) % kRange[3]);
    kiv::encode_big(static_cast<int32_t>(in_range), out);
    CHECK(kiv::decode_big(out) == in_range);

    uint8_t b[3];
    for (uint8_t& x : b) x = in.ConsumeIntegral<uint8_t>();
    CHECK(kiv::decode_small(b) == model_decode(1, b));
    CHECK(kiv::decode_normal(b) == model_decode(2, b));
    CHECK(kiv::decode_big(b) == model_decode(3, b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    for (int step = 0; step < 16 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: check_pack(in); break;
            case 1: check_unpack(in); break;
            case 2: check_several(in); break;
            default: check_digits(in); break;
        }
    }
    return 0;
}
