#include "support/fitted_reference.h"

#include <cmath>
#include <map>
#include <utility>

#include "floathelpers_internal.h"
#include "support/reference.h"

namespace ref {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
constexpr int kMaxCols = 32752;

// Counter-clockwise angle of (dx, dy) (dy upwards) from the +x direction:
// the arctangent of the smaller over the larger offset, rounded to single.
double pixelAngle(double dx, double dy) {
    if (dx == 0.0 && dy == 0.0) return 0.0;
    const double ax = std::fabs(dx);
    const double ay = std::fabs(dy);
    double t;
    if (ay <= ax) {
        t = static_cast<double>(
            static_cast<float>(polarmosaic_detail::atanOfFloat(static_cast<float>(ay / ax))));
    } else {
        t = kHalfPi - static_cast<double>(
                          static_cast<float>(polarmosaic_detail::atanOfFloat(static_cast<float>(ax / ay))));
    }
    if (dx >= 0.0 && dy >= 0.0) return t;
    if (dx < 0.0 && dy >= 0.0) return kPi - t;
    if (dx < 0.0) return kPi + t;
    return kTwoPi - t;
}

struct Hit {
    bool on = false;
    int band = 0;
    int side = 0;
};

Hit hitAt(double signedDistance, double halfWidth, int positiveSide) {
    Hit h;
    const double a = std::fabs(signedDistance);
    h.on = -halfWidth <= signedDistance && signedDistance < halfWidth;
    h.band = std::min(static_cast<int>(std::floor(a + 0.5)), static_cast<int>(halfWidth));
    h.side = signedDistance >= 0.0 ? positiveSide : positiveSide + 1;
    return h;
}

}  // namespace

FittedLayout fittedLayout(int width, int height, int sectors, int ringWidth) {
    const double cx = (width - 1) / 2.0;
    const double cy = (height - 1) / 2.0;
    const double halfDiagonal = std::sqrt(cx * cx + cy * cy);
    FittedLayout l;
    l.polarRows = std::max(static_cast<int>(std::floor(halfDiagonal)) + 1, 2);
    int perSector = static_cast<int>(std::ceil(kTwoPi * halfDiagonal / sectors));
    perSector = std::min(perSector, kMaxCols / sectors);
    l.sectorCols = std::max(perSector, 1);
    l.polarCols = l.sectorCols * sectors;
    l.rings = (l.polarRows + ringWidth - 1) / ringWidth;
    return l;
}

Picture fittedMosaic(const Picture& in, const FittedOptions& o) {
    const int W = in.width, H = in.height;
    const FittedLayout l = fittedLayout(W, H, o.sectors, o.ringWidth);
    const int P = l.polarRows, A = l.polarCols;
    const double cx = (W - 1) / 2.0, cy = (H - 1) / 2.0;

    // Polar samples: row i at radius i + 1/2, column j at angle
    // (j + 1/2) 2 pi / A; points beyond the picture clamp to its edge.
    std::vector<uint8_t> polar[3];
    for (auto& p : polar) p.assign(static_cast<size_t>(P) * A, 0);
    for (int i = 0; i < P; ++i) {
        for (int j = 0; j < A; ++j) {
            const float angle = static_cast<float>((j + 0.5) * (kTwoPi / A));
            double sine, cosine;
            polarmosaic_detail::sinCosOfFloat(angle, &sine, &cosine);
            const double radius = i + 0.5;
            double sx = cx + radius * cosine;
            double sy = cy - radius * sine;
            sx = std::min(std::max(sx, 0.0), static_cast<double>(W - 1));
            sy = std::min(std::max(sy, 0.0), static_cast<double>(H - 1));
            const int x0 = static_cast<int>(std::floor(sx));
            const int y0 = static_cast<int>(std::floor(sy));
            const int x1 = std::min(x0 + 1, W - 1);
            const int y1 = std::min(y0 + 1, H - 1);
            const int wx = static_cast<int>(std::floor((sx - x0) * 256.0 + 0.5));
            const int wy = static_cast<int>(std::floor((sy - y0) * 256.0 + 0.5));
            for (int c = 0; c < 3; ++c) {
                const long sum = static_cast<long>(in.at(c, x0, y0)) * (256 - wx) * (256 - wy) +
                                 static_cast<long>(in.at(c, x1, y0)) * wx * (256 - wy) +
                                 static_cast<long>(in.at(c, x0, y1)) * (256 - wx) * wy +
                                 static_cast<long>(in.at(c, x1, y1)) * wx * wy;
                polar[c][static_cast<size_t>(i) * A + j] = static_cast<uint8_t>((sum + 32768) / 65536);
            }
        }
    }

    // Tiles: the disc (rows below ringWidth) and ring k >= 1 by sector.
    auto tileOf = [&](int i, int j) {
        const int ring = i / o.ringWidth;
        return ring == 0 ? std::make_pair(0, 0) : std::make_pair(ring, j / l.sectorCols);
    };
    std::map<std::pair<int, int>, uint64_t> sums[3];
    std::map<std::pair<int, int>, uint64_t> counts;
    for (int i = 0; i < P; ++i) {
        for (int j = 0; j < A; ++j) {
            const auto t = tileOf(i, j);
            ++counts[t];
            for (int c = 0; c < 3; ++c) sums[c][t] += polar[c][static_cast<size_t>(i) * A + j];
        }
    }

    // Ramps as the classic border stage builds them.
    const int half = o.borderWidth / 2;
    std::vector<uint8_t> ramp[12];
    const bool drawn = o.borderWidth > 0 && o.borderMode >= 2 && o.borderMode <= 4;
    if (drawn && o.borderWidth >= 2) {
        bool flat = true;
        float shade[4];
        for (int s = 0; s < 4; ++s) {
            shade[s] = o.shade[s] < 0.0f ? 0.0f : o.shade[s];
            if (!(static_cast<double>(shade[s]) < 0.0001)) flat = false;
        }
        for (int s = 0; s < 4; ++s) {
            for (int c = 0; c < 3; ++c) {
                ramp[3 * s + c].assign(static_cast<size_t>(half + 2), 0);
                if (flat) {
                    for (int k = 0; k <= half; ++k)
                        ramp[3 * s + c][k] = static_cast<uint8_t>(o.borderValue[c]);
                } else {
                    calcCArray(ramp[3 * s + c].data(), static_cast<int16_t>(half + 1),
                               static_cast<int16_t>(o.borderValue[c]), shade[s]);
                }
            }
        }
    }

    Picture out(W, H);
    const double halfWidth = o.borderWidth / 2.0;
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const double dx = x - cx, dy = cy - y;
            const double d = std::sqrt(dx * dx + dy * dy);
            const double theta = pixelAngle(dx, dy);
            const int i = std::min(static_cast<int>(std::floor(d)), P - 1);
            const int j = std::min(static_cast<int>(std::floor(theta * (A / kTwoPi))), A - 1);
            const auto t = tileOf(i, j);
            uint8_t value[3];
            for (int c = 0; c < 3; ++c) value[c] = static_cast<uint8_t>(sums[c][t] / counts[t]);

            Hit ring, spoke;
            if (drawn && o.borderMode != 4 && l.rings >= 2) {
                int k = static_cast<int>(std::floor(d / o.ringWidth + 0.5));
                k = std::min(std::max(k, 1), l.rings - 1);
                ring = hitAt(d - k * static_cast<double>(o.ringWidth), halfWidth, 0);
            }
            if (drawn && o.borderMode != 3 && d >= o.ringWidth) {
                const double u = theta * (o.sectors / kTwoPi);
                int k = static_cast<int>(std::floor(u));
                if (u - k >= 0.5) ++k;
                if (k >= o.sectors) k -= o.sectors;
                double sine, cosine;
                polarmosaic_detail::sinCosOfFloat(static_cast<float>(k * (kTwoPi / o.sectors)), &sine,
                                                  &cosine);
                if (cosine * dx + sine * dy > 0.0) spoke = hitAt(cosine * dy - sine * dx, halfWidth, 2);
            }
            const Hit* hit = nullptr;
            if (ring.on && spoke.on) {
                if (ring.band == 0)
                    hit = &ring;
                else if (spoke.band == 0)
                    hit = &spoke;
                else
                    hit = ring.band <= spoke.band ? &ring : &spoke;
            } else if (ring.on) {
                hit = &ring;
            } else if (spoke.on) {
                hit = &spoke;
            }
            for (int c = 0; c < 3; ++c) {
                if (hit == nullptr) {
                    out.at(c, x, y) = value[c];
                } else if (hit->band == 0) {
                    out.at(c, x, y) = static_cast<uint8_t>(o.borderValue[c]);
                } else {
                    out.at(c, x, y) = ramp[3 * hit->side + c][hit->band];
                }
            }
        }
    }
    return out;
}

}  // namespace ref
