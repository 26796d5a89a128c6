// polar_terms.cpp - tile sizes from sectors and ring thickness.
#include "polar_terms.h"

#include <algorithm>
#include <cmath>

namespace polarmosaic {

int SectorTileWidth(int width, int sectors) {
  double ideal = static_cast<double>(width - 1) / sectors;
  int nearest = static_cast<int>(std::lround(ideal));
  if (nearest < 1) nearest = 1;
  if (width % nearest == 0) return nearest;
  int best = 0;
  int lo = std::max(1, static_cast<int>(std::floor(ideal * 0.85)));
  int hi = static_cast<int>(std::ceil(ideal * 1.15));
  for (int t = lo; t <= hi; ++t) {
    if (width % t == 0 &&
        (best == 0 || std::fabs(t - ideal) < std::fabs(best - ideal))) {
      best = t;
    }
  }
  return best ? best : nearest;
}

int RingTileHeight(double ring) {
  long h = std::lround(ring / kRadiusPerRow);
  return static_cast<int>(h < 1 ? 1 : h);
}

int FittedRingWidth(double ring) {
  long width = std::lround(ring);
  return static_cast<int>(width < 1 ? 1 : width);
}

}  // namespace polarmosaic
