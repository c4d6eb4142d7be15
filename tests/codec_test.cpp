// The base-250 codec and the packing exports.
#include <gtest/gtest.h>

#include <string>

#include "base/codec.h"
#include "kiv.h"

namespace {

std::string hex(const std::string& s) {
    std::string out;
    char b[4];
    for (unsigned char c : s) {
        snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    return out;
}

TEST(Codec, DigitAlphabetAvoidsZeroNewlineAndTilde) {
    EXPECT_EQ(kiv::encode_digit(0), 2);
    EXPECT_EQ(kiv::encode_digit(8), 0xFF);
    EXPECT_EQ(kiv::encode_digit(124), 0xFE);
    EXPECT_EQ(kiv::encode_digit(249), 251);
    for (int d = 0; d < 250; ++d) {
        uint8_t b = kiv::encode_digit(d);
        EXPECT_NE(b, 0);
        EXPECT_NE(b, 10);
        EXPECT_NE(b, 126);
        EXPECT_EQ(kiv::decode_digit(b), d);
    }
}

TEST(Codec, PackVectors) {
    EXPECT_EQ(hex(pack_small(0)), "02 ");
    EXPECT_EQ(hex(pack_small(8)), "FF ");
    EXPECT_EQ(hex(pack_small(124)), "FE ");
    EXPECT_EQ(hex(pack_small(249)), "FB ");
    EXPECT_EQ(hex(pack_normal(250)), "03 02 ");
    EXPECT_EQ(hex(pack_normal(1000)), "06 02 ");
    EXPECT_EQ(hex(pack_normal(2008)), "FF FF ");
    EXPECT_EQ(hex(pack_normal(31124)), "FE FE ");
    EXPECT_EQ(hex(pack_normal(62499)), "FB FB ");
    EXPECT_EQ(hex(pack_big(1000000)), "12 02 02 ");
    EXPECT_EQ(hex(pack_big(15624999)), "FB FB FB ");
}

TEST(Codec, TruncationNegativesAndOverwrite) {
    EXPECT_EQ(hex(pack_small(3.9)), "05 ");
    EXPECT_EQ(hex(pack_small(-1)), "01 ");
    EXPECT_EQ(unpack_small(pack_small(-1), 0), -1);
    EXPECT_EQ(std::string(pack_small(-2)), "");
    EXPECT_EQ(hex(pack_small(-3.9)), "FF ");
    EXPECT_EQ(unpack_small("\xFF", 0), 8);
    const char* first = pack_small(5);
    pack_small(6);
    EXPECT_EQ(static_cast<unsigned char>(first[0]), 8);  // the area was rewritten
}

TEST(Codec, RoundTripsOverWholeRanges) {
    for (int n = 0; n < 250; ++n) ASSERT_EQ(unpack_small(pack_small(n), 0), n);
    for (int n = 0; n <= 62499; ++n) ASSERT_EQ(unpack_normal(pack_normal(n), 0), n) << n;
    for (int n = 0; n <= 15624999; n += 997) {
        std::string s = pack_big(n);
        ASSERT_EQ(s.size(), 3u);
        ASSERT_EQ(unpack_big(s.c_str(), 0), n) << n;
    }
    EXPECT_EQ(unpack_big(pack_big(15624999), 0), 15624999);
}

TEST(Codec, UnpackAtPositionAndNeverPastTheEnd) {
    const char s[] = {'a', 'b', 'c', 'd', 6, 2, 0};
    EXPECT_EQ(unpack_normal(s, 4), 1000);
    EXPECT_EQ(unpack_normal(s, 4.7), 1000);
    // The terminator reads as the digit it encodes (-2); bytes beyond it are absent.
    EXPECT_EQ(unpack_normal(s, 5), -2);
    EXPECT_EQ(unpack_big(s, 5), 0);
    EXPECT_EQ(unpack_small(s, 6), -2);
    EXPECT_EQ(unpack_small(s, 7), 0);
    EXPECT_EQ(unpack_normal(pack_normal(-2), 0), -2);
    EXPECT_EQ(unpack_small(s, 1e9), 0);
    EXPECT_EQ(unpack_small(s, -1), 0);
    EXPECT_EQ(unpack_small(s, 0.0 / 0.0), 0);
    EXPECT_EQ(unpack_small("", 0), -2);
    EXPECT_EQ(unpack_small("", 1), 0);
    EXPECT_EQ(unpack_small(nullptr, 0), 0);
}

TEST(Codec, BigUsesFloorForTheMiddleDigit) {
    // -1 packs as digits 0, -1, -1 and decodes to -251: what receivers see.
    uint8_t d[3];
    kiv::encode_big(-1, d);
    EXPECT_EQ(kiv::decode_big(d), -251);
}

}  // namespace
