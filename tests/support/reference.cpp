#include "support/reference.h"

#include <cmath>
#include "shared/floathelpers_internal.h"
#include <cstring>

namespace ref {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr float kHalfPiF = 1.5707963705062866f;  // pi / 2 rounded to single
constexpr float kTwoPiF = 6.2831854820251465f;   // 2 pi rounded to single

enum class Wrap { kOk, kStuck, kGaveUp };

// The elementary functions are the module's own correctly rounded ones (the
// C library's differ between processors in the last bit); they are checked
// against independent high-precision values in their own test.
void sinCos(float x, double* sine, double* cosine) { polarmosaic_detail::sinCosOfFloat(x, sine, cosine); }
double atan(float x) { return polarmosaic_detail::atanOfFloat(x); }

// Bilinear blend of four samples: the two products with fx on the right-hand
// samples are single precision, the rest double; truncated, low 8 bits.
uint8_t blend(float fx, float fy, uint8_t tl, uint8_t tr, uint8_t bl, uint8_t br) {
    const double oneMinusFx = 1.0 - static_cast<double>(fx);
    const double oneMinusFy = 1.0 - static_cast<double>(fy);
    const float fxTr = fx * static_cast<float>(tr);
    const float fxBr = fx * static_cast<float>(br);
    const double top = oneMinusFx * static_cast<double>(tl) + static_cast<double>(fxTr);
    const double bottom = oneMinusFx * static_cast<double>(bl) + static_cast<double>(fxBr);
    const double value = oneMinusFy * top + static_cast<double>(fy) * bottom;
    return static_cast<uint8_t>(truncSat32(value) & 0xFF);
}

// Forward-pass wrap of one coordinate: bounds and period in double, each new
// coordinate rounded to single.
Wrap wrapForward(float& c, int16_t n, int64_t& rounds, int64_t cap) {
    const double nd = static_cast<double>(static_cast<float>(n));
    const double period = nd - 1.2;
    while (static_cast<double>(c) > nd - 0.1) {
        if (!(period > 0.0)) return Wrap::kStuck;
        const float next = static_cast<float>(static_cast<double>(c) - period);
        if (next == c) return Wrap::kStuck;
        c = next;
        if (++rounds > cap) return Wrap::kGaveUp;
    }
    while (static_cast<double>(low16(truncSat32(c))) < 0.1) {
        if (std::isnan(c) || !(period > 0.0)) return Wrap::kStuck;
        const float next = static_cast<float>(static_cast<double>(c) + period);
        if (next == c) return Wrap::kStuck;
        c = next;
        if (++rounds > cap) return Wrap::kGaveUp;
    }
    return Wrap::kOk;
}

// Inverse-pass wrap of one coordinate, single precision, period n - 1.
Wrap wrapInverse(float& c, int16_t n, int64_t& rounds, int64_t cap) {
    const float upper = static_cast<float>(n) - 0.5f;
    const float period = static_cast<float>(n - 1);
    while (c >= upper) {
        if (!(period > 0.0f)) return Wrap::kStuck;
        const float next = c - period;
        if (next == c) return Wrap::kStuck;
        c = next;
        if (++rounds > cap) return Wrap::kGaveUp;
    }
    while (static_cast<float>(low16(truncSat32(c))) < 0.5f) {
        if (std::isnan(c) || !(period > 0.0f)) return Wrap::kStuck;
        const float next = c + period;
        if (next == c) return Wrap::kStuck;
        c = next;
        if (++rounds > cap) return Wrap::kGaveUp;
    }
    return Wrap::kOk;
}

// Samples the three planes at (x, y), already range-tested, and stores the
// blend at dstOffset. The row index height is clamped to the last row.
void sampleAndStore(const PolarMapParam* p, float x, float y, float fx, float fy, int64_t dstOffset,
                    PassReport& rep) {
    const int32_t lb = p->lineBytes;
    const int32_t ix = truncSat32(x);
    int32_t iy = truncSat32(y);
    if (iy == p->height) {
        iy = p->height - 1;
        ++rep.lastRowClamps;
    }
    const int64_t base = static_cast<int64_t>(iy) * lb + ix;
    const int64_t right = x < static_cast<float>(p->width - 1) ? base + 1 : base;
    const bool hasBelow = y < static_cast<float>(p->height - 1);
    const int64_t below = hasBelow ? base + lb : base;
    const int64_t belowRight = hasBelow ? right + lb : right;
    for (int c = 0; c < 3; ++c) {
        const uint8_t* s = p->srcPlane[c];
        p->dstPlane[c][dstOffset] = blend(fx, fy, s[base], s[right], s[below], s[belowRight]);
    }
}

void markSkip(const Options& opt, int64_t index, PassReport& rep) {
    ++rep.skipped;
    if (opt.skipMask) (*opt.skipMask)[static_cast<size_t>(index)] = 1;
}

}  // namespace

int32_t truncSat32(double x) {
    if (std::isnan(x)) return INT32_MIN;
    if (x >= 2147483648.0) return INT32_MAX;
    if (x <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(x);
}

int16_t low16(int32_t x) { return static_cast<int16_t>(static_cast<uint16_t>(x & 0xFFFF)); }

float fmod33(float x) {
    uint32_t u;
    if (static_cast<double>(x) >= 2147483648.0) {
        const int32_t t = truncSat32(static_cast<double>(x) - 2147483648.0);
        u = 2147483648u + static_cast<uint32_t>(t);
    } else {
        u = static_cast<uint32_t>(truncSat32(static_cast<double>(x)));
    }
    const float uf = static_cast<float>(static_cast<double>(u));
    return x - uf;
}

float fabs33(float x) {
    if (static_cast<double>(x) < 0.0) return static_cast<float>(0.0 - static_cast<double>(x));
    return x;
}

int16_t lcw16(int16_t width) {
    const int32_t w = width;
    int32_t q = w / 16;
    if ((w & 15) != 0) q = static_cast<int16_t>(q + 1);
    return static_cast<int16_t>(q * 16);
}

// Reads the source strictly in order, stepping over the row tail, and
// scatters each pixel to the offset that the mode gives.
static void turnCopy(const TurnParam* p, int mode) {
    const int16_t w = p->srcWidth, h = p->srcHeight;
    const int16_t srcLb = p->srcLineBytes, dstLb = p->dstLineBytes;
    const int16_t skip = static_cast<int16_t>(srcLb - w);
    const uint8_t* s0 = p->srcPlane[0];
    const uint8_t* s1 = p->srcPlane[1];
    const uint8_t* s2 = p->srcPlane[2];
    for (int16_t y = 0; y < h; ++y) {
        for (int16_t x = 0; x < w; ++x) {
            int32_t d = 0;
            switch (mode) {
                case 0:
                    d = (w - 1 - x) * dstLb + y;
                    break;
                case 1:
                    d = (h - 1 - y) * srcLb + (w - 1 - x);
                    break;
                case 2:
                    d = x * dstLb + (h - 1 - y);
                    break;
                default:
                    d = x * dstLb + y;
                    break;  // transpose
            }
            p->dstPlane[0][d] = *s0++;
            p->dstPlane[1][d] = *s1++;
            p->dstPlane[2][d] = *s2++;
        }
        s0 += skip;
        s1 += skip;
        s2 += skip;
    }
}

void turn0(const TurnParam* p) {
    if (p->turnMode < 0 || p->turnMode > 2) return;
    turnCopy(p, p->turnMode);
}

void turn1(const TurnParam* p) { turnCopy(p, 3); }

static uint8_t roundClamp(float x) {
    const int32_t n = truncSat32(static_cast<double>(x) + 0.5);
    if (n > 255) return 255;
    if (n < 0) return 0;
    return static_cast<uint8_t>(n);
}

void calcCArray(uint8_t* ramp, int16_t length, int16_t value, float shade) {
    ramp[0] = static_cast<uint8_t>(value & 0xFF);
    const float v = static_cast<float>(value);
    const float e = shade * v;
    if (length == 1) {
        ramp[1] = roundClamp(e);
        return;
    }
    if (length <= 0) return;
    const float step = (v - e) / static_cast<float>(length - 1);
    for (int16_t i = 1; i < length; ++i) {
        const float prod = static_cast<float>(i) * step;
        const float x = v - prod;
        ramp[i] = roundClamp(x);
    }
}

PassReport polar2Cartesian(const PolarMapParam* p, const Options& opt) {
    PassReport rep;
    const int16_t w = p->width, h = p->height, lb = p->lineBytes;
    if (w <= 0 || h <= 0) return rep;
    if (opt.skipMask) opt.skipMask->assign(static_cast<size_t>(w) * h, 0);

    const float k = p->zoom == 0.0f ? 1.0f : static_cast<float>(1.0 / static_cast<double>(p->zoom));
    const float s = static_cast<float>(static_cast<double>(k) * 0.8);
    const float d = static_cast<float>(static_cast<double>(static_cast<float>(w - 1)) / kTwoPi);
    const float cx = static_cast<float>(w - 1) / 2.0f;
    const float cy = static_cast<float>(h - 1) / 2.0f;
    const float colLimit = static_cast<float>(w - 1);
    const float rowLimit = static_cast<float>((h - 1) + 1);

    for (int16_t i = 0; i < h; ++i) {
        float rho = s * (static_cast<float>(i) + p->radiusOffset);
        if (rho < 0.0f) rho = -rho;
        const int32_t dstRow = h - 1 - i;
        for (int16_t j = 0; j < w; ++j) {
            const int32_t dstCol = w - 1 - j;
            const int64_t dstOffset = static_cast<int64_t>(dstRow) * lb + dstCol;
            const int64_t maskIndex = static_cast<int64_t>(dstRow) * w + dstCol;

            const float theta = (static_cast<float>(j) + p->angleOffset) / d;
            double sine, cosine;
            sinCos(theta, &sine, &cosine);
            float x = static_cast<float>(static_cast<double>(rho) * sine + static_cast<double>(cx));
            float y = static_cast<float>(static_cast<double>(rho) * cosine + static_cast<double>(cy));
            if (p->wrap != 0) {
                Wrap r = wrapForward(x, w, rep.rounds, opt.maxRounds);
                if (r == Wrap::kOk) r = wrapForward(y, h, rep.rounds, opt.maxRounds);
                if (r == Wrap::kGaveUp) {
                    rep.outcome = Outcome::kGaveUp;
                    return rep;
                }
                if (r == Wrap::kStuck) {
                    ++rep.stuck;
                    markSkip(opt, maskIndex, rep);
                    continue;
                }
            }
            const float fx = fmod33(x);
            const float fy = fmod33(y);
            if (std::isnan(x) || std::isnan(y)) {
                ++rep.nanSkipped;
                markSkip(opt, maskIndex, rep);
                continue;
            }
            if (x < 0.0f || x > colLimit || y < 0.0f || y > rowLimit) {
                markSkip(opt, maskIndex, rep);
                continue;
            }
            sampleAndStore(p, x, y, fx, fy, dstOffset, rep);
        }
    }
    return rep;
}

PassReport cartesian2Polar(const PolarMapParam* p, const Options& opt) {
    PassReport rep;
    const int16_t w = p->width, h = p->height, lb = p->lineBytes;
    if (w <= 0 || h <= 0) return rep;
    if (opt.skipMask) opt.skipMask->assign(static_cast<size_t>(w) * h, 0);

    const float k = p->zoom == 0.0f ? 1.0f : static_cast<float>(1.0 / static_cast<double>(p->zoom));
    const float s = 2.0f * k;
    const float cx = static_cast<float>(w) / 2.0f;
    const float cy = static_cast<float>(h) / 2.0f;
    const float sumSquares =
        static_cast<float>(w) * static_cast<float>(w) + static_cast<float>(h) * static_cast<float>(h);
    const float q =
        static_cast<float>(static_cast<double>(w - 1) / std::sqrt(static_cast<double>(sumSquares)));
    const float pScale = static_cast<float>(static_cast<double>(h - 2) / kTwoPi);
    const float a = static_cast<float>(static_cast<double>(p->angleOffset) * kPi / 180.0);

    for (int16_t y = 0; y < h; ++y) {
        for (int16_t x = 0; x < w; ++x) {
            const int64_t dstOffset = static_cast<int64_t>(y) * lb + x;
            const int64_t maskIndex = static_cast<int64_t>(y) * w + x;

            const float dx = s * (static_cast<float>(x) - cx);
            const float dy = s * (static_cast<float>(y) - cy);
            const float sum = dx * dx + dy * dy;
            const float r = static_cast<float>(std::sqrt(static_cast<double>(sum)));
            float t;
            if (dx == 0.0f) {
                t = kHalfPiF;
            } else {
                const float ratio = fabs33(dy) / fabs33(dx);
                t = static_cast<float>(atan(ratio));
            }
            float theta;
            if (dx >= 0.0f && dy < 0.0f) {
                theta = t;
            } else if (dx < 0.0f && dy < 0.0f) {
                theta = static_cast<float>(kPi - static_cast<double>(t));
            } else if (dx < 0.0f && dy >= 0.0f) {
                theta = static_cast<float>(kPi + static_cast<double>(t));
            } else {
                theta = kTwoPiF - t;
            }
            float u = (r + p->radiusOffset) * q;
            float v = (theta + a) * pScale;

            Wrap wr = Wrap::kOk;
            if (p->wrap != 0) wr = wrapInverse(u, w, rep.rounds, opt.maxRounds);
            if (wr == Wrap::kOk) wr = wrapInverse(v, h, rep.rounds, opt.maxRounds);
            if (wr == Wrap::kGaveUp) {
                rep.outcome = Outcome::kGaveUp;
                return rep;
            }
            if (wr == Wrap::kStuck) {
                ++rep.stuck;
                markSkip(opt, maskIndex, rep);
                continue;
            }
            const float fx = fmod33(u);
            const float fy = fmod33(v);
            if (std::isnan(u) || std::isnan(v)) {
                ++rep.nanSkipped;
                markSkip(opt, maskIndex, rep);
                continue;
            }
            if (u < 0.0f || u > static_cast<float>(w - 1) || v < 0.0f || v > static_cast<float>(h)) {
                markSkip(opt, maskIndex, rep);
                continue;
            }
            sampleAndStore(p, u, v, fx, fy, dstOffset, rep);
        }
    }
    return rep;
}

int16_t tileAxis(int16_t dim, int16_t nominal, int16_t count, int16_t splitRemainder, int16_t* sizes) {
    const int32_t D = dim, T = nominal;
    int16_t n = count;
    const int32_t rem = D - (D / T) * T;
    if (rem == 0) {
        for (int32_t k = 0; k < n; ++k) sizes[k] = static_cast<int16_t>(T);
    } else if (splitRemainder != 0) {
        sizes[0] = static_cast<int16_t>(rem / 2);
        if (sizes[0] == 0) sizes[0] = 1;
        for (int32_t k = 1; k <= n - 2; ++k) sizes[k] = static_cast<int16_t>(T);
        const int16_t last = static_cast<int16_t>(D - sizes[0] - (n - 2) * T);
        sizes[n - 1] = last;
        if (last == 0) n = static_cast<int16_t>(n - 1);
    } else {
        n = static_cast<int16_t>(n - 1);
        for (int32_t k = 0; k <= n - 2; ++k) sizes[k] = static_cast<int16_t>(T);
        sizes[n - 1] = static_cast<int16_t>(D - (n - 1) * T);
    }
    return n;
}

void averageTiles(uint8_t* const src[3], uint8_t* const dst[3], int16_t lineBytes, const int16_t* tileWidths,
                  int16_t cols, const int16_t* tileHeights, int16_t rows) {
    int64_t rowStart = 0;
    for (int16_t r = 0; r < rows; ++r) {
        const int32_t th = tileHeights[r];
        int64_t colStart = 0;
        for (int16_t c = 0; c < cols; ++c) {
            const int32_t tw = tileWidths[c];
            if (tw > 0 && th > 0) {
                uint64_t sum[3] = {0, 0, 0};
                for (int32_t yy = 0; yy < th; ++yy) {
                    for (int32_t xx = 0; xx < tw; ++xx) {
                        const int64_t off = (rowStart + yy) * lineBytes + colStart + xx;
                        for (int k = 0; k < 3; ++k) sum[k] += src[k][off];
                    }
                }
                const uint64_t area = static_cast<uint64_t>(tw) * static_cast<uint64_t>(th);
                for (int k = 0; k < 3; ++k) {
                    const uint8_t avg = static_cast<uint8_t>((sum[k] / area) & 0xFF);
                    for (int32_t yy = 0; yy < th; ++yy) {
                        for (int32_t xx = 0; xx < tw; ++xx) {
                            dst[k][(rowStart + yy) * lineBytes + colStart + xx] = avg;
                        }
                    }
                }
            }
            colStart += tw;
        }
        rowStart += th;
    }
}

void drawBorders(const PolarMosaicParam* p, int16_t cols, int16_t rows) {
    // Gate.
    if (p->borderMode == 1 || p->borderWidth <= 0) return;
    // Shade copies: negatives count as 0.
    float shade[4];
    for (int s = 0; s < 4; ++s) shade[s] = p->shade[s] < 0.0f ? 0.0f : p->shade[s];
    const int32_t h = p->borderWidth / 2;
    const int64_t planeBytes = p->planeBytes;
    const int32_t lb = p->lineBytes, width = p->width, height = p->height;

    uint8_t plain[3];
    for (int c = 0; c < 3; ++c) plain[c] = static_cast<uint8_t>(p->borderValue[c] & 0xFF);

    // Ramps.
    if (p->borderWidth > 1) {
        bool flat = true;
        for (int s = 0; s < 4; ++s) {
            if (!(static_cast<double>(shade[s]) < 0.0001)) flat = false;
        }
        if (flat) {
            for (int32_t e = 0; e <= h; ++e) {
                for (int c = 0; c < 3; ++c) {
                    for (int s = 0; s < 4; ++s) p->ramp[3 * s + c][e] = plain[c];
                }
            }
        } else {
            for (int s = 0; s < 4; ++s) {
                for (int c = 0; c < 3; ++c) {
                    calcCArray(p->ramp[3 * s + c], static_cast<int16_t>(h + 1), p->borderValue[c], shade[s]);
                }
            }
        }
    }

    auto put = [&](int64_t row, int64_t col, const uint8_t v[3]) {
        const int64_t off = row * lb + col;
        for (int c = 0; c < 3; ++c) p->inPlane[c][off] = v[c];
    };
    auto putGuarded = [&](int64_t row, int64_t col, const uint8_t v[3]) {
        const int64_t off = row * lb + col;
        if (off < 0 || off > planeBytes - 1) return;
        for (int c = 0; c < 3; ++c) p->inPlane[c][off] = v[c];
    };
    auto rampEntry = [&](int side, int32_t k, uint8_t out[3]) {
        for (int c = 0; c < 3; ++c) out[c] = p->ramp[3 * side + c][k];
    };

    std::vector<int32_t> lineRows, lineCols;
    int32_t acc = 0;
    for (int32_t j = 0; j <= rows - 2; ++j) {
        acc += p->tileHeights[j];
        lineRows.push_back(acc);
    }
    acc = 0;
    for (int32_t i = 0; i <= cols - 2; ++i) {
        acc += p->tileWidths[i];
        lineCols.push_back(acc);
    }
    const int16_t mode = p->borderMode;
    uint8_t v[3];

    // Horizontal lines.
    if (mode == 2 || mode == 3) {
        for (int32_t R : lineRows) {
            for (int32_t x = 0; x < width; ++x) put(R, x, plain);
            for (int32_t k = 1; k <= h; ++k) {
                rampEntry(0, k, v);
                for (int32_t x = 0; x < width; ++x) putGuarded(R - k, x, v);
            }
            for (int32_t k = 1; k <= h; ++k) {
                rampEntry(1, k, v);
                for (int32_t x = 0; x < width; ++x) putGuarded(R + k, x, v);
            }
        }
    }
    // Vertical lines.
    if (mode == 2 || mode == 4) {
        for (int32_t C : lineCols) {
            for (int32_t y = 0; y < height; ++y) put(y, C, plain);
            for (int32_t k = 1; k <= h; ++k) {
                if (C - k < 0) continue;
                rampEntry(2, k, v);
                for (int32_t y = 0; y < height; ++y) put(y, C - k, v);
            }
            for (int32_t k = 1; k <= h; ++k) {
                if (C + k >= width) continue;
                rampEntry(3, k, v);
                for (int32_t y = 0; y < height; ++y) put(y, C + k, v);
            }
        }
    }
    if (mode != 2) return;
    // Crossings: the horizontal bands take back the diagonal halves.
    for (int32_t R : lineRows) {
        for (int32_t C : lineCols) {
            for (int32_t k = 1; k <= h; ++k) {
                rampEntry(0, k, v);
                for (int32_t x = C - h; x <= C + h; ++x) {
                    const bool inRun = x <= C - k || x >= C + k;
                    if (inRun && x >= 0 && x <= width - 1) putGuarded(R - k, x, v);
                }
            }
            for (int32_t k = 1; k <= h; ++k) {
                rampEntry(1, k, v);
                for (int32_t x = C - h; x <= C + h; ++x) {
                    const bool inRun = x <= C - k || x >= C + k;
                    if (inRun && x >= 0 && x <= width - 1) putGuarded(R + k, x, v);
                }
            }
        }
    }
    // Horizontal centre lines once more.
    for (int32_t R : lineRows) {
        for (int32_t x = 0; x < width; ++x) put(R, x, plain);
    }
}

PipelineReport polarMosaic(const PolarMosaicParam* p, const Options& opt) {
    PipelineReport rep;
    // Which records are in contract is the module's to say (its own check,
    // tested against the header's list in test_tile_grid.cpp); the reference
    // only computes what an accepted record gives.
    if (checkPolarMosaicParam(p) != POLARMOSAIC_OK) {
        rep.outcome = Outcome::kRejected;
        return rep;
    }
    const int16_t w = p->width, h = p->height, lb = p->lineBytes;

    // 1. Forward polar resampling, inPlane -> outPlane.
    PolarMapParam fwd{};
    fwd.zoom = 1.0f;
    fwd.radiusOffset = 0.0f;
    fwd.angleOffset = 0.0f;
    for (int c = 0; c < 3; ++c) {
        fwd.srcPlane[c] = p->inPlane[c];
        fwd.dstPlane[c] = p->outPlane[c];
    }
    fwd.lineBytes = lb;
    fwd.width = w;
    fwd.height = h;
    fwd.wrap = 1;
    Options fwdOpt = opt;
    fwdOpt.skipMask = nullptr;
    rep.forward = polar2Cartesian(&fwd, fwdOpt);
    if (rep.forward.outcome == Outcome::kGaveUp) {
        rep.outcome = Outcome::kGaveUp;
        return rep;
    }

    // 2. Tile grid (columns, then rows) and averaging, outPlane -> inPlane.
    rep.workingCols = tileAxis(w, p->tileWidth, p->tileCols, p->splitRemainder, p->tileWidths);
    rep.workingRows = tileAxis(h, p->tileHeight, p->tileRows, p->splitRemainder, p->tileHeights);
    averageTiles(p->outPlane, p->inPlane, lb, p->tileWidths, rep.workingCols, p->tileHeights,
                 rep.workingRows);

    // 3. Borders in inPlane.
    drawBorders(p, rep.workingCols, rep.workingRows);

    // 4. Quarter turn clockwise, inPlane -> outPlane.
    TurnParam t4{};
    for (int c = 0; c < 3; ++c) {
        t4.srcPlane[c] = p->inPlane[c];
        t4.dstPlane[c] = p->outPlane[c];
    }
    t4.srcWidth = w;
    t4.srcLineBytes = lcw16(w);
    t4.srcHeight = h;
    t4.turnMode = 2;
    t4.dstWidth = h;
    t4.dstLineBytes = h;
    t4.dstHeight = w;
    turn0(&t4);

    // 5. Inverse polar resampling in the turned layout, outPlane -> inPlane.
    PolarMapParam inv{};
    inv.zoom = 1.0f;
    inv.radiusOffset = 0.0f;
    inv.angleOffset = 0.0f;
    for (int c = 0; c < 3; ++c) {
        inv.srcPlane[c] = p->outPlane[c];
        inv.dstPlane[c] = p->inPlane[c];
    }
    inv.lineBytes = h;
    inv.width = h;
    inv.height = w;
    inv.wrap = 1;
    std::vector<uint8_t> turnedMask;
    Options invOpt = opt;
    invOpt.skipMask = &turnedMask;
    rep.inverse = cartesian2Polar(&inv, invOpt);
    if (rep.inverse.outcome == Outcome::kGaveUp) {
        rep.outcome = Outcome::kGaveUp;
        return rep;
    }
    // Turned pixel (row X, column Y) is result pixel (row Y, column X).
    rep.inverseSkipsUpright.assign(static_cast<size_t>(w) * h, 0);
    for (int32_t X = 0; X < w; ++X) {
        for (int32_t Y = 0; Y < h; ++Y) {
            rep.inverseSkipsUpright[static_cast<size_t>(Y) * w + X] =
                turnedMask[static_cast<size_t>(X) * h + Y];
        }
    }

    // 6. Transposing copy back to upright, inPlane -> outPlane.
    TurnParam t6{};
    for (int c = 0; c < 3; ++c) {
        t6.srcPlane[c] = p->inPlane[c];
        t6.dstPlane[c] = p->outPlane[c];
    }
    t6.srcWidth = h;
    t6.srcLineBytes = h;
    t6.srcHeight = w;
    t6.turnMode = 0;
    t6.dstWidth = w;
    t6.dstLineBytes = lcw16(w);
    t6.dstHeight = h;
    turn1(&t6);
    return rep;
}

}  // namespace ref
