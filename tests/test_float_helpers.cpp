// fmod33 / fabs33 bit for bit, and the C view of the public header.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"
#include "support/reference.h"

extern "C" int headerCCheckTurn(void);
extern "C" size_t headerCCheckMosaicSize(void);
extern "C" size_t headerCCheckOffsetOfBorderValue(void);

using harness::bitsFloat;
using harness::floatBits;

namespace {

struct FloatCase {
    const char* name;
    float in;
    float expected;
};

constexpr float kInf = std::numeric_limits<float>::infinity();

// Expected values worked out by hand from the definition: x minus its
// saturating unsigned 32-bit integer part, rounded once to single.
const FloatCase kFmodCases[] = {
    {"1.5", 1.5f, 0.5f},
    {"255.75", 255.75f, 0.75f},
    {"10.1f", 10.1f, 0.10000038146972656f},
    {"+0", 0.0f, 0.0f},
    {"-0 keeps its sign", -0.0f, -0.0f},
    {"smallest subnormal", bitsFloat(1u), bitsFloat(1u)},
    {"0.99999994", 0.99999994f, 0.99999994f},
    {"2^23 + 0.5 is not representable: 2^23 + 1", 8388609.0f, 0.0f},
    {"2^24", 16777216.0f, 0.0f},
    {"largest float below 2^31", 2147483520.0f, 0.0f},
    {"2^31", 2147483648.0f, 0.0f},
    {"2^31 + 256", 2147483904.0f, 0.0f},
    {"largest float below 2^32", 4294967040.0f, 0.0f},
    {"2^32 saturates", 4294967296.0f, 0.0f},
    {"2^33", 8589934592.0f, 4294967296.0f},
    {"1e20: the integer part 2^32 vanishes in rounding", 1e20f, 1e20f},
    {"-0.25", -0.25f, -0.25f},
    {"-1", -1.0f, -4294967296.0f},
    {"-1.5", -1.5f, -4294967296.0f},
    {"-300.5", -300.5f, -4294967296.0f},
    {"-2^31", -2147483648.0f, -4294967296.0f},
    {"-2^33", -8589934592.0f, -10737418240.0f},
    {"+inf", kInf, kInf},
    {"-inf", -kInf, -kInf},
    {"max float", std::numeric_limits<float>::max(), std::numeric_limits<float>::max()},
};

TEST(Fmod33, TableBitForBit) {
    for (const auto& c : kFmodCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(floatBits(fmod33(c.in)), floatBits(c.expected))
            << "fmod33(" << c.in << ") = " << fmod33(c.in) << ", expected " << c.expected;
        EXPECT_EQ(floatBits(ref::fmod33(c.in)), floatBits(c.expected)) << "reference";
    }
}

TEST(Fmod33, NanStaysNan) {
    for (uint32_t bits : {0x7FC00000u, 0xFFC00000u, 0x7FC12345u}) {
        EXPECT_TRUE(fmod33(bitsFloat(bits)) != fmod33(bitsFloat(bits))) << std::hex << bits;
    }
}

TEST(Fmod33, FractionOfEveryQuarterUpTo1000) {
    // The bilinear weights of both passes: exact fractional part in range.
    for (int q = 0; q < 4000; ++q) {
        const float x = static_cast<float>(q) * 0.25f;
        const float expected = static_cast<float>(q % 4) * 0.25f;
        ASSERT_EQ(floatBits(fmod33(x)), floatBits(expected)) << x;
    }
}

const FloatCase kFabsCases[] = {
    {"-2.5", -2.5f, 2.5f},
    {"2.5", 2.5f, 2.5f},
    {"+0", 0.0f, 0.0f},
    {"-0 stays -0", -0.0f, -0.0f},
    {"-inf", -kInf, kInf},
    {"+inf", kInf, kInf},
    {"negative subnormal", bitsFloat(0x80000001u), bitsFloat(1u)},
    {"-max", -std::numeric_limits<float>::max(), std::numeric_limits<float>::max()},
    {"-2^31", -2147483648.0f, 2147483648.0f},
    {"-2^33", -8589934592.0f, 8589934592.0f},
};

TEST(Fabs33, TableBitForBit) {
    for (const auto& c : kFabsCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(floatBits(fabs33(c.in)), floatBits(c.expected));
        EXPECT_EQ(floatBits(ref::fabs33(c.in)), floatBits(c.expected)) << "reference";
    }
}

TEST(Fabs33, NanReturnedUnchanged) {
    for (uint32_t bits : {0x7FC00000u, 0xFFC00000u, 0x7FC12345u, 0xFFC54321u}) {
        EXPECT_EQ(floatBits(fabs33(bitsFloat(bits))), bits) << std::hex << bits;
    }
}

TEST(PublicHeader, CompilesAsCAndAgreesWithCpp) {
    EXPECT_EQ(headerCCheckTurn(), 1);
    EXPECT_EQ(headerCCheckMosaicSize(), sizeof(PolarMosaicParam));
    EXPECT_EQ(headerCCheckOffsetOfBorderValue(), offsetof(PolarMosaicParam, borderValue));
}

}  // namespace
