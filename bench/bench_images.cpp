#include "bench_images.h"

#include <cstddef>

namespace bench {

namespace {

// Small deterministic generator for texture and noise.
uint32_t Hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

int Clamp(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Smooth value noise on a grid of `cell` pixels, 0 .. 255.
int ValueNoise(int x, int y, int cell, uint32_t seed) {
    const int gx = x / cell, gy = y / cell;
    const int fx = x % cell, fy = y % cell;
    auto at = [&](int i, int j) {
        return static_cast<int>(
            Hash(seed ^ Hash(static_cast<uint32_t>(i) * 73856093u ^ static_cast<uint32_t>(j) * 19349663u)) &
            255u);
    };
    const int top = at(gx, gy) * (cell - fx) + at(gx + 1, gy) * fx;
    const int bottom = at(gx, gy + 1) * (cell - fx) + at(gx + 1, gy + 1) * fx;
    return (top * (cell - fy) + bottom * fy) / (cell * cell);
}

}  // namespace

Planes MakePhoto(int width, int height, int lineBytes) {
    Planes p;
    p.width = width;
    p.height = height;
    p.lineBytes = lineBytes;
    for (auto& plane : p.plane) plane.assign(static_cast<size_t>(lineBytes) * height, 0);
    const int horizon = height * 11 / 20;
    const int sunX = width * 7 / 10, sunY = height / 4, sunR = height / 12 + 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int r, g, b;
            const int hill = horizon + (ValueNoise(x, 0, width / 6 + 1, 11u) - 128) * height / 1400;
            if (y < hill) {
                // Sky: blue fading to pale near the horizon, with soft clouds.
                const int t = y * 255 / (hill + 1);
                const int cloud = ValueNoise(x, y, height / 10 + 2, 5u);
                const int c = cloud > 150 ? (cloud - 150) * 2 : 0;
                r = 70 + t / 2 + c;
                g = 120 + t / 3 + c;
                b = 200 + t / 8 + c / 2;
                const int dx = x - sunX, dy = y - sunY;
                if (dx * dx + dy * dy < sunR * sunR) {
                    r = 255;
                    g = 240;
                    b = 180;
                }
            } else {
                // Fields: green and brown texture at two scales.
                const int coarse = ValueNoise(x, y, 24, 7u);
                const int fine = ValueNoise(x, y, 4, 9u);
                r = 60 + coarse / 3 + fine / 6;
                g = 90 + coarse / 4 + fine / 5;
                b = 40 + fine / 8;
            }
            // Buildings: hard edges, windows.
            const int block = x / (width / 16 + 1);
            const int top =
                horizon - 10 - static_cast<int>(Hash(static_cast<uint32_t>(block)) % (height / 5 + 1));
            if ((block % 3) == 1 && y >= top && y < horizon + height / 20) {
                const bool window = ((x / 5) % 3 == 1) && ((y / 7) % 2 == 1);
                r = window ? 230 : 90;
                g = window ? 210 : 85;
                b = window ? 120 : 95;
            }
            const int noise = static_cast<int>(Hash(static_cast<uint32_t>(y * 65537 + x)) % 9u) - 4;
            const size_t at = static_cast<size_t>(y) * lineBytes + x;
            p.plane[0][at] = static_cast<uint8_t>(Clamp(r + noise));
            p.plane[1][at] = static_cast<uint8_t>(Clamp(g + noise));
            p.plane[2][at] = static_cast<uint8_t>(Clamp(b + noise));
        }
    }
    return p;
}

}  // namespace bench
