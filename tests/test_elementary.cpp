// The module's own sin, cos and atan against correctly rounded values
// computed independently in 140-digit decimal arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "shared/floathelpers_internal.h"

namespace {

using polarmosaic_detail::atanOfFloat;
using polarmosaic_detail::atanOfFloatToFloat;
using polarmosaic_detail::sinCosOfFloat;

struct ElementaryCase {
    float x;
    double sine, cosine, arctangent;
};

// Includes arguments next to multiples of pi / 2, huge arguments that need
// the full reduction, and arguments where a common C library rounds the
// wrong way.
const ElementaryCase kCases[] = {
    {0x0.0p+0f, 0x0.0p+0, 0x1.0000000000000p+0, 0x0.0p+0},
    {0x1.4484c00000000p-100f, 0x1.4484c00000000p-100, 0x1.0000000000000p+0, 0x1.4484c00000000p-100},
    {0x1.5798ee0000000p-27f, 0x1.5798ee0000000p-27, 0x1.0000000000000p+0, 0x1.5798ee0000000p-27},
    {0x1.99999a0000000p-4f, 0x1.98eaed1ea022bp-4, 0x1.fd712f993a59bp-1, 0x1.983e28938f9ecp-4},
    {0x1.0000000000000p-1f, 0x1.eaee8744b05f0p-2, 0x1.c1528065b7d50p-1, 0x1.dac670561bb4fp-2},
    {0x1.921fb40000000p-1f, 0x1.6a09e582aa394p-1, 0x1.6a09e74d3d3fcp-1, 0x1.54e04b3d4358ap-1},
    {0x1.921fb60000000p-1f, 0x1.6a09e6ecb41fep-1, 0x1.6a09e5e333598p-1, 0x1.54e04c79ed9a9p-1},
    {0x1.0000000000000p+0f, 0x1.aed548f090ceep-1, 0x1.14a280fb5068cp-1, 0x1.921fb54442d18p-1},
    {0x1.921fb60000000p+0f, 0x1.ffffffffffff7p-1, -0x1.777a5cf72ceccp-25, 0x1.00fe98b4f50d9p+0},
    {0x1.921fb80000000p+0f, 0x1.fffffffffff88p-1, -0x1.5dde973dcb398p-23, 0x1.00fe99489e459p+0},
    {0x1.921fb40000000p+0f, 0x1.fffffffffffe6p-1, 0x1.4442d18469893p-24, 0x1.00fe98214bd48p+0},
    {0x1.921fb60000000p+1f, -0x1.777a5cf72cec6p-24, -0x1.fffffffffffdep-1, 0x1.433b8a54b916dp+0},
    {0x1.921fb60000000p+2f, 0x1.777a5cf72ceadp-23, 0x1.fffffffffff76p-1, 0x1.69b8155e3c935p+0},
    {0x1.4000000000000p+1f, 0x1.326af0dcfcab1p-1, -0x1.9a2f7ef858b7dp-1, 0x1.30b6d796a4da8p+0},
    {0x1.8000000000000p+1f, 0x1.210386db6d55bp-3, -0x1.fae04be85e5d2p-1, 0x1.3fc176b7a8560p+0},
    {0x1.0000000000000p+2f, -0x1.837b9dddc1eaep-1, -0x1.4eaa606db24c1p-1, 0x1.5368c951e9cfdp+0},
    {0x1.921fb60000000p+2f, 0x1.777a5cf72ceadp-23, 0x1.fffffffffff76p-1, 0x1.69b8155e3c935p+0},
    {0x1.4000000000000p+3f, -0x1.1689ef5f34f52p-1, -0x1.ad9ac890c6b1fp-1, 0x1.789bd2c160054p+0},
    {0x1.9000000000000p+6f, -0x1.03425b78c4db8p-1, 0x1.b981dbf665fdfp-1, 0x1.8f905eb2def22p+0},
    {0x1.f440000000000p+9f, 0x1.fd948c50a7a0dp-1, 0x1.8dbff75eb664fp-4, 0x1.91de3470ce120p+0},
    {0x1.81cd6c0000000p+13f, -0x1.689610f38680cp-1, 0x1.6b7c3f7d685d6p-1, 0x1.921a664fdff1bp+0},
    {0x1.86a0000000000p+16f, 0x1.24daa9c527e96p-5, -0x1.ffac3841b3da7p-1, 0x1.921f0d7e968a8p+0},
    {0x1.32cbd00000000p+17f, -0x1.f74730c11d111p-8, 0x1.fffc22936e991p-1, 0x1.921f4a75a60dfp+0},
    {0x1.0000000000000p+24f, -0x1.8f22f8433d6eep-1, 0x1.40ad67f3f0c9ap-1, 0x1.921fb44442d18p+0},
    {0x1.0000000000000p+30f, -0x1.3c12353728cafp-1, 0x1.92cb46a920144p-1, 0x1.921fb54042d18p+0},
    {0x1.2a05f20000000p+33f, -0x1.f334c7896a4e3p-2, 0x1.bf098901c931ap-1, 0x1.921fb543d4de0p+0},
    {0x1.5af1d80000000p+66f, 0x1.502ad17d67516p-1, 0x1.822e45d2fb241p-1, 0x1.921fb54442d18p+0},
    {0x1.93e5940000000p+99f, -0x1.95135fcc7c53cp-1, -0x1.3924432ee4d87p-1, 0x1.921fb54442d18p+0},
    {0x1.ff933c0000000p+127f, -0x1.f3e2c5484217fp-3, 0x1.f0839462e7fbdp-1, 0x1.921fb54442d18p+0},
    {0x1.8000000000000p+104f, -0x1.2d762a7157a0ep-2, 0x1.e94f58f351efbp-1, 0x1.921fb54442d18p+0},
    {-0x1.0000000000000p-1f, -0x1.eaee8744b05f0p-2, 0x1.c1528065b7d50p-1, -0x1.dac670561bb4fp-2},
    {-0x1.8000000000000p+1f, -0x1.210386db6d55bp-3, -0x1.fae04be85e5d2p-1, -0x1.3fc176b7a8560p+0},
    {-0x1.e848000000000p+19f, 0x1.6664b2568d867p-2, 0x1.df9df9906d32cp-1, -0x1.921fa47d4b30dp+0},
    {0x1.9dc5040000000p-2f, 0x1.9299fce24c661p-2, 0x1.d6c4788321e1ep-1, 0x1.893a5b0a68a23p-2},
    {0x1.12a9940000000p+1f, 0x1.adaa57f16844dp-1, -0x1.1671ee22f1e1dp-1, 0x1.227b5cf5200cep+0},
    {0x1.9b3fe20000000p-1f, 0x1.706f042e00847p-1, 0x1.6387575c416b9p-1, 0x1.5a78badd1511ep-1},
    {0x1.5bffdc0000000p+1f, 0x1.a434f818c1b43p-2, -0x1.d2e7c04265b40p-1, 0x1.37e5030482733p+0},
    {0x1.8229380000000p+2f, -0x1.f98806549839bp-3, 0x1.f02817644c179p-1, 0x1.6814018de8a75p+0},
    {0x1.0b67f40000000p+2f, -0x1.b8ac9c5cd1a5dp-1, -0x1.04ac2e6e4a159p-1, 0x1.55fc292804211p+0},
    {0x1.164d080000000p+9f, -0x1.07325f4638cc9p-1, -0x1.b72bdcaa6b933p-1, 0x1.91a9f7135f902p+0},
};

uint64_t bitsOf(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

TEST(Elementary, CorrectlyRoundedAgainstHighPrecisionValues) {
    for (const ElementaryCase& c : kCases) {
        double s = 0.0, co = 0.0;
        sinCosOfFloat(c.x, &s, &co);
        EXPECT_EQ(bitsOf(s), bitsOf(c.sine))
            << "sin " << std::hexfloat << c.x << " got " << s << " want " << c.sine;
        EXPECT_EQ(bitsOf(co), bitsOf(c.cosine))
            << "cos " << std::hexfloat << c.x << " got " << co << " want " << c.cosine;
        EXPECT_EQ(bitsOf(atanOfFloat(c.x)), bitsOf(c.arctangent)) << "atan " << std::hexfloat << c.x;
    }
}

TEST(Elementary, SpecialValues) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (float x : {inf, -inf, nan}) {
        double s = 0.0, c = 0.0;
        sinCosOfFloat(x, &s, &c);
        EXPECT_TRUE(std::isnan(s) && std::isnan(c)) << x;
    }
    double s = 1.0, c = 0.0;
    sinCosOfFloat(-0.0f, &s, &c);
    EXPECT_EQ(bitsOf(s), bitsOf(-0.0));
    EXPECT_EQ(c, 1.0);
    EXPECT_EQ(atanOfFloat(inf), 1.5707963267948966);
    EXPECT_EQ(atanOfFloat(-inf), -1.5707963267948966);
    EXPECT_EQ(bitsOf(atanOfFloat(-0.0f)), bitsOf(-0.0));
    EXPECT_TRUE(std::isnan(atanOfFloat(nan)));
    EXPECT_TRUE(std::isnan(atanOfFloatToFloat(nan)));
    EXPECT_EQ(atanOfFloatToFloat(inf), 1.57079637f);
}

// The quick single-precision arctangent must always agree with rounding the
// double-double one.
TEST(Elementary, QuickArctangentEqualsRoundedExactOne) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> ratio(0.0f, 4.0f);
    int mismatches = 0;
    for (int i = 0; i < 200000; ++i) {
        float x;
        if (i % 2 == 0) {
            x = ratio(rng);
        } else {
            const uint32_t b = rng() & 0x7FFFFFFFu;
            std::memcpy(&x, &b, sizeof x);
        }
        const float quick = atanOfFloatToFloat(x);
        const float exact = static_cast<float>(atanOfFloat(x));
        if (std::memcmp(&quick, &exact, sizeof quick) != 0 && !(std::isnan(quick) && std::isnan(exact)))
            ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
