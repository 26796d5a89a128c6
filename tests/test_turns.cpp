// lcw16, iTurn0 and iTurn1.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"
#include "support/reference.h"

namespace {

TEST(Lcw16, Table) {
    struct Case {
        int16_t in, out;
    };
    const Case cases[] = {{0, 0},          {1, 16},         {15, 16},   {16, 16},
                          {17, 32},        {100, 112},      {640, 640}, {32752, 32752},
                          {32753, -32768}, {32767, -32768}, {-16, -16}, {-1, 16},
                          {-15, 16},       {-17, 0},        {-33, -16}, {-32768, -32768}};
    for (const auto& c : cases) {
        EXPECT_EQ(lcw16(c.in), c.out) << "lcw16(" << c.in << ")";
        EXPECT_EQ(ref::lcw16(c.in), c.out) << "reference lcw16(" << c.in << ")";
    }
}

TEST(Lcw16, SmallestMultipleOf16NotBelow) {
    for (int w = 0; w <= 32752; ++w) {
        const int expected = (w + 15) / 16 * 16;
        ASSERT_EQ(lcw16(static_cast<int16_t>(w)), expected) << w;
    }
}

// Three planes with distinct contents per channel, plus a destination of a
// given size prefilled with a marker.
struct TurnSetup {
    std::vector<uint8_t> src[3], dst[3];
    TurnParam p{};
    TurnSetup(const std::vector<uint8_t>& channel0, int16_t w, int16_t lb, int16_t h, size_t dstBytes,
              int16_t dstLb) {
        for (int c = 0; c < 3; ++c) {
            src[c] = channel0;
            for (auto& b : src[c]) b = static_cast<uint8_t>(b + 100 * c);
            dst[c].assign(dstBytes, 0xEE);
            p.srcPlane[c] = src[c].data();
            p.dstPlane[c] = dst[c].data();
        }
        p.srcWidth = w;
        p.srcLineBytes = lb;
        p.srcHeight = h;
        p.dstLineBytes = dstLb;
        p.dstWidth = -99;  // not read
        p.dstHeight = -99;
    }
};

// Source rows (a b c) and (d e f) as 1..6.
const std::vector<uint8_t> k3x2 = {1, 2, 3, 4, 5, 6};
constexpr uint8_t X = 0xEE;  // untouched

struct TurnCase {
    const char* name;
    int mode;  // 0..2: iTurn0 mode, 3: iTurn1
    int16_t dstLb;
    std::vector<uint8_t> expected;  // channel 0, dstLb per row
};

TEST(Turn, ThreeByTwoEveryMode) {
    const TurnCase cases[] = {
        {"mode 0: (c f) (b e) (a d)", 0, 2, {3, 6, 2, 5, 1, 4}},
        {"mode 1: (f e d) (c b a)", 1, 2, {6, 5, 4, 3, 2, 1}},
        {"mode 2: (d a) (e b) (f c)", 2, 2, {4, 1, 5, 2, 6, 3}},
        {"iTurn1: (a d) (b e) (c f)", 3, 2, {1, 4, 2, 5, 3, 6}},
        // Wider destination rows: the bytes past the written columns stay.
        {"mode 0, stride 4", 0, 4, {3, 6, X, X, 2, 5, X, X, 1, 4, X, X}},
        {"mode 2, stride 4", 2, 4, {4, 1, X, X, 5, 2, X, X, 6, 3, X, X}},
        {"iTurn1, stride 4", 3, 4, {1, 4, X, X, 2, 5, X, X, 3, 6, X, X}},
        // Mode 1 lays the destination out with the source stride (3), not 5.
        {"mode 1 ignores dstLineBytes", 1, 5, {6, 5, 4, 3, 2, 1, X, X, X, X, X, X}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TurnSetup mod(k3x2, 3, 3, 2, c.expected.size(), c.dstLb);
        TurnSetup rf(k3x2, 3, 3, 2, c.expected.size(), c.dstLb);
        mod.p.turnMode = rf.p.turnMode = static_cast<int16_t>(c.mode == 3 ? 0 : c.mode);
        if (c.mode == 3) {
            iTurn1(&mod.p);
            ref::turn1(&rf.p);
        } else {
            iTurn0(&mod.p);
            ref::turn0(&rf.p);
        }
        for (int ch = 0; ch < 3; ++ch) {
            std::vector<uint8_t> want = c.expected;
            for (auto& b : want) {
                if (b != X) b = static_cast<uint8_t>(b + 100 * ch);
            }
            EXPECT_EQ(mod.dst[ch], want) << "module channel " << ch;
            EXPECT_EQ(rf.dst[ch], want) << "reference channel " << ch;
        }
    }
}

TEST(Turn, SourceRowTailIsSkipped) {
    // Source stride 5 for 3 columns: bytes 3, 4 of each row are padding.
    const std::vector<uint8_t> src = {1, 2, 3, 90, 91, 4, 5, 6, 92, 93};
    TurnSetup s(src, 3, 5, 2, 6, 2);
    s.p.turnMode = 2;
    iTurn0(&s.p);
    EXPECT_EQ(s.dst[0], (std::vector<uint8_t>{4, 1, 5, 2, 6, 3}));
    TurnSetup t(src, 3, 5, 2, 6, 2);
    iTurn1(&t.p);
    EXPECT_EQ(t.dst[0], (std::vector<uint8_t>{1, 4, 2, 5, 3, 6}));
}

TEST(Turn, OneByOneGoesToOffsetZero) {
    for (int mode = 0; mode <= 3; ++mode) {
        TurnSetup s({7}, 1, 1, 1, 4, 4);
        s.p.turnMode = static_cast<int16_t>(mode == 3 ? 0 : mode);
        if (mode == 3)
            iTurn1(&s.p);
        else
            iTurn0(&s.p);
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(s.dst[c], (std::vector<uint8_t>{uint8_t(7 + 100 * c), X, X, X})) << mode;
        }
    }
}

TEST(Turn, InvalidModesAndEmptySizesCopyNothing) {
    for (int16_t mode : {int16_t(3), int16_t(-1), int16_t(4), int16_t(32767), int16_t(-32768)}) {
        TurnSetup s(k3x2, 3, 3, 2, 12, 4);
        s.p.turnMode = mode;
        iTurn0(&s.p);
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(s.dst[c], std::vector<uint8_t>(12, X)) << "mode " << mode;
        }
    }
    for (int16_t w : {int16_t(0), int16_t(-3)}) {
        for (int mode = 0; mode <= 3; ++mode) {
            TurnSetup s(k3x2, w, 3, 2, 12, 4);
            TurnSetup t(k3x2, 3, 3, static_cast<int16_t>(w), 12, 4);
            s.p.turnMode = t.p.turnMode = static_cast<int16_t>(mode == 3 ? 0 : mode);
            if (mode == 3) {
                iTurn1(&s.p);
                iTurn1(&t.p);
            } else {
                iTurn0(&s.p);
                iTurn0(&t.p);
            }
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(s.dst[c], std::vector<uint8_t>(12, X)) << "width " << w;
                EXPECT_EQ(t.dst[c], std::vector<uint8_t>(12, X)) << "height " << w;
            }
        }
    }
}

TEST(Turn, RandomAgainstReference) {
    std::mt19937 rng(7);
    for (int iter = 0; iter < 200; ++iter) {
        const int16_t w = static_cast<int16_t>(1 + rng() % 40);
        const int16_t h = static_cast<int16_t>(1 + rng() % 40);
        const int16_t lb = static_cast<int16_t>(w + rng() % 20);
        const int mode = static_cast<int>(rng() % 4);
        const int16_t dstCols = mode == 1 ? w : h;
        const int16_t dstRows = mode == 1 ? h : w;
        const int16_t dstLb = static_cast<int16_t>(dstCols + rng() % 20);
        const size_t dstBytes = static_cast<size_t>(dstRows) * (mode == 1 ? lb : dstLb) + 16;
        std::vector<uint8_t> src(static_cast<size_t>(lb) * h);
        harness::fillRandom(src, rng);
        TurnSetup a(src, w, lb, h, dstBytes, dstLb), b(src, w, lb, h, dstBytes, dstLb);
        a.p.turnMode = b.p.turnMode = static_cast<int16_t>(mode == 3 ? 0 : mode);
        if (mode == 3) {
            iTurn1(&a.p);
            ref::turn1(&b.p);
        } else {
            iTurn0(&a.p);
            ref::turn0(&b.p);
        }
        for (int c = 0; c < 3; ++c) {
            ASSERT_EQ(a.dst[c], b.dst[c]) << "w " << w << " h " << h << " mode " << mode;
            ASSERT_EQ(a.src[c], b.src[c]);
        }
    }
}

}  // namespace
