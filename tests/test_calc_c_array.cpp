// calcCArray: shading ramps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/reference.h"

namespace {

constexpr uint8_t kSentinel = 0xA7;

struct RampCase {
    int16_t value;
    float shade;
    int16_t length;
    std::vector<uint8_t> expected;  // entries written; the rest stay sentinel
};

const RampCase kCases[] = {
    {200, 0.5f, 3, {200, 150, 100}},
    {200, 0.0f, 5, {200, 150, 100, 50, 0}},
    {255, 0.0f, 4, {255, 170, 85, 0}},
    {100, 0.3f, 4, {100, 77, 53, 30}},
    {10, 0.0f, 4, {10, 7, 3, 0}},
    {255, 1.5f, 3, {255, 255, 255}},
    {128, 0.25f, 2, {128, 32}},
    {255, 200.0f, 2, {255, 255}},
    {100, 0.5f, 1, {100, 50}},  // length 1 writes two entries
    {100, 0.5f, 0, {100}},      // length 0 writes entry 0 only
    {100, 0.5f, -5, {100}},
    {300, 0.5f, 3, {44, 225, 150}},
    {300, 1.0f, 3, {44, 255, 255}},
    {200, 1.0f, 4, {200, 200, 200, 200}},
    {-20, 0.5f, 3, {236, 0, 0}},  // low 8 bits; shaded entries clamp at 0
    {200, std::numeric_limits<float>::quiet_NaN(), 3, {200, 0, 0}},
    {200, std::numeric_limits<float>::quiet_NaN(), 1, {200, 0}},
    {255, 1e30f, 2, {255, 255}},
    {255, -1e30f, 3, {255, 0, 0}},
    {200, 0.5f, 2, {200, 100}},
    {201, 0.5f, 2, {201, 101}},  // 100.5 rounds half up
};

TEST(CalcCArray, Table) {
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message()
                     << "value " << c.value << " shade " << c.shade << " length " << c.length);
        std::vector<uint8_t> want(16, kSentinel);
        std::copy(c.expected.begin(), c.expected.end(), want.begin());
        std::vector<uint8_t> got(16, kSentinel), refGot(16, kSentinel);
        calcCArray(got.data(), c.length, c.value, c.shade);
        ref::calcCArray(refGot.data(), c.length, c.value, c.shade);
        EXPECT_EQ(got, want);
        EXPECT_EQ(refGot, want) << "reference";
    }
}

TEST(CalcCArray, RandomAgainstReference) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> shadeDist(-1.0f, 3.0f);
    for (int i = 0; i < 20000; ++i) {
        const int16_t length = static_cast<int16_t>(static_cast<int>(rng() % 40) - 2);
        const int16_t value = static_cast<int16_t>(static_cast<int>(rng() % 400) - 50);
        const float shade = shadeDist(rng);
        std::vector<uint8_t> a(48, kSentinel), b(48, kSentinel);
        calcCArray(a.data(), length, value, shade);
        ref::calcCArray(b.data(), length, value, shade);
        ASSERT_EQ(a, b) << "value " << value << " shade " << shade << " length " << length;
    }
}

}  // namespace
