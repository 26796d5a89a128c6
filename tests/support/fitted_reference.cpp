// The fitted geometry from its written rules, one point at a time. Nothing
// here walks from a neighbour or skips a pixel: each pixel centre and each
// of its 16 samples is placed from scratch.
#include "support/fitted_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <utility>

#include "shared/floathelpers_internal.h"

namespace ref {

namespace {

constexpr int64_t kOne = int64_t(1) << 30;  // spoke directions' fixed point

// floor(sqrt(n)) by bisection: lo * lo <= n < hi * hi.
uint64_t exactSqrt(uint64_t n) {
    uint64_t lo = 0, hi = uint64_t(1) << 32;
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (mid * mid <= n)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

int64_t square(int64_t v) { return v * v; }

int32_t smallestPrime(int32_t n) {
    for (int32_t p = 2; p <= n; ++p) {
        if (n % p == 0) return p;
    }
    return n;
}

// A colour source of one sample: a tile, or a ramp entry (band, side) of
// the lines. Ordered tiles first by number, then lines by band and side
// (the header does not order lines; this is the module's order).
struct Source {
    bool line;
    int64_t tile;
    int band, side;
    bool operator<(const Source& o) const {
        if (line != o.line) return !line;
        if (!line) return tile < o.tile;
        return band != o.band ? band < o.band : side < o.side;
    }
    bool operator==(const Source& o) const { return !(*this < o) && !(o < *this); }
};

}  // namespace

FittedPicture::FittedPicture(int w, int h, bool withAlpha) : width(w), height(h), alpha(withAlpha) {
    for (int c = 0; c < planes(); ++c) plane[c].assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
}

int32_t fittedRingSectors(int32_t sectors, int64_t ring) {
    // The chain member nearest the target in ratio, the larger on a tie (the
    // chain falls, so only a strictly nearer member replaces the best).
    const double target = 2.0 * M_PI * (static_cast<double>(ring) + 0.5);
    int32_t best = sectors;
    double bestCost = std::fabs(std::log(sectors / target));
    for (int32_t m = sectors; m > 1;) {
        m /= smallestPrime(m);
        const double cost = std::fabs(std::log(m / target));
        if (cost < bestCost) {
            best = m;
            bestCost = cost;
        }
    }
    return best;
}

FittedGeometry::FittedGeometry(const PolarPlanSettings& settings) : s_(settings) {
    const int32_t n = s_.sectors;
    const long double pi = 3.141592653589793238462643383279502884L;
    ux_.resize(n);
    uy_.resize(n);
    for (int32_t k = 0; k < n; ++k) {
        // k / n + angle / 360000 turns, taken modulo one turn exactly (the
        // header does not say so, the module does; it changes a_k's rounding).
        const int64_t den = int64_t(360000) * n;
        int64_t num = (int64_t(k) * 360000 + int64_t(s_.angle) * n) % den;
        if (num < 0) num += den;
        const float a =
            static_cast<float>(2 * pi * static_cast<long double>(num) / static_cast<long double>(den));
        double sine = 0, cosine = 0;
        polarmosaic_detail::sinCosOfFloat(a, &sine, &cosine);
        ux_[k] = std::llround(cosine * static_cast<double>(kOne));
        uy_[k] = std::llround(sine * static_cast<double>(kOne));
    }
    if (n == 2) {
        ux_[1] = -ux_[0];
        uy_[1] = -uy_[0];
    }
    const bool lines = s_.borderWidth > 0 && s_.borderMode >= POLARMOSAIC_BORDER_GRID &&
                       s_.borderMode <= POLARMOSAIC_BORDER_SPOKES;
    ringLines_ = lines && s_.borderMode != POLARMOSAIC_BORDER_SPOKES;
    spokeLines_ = lines && s_.borderMode != POLARMOSAIC_BORDER_RINGS;
    // Tiles: the disc is tile 0, then each ring's tiles in sector order.
    const int64_t rings = ringsReached();
    ringSectors_.assign(static_cast<size_t>(rings) + 1, 1);
    firstTile_.assign(static_cast<size_t>(rings) + 1, 0);
    for (int64_t j = 1; j <= rings; ++j) {
        ringSectors_[j] = fittedRingSectors(n, j);
        firstTile_[j] = j == 1 ? 1 : firstTile_[j - 1] + ringSectors_[j - 1];
    }
}

int64_t FittedGeometry::firstTile(int64_t ring) const { return firstTile_.at(static_cast<size_t>(ring)); }

int64_t FittedGeometry::ringsReached() const {
    // The farthest corner of a pixel area from the centre.
    const int64_t cx = 4 * int64_t(s_.centreX2), cy = 4 * int64_t(s_.centreY2);
    const int64_t farX = std::max(cx, 8 * int64_t(s_.width - 1) - cx) + 4;
    const int64_t farY = std::max(cy, 8 * int64_t(s_.height - 1) - cy) + 4;
    return static_cast<int64_t>(exactSqrt(square(farX) + square(farY))) / (8 * int64_t(s_.ringWidth)) + 1;
}

int32_t FittedGeometry::sectorOf(int64_t x, int64_t y) const {
    const int32_t n = s_.sectors;
    if (n == 1) return 0;
    if (n == 2) {
        const int64_t c = cross(0, x, y);
        if (c != 0) return c > 0 ? 0 : 1;
        return dot(0, x, y) > 0 ? 0 : 1;
    }
    int32_t found = -1;
    for (int32_t k = 0; k < n; ++k) {
        if (cross(k, x, y) >= 0 && cross((k + 1) % n, x, y) < 0) {
            if (found >= 0) std::abort();  // two sectors hold the point
            found = k;
        }
    }
    if (found < 0) std::abort();  // no sector holds it
    return found;
}

FittedPlace FittedGeometry::locate(int64_t x, int64_t y) const {
    FittedPlace p;
    const int64_t d2 = square(x) + square(y);
    const int64_t r8 = 8 * int64_t(s_.ringWidth);
    const int64_t half8 = 4 * int64_t(s_.borderWidth);  // half the line width in eighths
    p.ring = static_cast<int64_t>(exactSqrt(static_cast<uint64_t>(d2))) / r8;
    int32_t step = s_.sectors;
    if (p.ring >= 1) {
        p.sector = sectorOf(x, y);
        step = s_.sectors / ringSectors_.at(static_cast<size_t>(p.ring));
        p.tile = firstTile(p.ring) + p.sector / step;
    }
    if (ringLines_) {
        // Ring line k covers distances [k r - w/2, k r + w/2).
        auto onRing = [&](int64_t k) {
            const int64_t lo = k * r8 - half8, hi = k * r8 + half8;
            return (lo <= 0 || d2 >= square(lo)) && d2 < square(hi);
        };
        const bool inner = p.ring >= 1 && onRing(p.ring);
        const bool outer = onRing(p.ring + 1);
        if (inner || outer) {
            p.kind = kFittedRingLine;
            p.line = inner ? p.ring : p.ring + 1;
            // Both: the nearer circle; exactly halfway (not written in the
            // header) the outer one.
            if (inner && outer) p.line = d2 < square(p.ring * r8 + r8 / 2) ? p.ring : p.ring + 1;
            return p;
        }
    }
    if (spokeLines_ && p.ring >= 1) {
        const int32_t a = p.sector / step * step;
        const int32_t b = (a + step) % s_.sectors;
        auto onSpoke = [&](int32_t k) {
            const int64_t c = cross(k, x, y);
            return dot(k, x, y) > 0 && c >= -half8 * kOne && c < half8 * kOne;
        };
        const bool onA = onSpoke(a), onB = b != a && onSpoke(b);
        if (onA || onB) {
            p.kind = kFittedSpokeLine;
            // Both: the nearer spoke; at equal distance (not written in the
            // header) the tile's first spoke.
            p.line = onA && (!onB || std::llabs(cross(a, x, y)) <= std::llabs(cross(b, x, y))) ? a : b;
        }
    }
    return p;
}

FittedPicture fittedReference(const PolarPlanSettings& s, const FittedPicture& in,
                              const FittedColours& colours) {
    const FittedGeometry g(s);
    const int w = s.width, h = s.height;
    const int lastBand = s.borderWidth / 2;

    // Ramps: entry 0 the border colour, shading as in PolarMosaicParam
    // (negative factors count as 0; all below 0.0001: plain lines).
    uint8_t ramp[4][3][POLARMOSAIC_FITTED_MAX_LINE_WIDTH / 2 + 2];
    float shade[4];
    bool flat = true;
    for (int side = 0; side < 4; ++side) {
        shade[side] = colours.shade[side] < 0.0f ? 0.0f : colours.shade[side];
        if (!(shade[side] < 0.0001)) flat = false;
    }
    for (int side = 0; side < 4; ++side) {
        for (int c = 0; c < 3; ++c) {
            if (flat) {
                for (int b = 0; b <= lastBand; ++b)
                    ramp[side][c][b] = static_cast<uint8_t>(colours.borderValue[c]);
            } else {
                calcCArray(ramp[side][c], static_cast<int16_t>(lastBand + 1), colours.borderValue[c],
                           shade[side]);
            }
        }
    }

    // Every pixel centre once, in its tile.
    std::vector<FittedPlace> centre(static_cast<size_t>(w) * h);
    std::map<int64_t, std::vector<uint64_t>> sums;  // tile -> channel sums, alpha sum, pixels
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            const FittedPlace p = g.locate(g.pixelX(col), g.pixelY(row));
            centre[static_cast<size_t>(row) * w + col] = p;
            std::vector<uint64_t>& t = sums[p.tile];
            t.resize(5, 0);
            const uint64_t a = in.alpha ? in.at(3, col, row) : 1;
            for (int c = 0; c < 3; ++c) t[c] += a * in.at(c, col, row);
            t[3] += a;
            t[4] += 1;
        }
    }
    std::map<int64_t, std::vector<int>> tileColour;  // RGBA, tiles with pixels only
    for (const auto& [tile, t] : sums) {
        std::vector<int> colour(4, 255);
        if (in.alpha) {
            // Colour weighted by alpha (0 when every alpha is 0); alpha the mean.
            for (int c = 0; c < 3; ++c)
                colour[c] = t[3] == 0 ? 0 : static_cast<int>((t[c] + t[3] / 2) / t[3]);
            colour[3] = static_cast<int>((t[3] + t[4] / 2) / t[4]);
        } else {
            for (int c = 0; c < 3; ++c) colour[c] = static_cast<int>((t[c] + t[4] / 2) / t[4]);
        }
        tileColour[tile] = colour;
    }

    // The source a point shows for a pixel centred at (cx, cy): its tile, or
    // its line shaded for the pixel's centre.
    auto sourceOf = [&](const FittedPlace& p, int64_t cx, int64_t cy) {
        Source src{false, p.tile, 0, 0};
        if (p.kind == kFittedNoLine) return src;
        src.line = true;
        const int64_t d2 = square(cx) + square(cy);
        int band = 0;
        if (p.kind == kFittedRingLine) {
            // |d| rounded half up: the entries b whose edge the centre passes.
            const int64_t circle = 8 * int64_t(s.ringWidth) * p.line;
            const bool outerSide = d2 >= square(circle);
            src.side = outerSide ? POLARMOSAIC_SIDE_OUTER : POLARMOSAIC_SIDE_INNER;
            for (int b = 1; b <= lastBand; ++b) {
                const int64_t edge = outerSide ? circle + 8 * b - 4 : circle - 8 * b + 4;
                if (outerSide ? d2 >= square(edge) : (edge >= 0 && d2 <= square(edge))) band = b;
            }
        } else {
            const int32_t k = static_cast<int32_t>(p.line);
            const int64_t c = g.spokeX(k) * cy - g.spokeY(k) * cx;
            src.side = c >= 0 ? POLARMOSAIC_SIDE_CCW : POLARMOSAIC_SIDE_CW;
            for (int b = 1; b <= lastBand; ++b) {
                if (std::llabs(c) >= (8 * int64_t(b) - 4) * kOne) band = b;
            }
        }
        src.band = band;
        if (band == 0) src.side = 0;  // the border colour on every side
        return src;
    };
    // A tile that holds no pixel centre shows the colour of `home`, the tile
    // of the pixel's centre. The samples in such a tile still count as that
    // tile among the pixel's sources, as the module counts them. (The
    // header's sentence also reads as "they count with the home tile",
    // which gives other blends where a pixel's samples meet three tiles.)
    auto colourOf = [&](const Source& src, int64_t home) {
        if (!src.line) return tileColour.count(src.tile) ? tileColour.at(src.tile) : tileColour.at(home);
        std::vector<int> colour(4, 255);
        for (int c = 0; c < 3; ++c) colour[c] = ramp[src.side][c][src.band];
        return colour;
    };

    FittedPicture out(w, h, in.alpha);
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            const int64_t cx = g.pixelX(col), cy = g.pixelY(row);
            const int64_t home = centre[static_cast<size_t>(row) * w + col].tile;
            std::map<Source, int> count;
            if (s.hardEdges) {
                count[sourceOf(centre[static_cast<size_t>(row) * w + col], cx, cy)] = 16;
            } else {
                for (int i = 0; i < 4; ++i) {
                    for (int j = 0; j < 4; ++j)
                        ++count[sourceOf(g.locate(cx + 2 * i - 3, cy + 2 * j - 3), cx, cy)];
                }
            }
            // The most frequent source, then the most frequent of the rest;
            // the map is in tie order, so the first of equal counts stays.
            const Source* first = nullptr;
            const Source* second = nullptr;
            int firstCount = 0, secondCount = 0;
            for (const auto& [src, n] : count) {
                if (n > firstCount) {
                    first = &src;
                    firstCount = n;
                }
            }
            for (const auto& [src, n] : count) {
                if (!(src == *first) && n > secondCount) {
                    second = &src;
                    secondCount = n;
                }
            }
            const std::vector<int> a = colourOf(*first, home);
            const std::vector<int> b = second ? colourOf(*second, home) : a;
            const int wb = 16 - firstCount, wa = firstCount;
            if (in.alpha) {
                // Colours weighted by alpha, as the tile means are (the
                // header does not say how alpha blends; the module does this).
                const int den = wa * a[3] + wb * b[3];
                for (int c = 0; c < 3; ++c) {
                    const int num = wa * a[3] * a[c] + wb * b[3] * b[c];
                    out.at(c, col, row) = static_cast<uint8_t>(den == 0 ? 0 : (num + den / 2) / den);
                }
                out.at(3, col, row) = static_cast<uint8_t>((den + 8) / 16);
            } else {
                for (int c = 0; c < out.planes(); ++c)
                    out.at(c, col, row) = static_cast<uint8_t>((wa * a[c] + wb * b[c] + 8) / 16);
            }
        }
    }
    return out;
}

}  // namespace ref
