// Fitted geometry: the plan. Lays out the rings and spokes of one picture
// size and set of settings, and walks every row once to cut it into runs of
// one tile or line colour and single pixels that blend two of them.
#include <math.h>
#include <stdint.h>
#include <string.h>

#include "fitted/plan_internal.h"
#include "shared/floathelpers_internal.h"

using namespace polarmosaic_detail;

namespace {

constexpr double kTwoPi = 6.283185307179586;
// A pixel's samples lie within 3/8 sqrt(2) of a pixel (4.243 eighths) of
// its centre: a pixel whose centre lies farther than 4.25 eighths from a
// boundary has all its samples on the same side. As circles compare squared
// distances in eighths, the margin is 17 in 32nds of a pixel; across a
// spoke, 4.25 in cross-product units.
constexpr int64_t kNear32 = 17;
constexpr int64_t kNearCross = kNear32 << 28;  // 4.25 * kDirectionOne
// A looser margin (eighths), where it only decides which tests to make.
constexpr int64_t kMargin8 = 5;

uint64_t alignUp(uint64_t n) { return (n + 15) & ~uint64_t(15); }

uint64_t squareOf(int64_t v) { return static_cast<uint64_t>(v) * static_cast<uint64_t>(v); }

// floor(sqrt(n)), exact: a double estimate, then corrected in integers.
// (Squared distances stay far below 2^62: the signed conversion is the cheap one.)
uint64_t isqrt64(uint64_t n) {
    uint64_t r =
        static_cast<uint64_t>(static_cast<int64_t>(sqrt(static_cast<double>(static_cast<int64_t>(n)))));
    while (r > 0 && r * r > n) --r;
    while ((r + 1) * (r + 1) <= n) ++r;
    return r;
}

int32_t smallestPrimeFactor(int32_t n) {
    for (int32_t p = 2; p * p <= n; ++p) {
        if (n % p == 0) return p;
    }
    return n;
}

// Sectors of ring j >= 1: the member of the divisor chain of `sectors`
// nearest 2 pi (j + 1/2) in ratio, the larger on a tie.
int32_t ringSectors(int32_t sectors, int32_t j) {
    const double target = kTwoPi * (static_cast<double>(j) + 0.5);
    if (target >= static_cast<double>(sectors)) return sectors;
    // Walk down the chain: hi is the smallest member >= target.
    int32_t hi = sectors;
    for (;;) {
        const int32_t lo = hi / smallestPrimeFactor(hi);
        if (static_cast<double>(lo) < target) {
            return static_cast<double>(hi) * static_cast<double>(lo) <= target * target ? hi : lo;
        }
        hi = lo;
    }
}

struct Layout {
    int32_t rings;
    int64_t tiles;
    uint64_t ringsOffset, directionsOffset, rowSlotsOffset, rowGroupsOffset, tilePixelsOffset, headBytes;
};

int64_t ringsReached(const PolarPlanSettings& s) {
    const int64_t cx = 4 * static_cast<int64_t>(s.centreX2);
    const int64_t cy = 4 * static_cast<int64_t>(s.centreY2);
    const int64_t farX = (cx > 8 * int64_t(s.width - 1) - cx ? cx : 8 * int64_t(s.width - 1) - cx) + 4;
    const int64_t farY = (cy > 8 * int64_t(s.height - 1) - cy ? cy : 8 * int64_t(s.height - 1) - cy) + 4;
    const uint64_t far = isqrt64(squareOf(farX) + squareOf(farY));
    return static_cast<int64_t>(far / (8 * static_cast<uint64_t>(s.ringWidth))) + 1;
}

bool computeLayout(const PolarPlanSettings& s, Layout* out) {
    Layout l;
    const int64_t rings = ringsReached(s);
    int64_t tiles = 1;
    for (int64_t j = 1; j < rings && tiles <= kMaxPlanTiles; ++j) tiles += ringSectors(s.sectors, int32_t(j));
    if (tiles > kMaxPlanTiles) return false;
    l.rings = static_cast<int32_t>(rings);
    l.tiles = tiles;
    uint64_t at = alignUp(sizeof(PlanHead));
    l.ringsOffset = at;
    at = alignUp(at + sizeof(PlanRing) * static_cast<uint64_t>(rings + 1));
    l.directionsOffset = at;
    at = alignUp(at + sizeof(PlanDirection) * static_cast<uint64_t>(s.sectors + 1));
    l.rowSlotsOffset = at;
    at = alignUp(at + sizeof(uint64_t) * static_cast<uint64_t>(s.height + 1));
    l.rowGroupsOffset = at;
    at = alignUp(at + sizeof(uint64_t) * static_cast<uint64_t>(s.height + 1));
    l.tilePixelsOffset = at;
    at = alignUp(at + sizeof(uint32_t) * static_cast<uint64_t>(tiles));
    l.headBytes = at;
    *out = l;
    return true;
}

bool linesDrawn(const PolarPlanSettings& s) {
    return s.borderWidth > 0 && s.borderMode >= POLARMOSAIC_BORDER_GRID &&
           s.borderMode <= POLARMOSAIC_BORDER_SPOKES;
}

// ---------------------------------------------------------------------------
// Where a point lies.

struct RingTable;

struct Geometry {
    const PlanHead* head;
    const PlanRing* rings;
    const PlanDirection* u;
    int32_t sectors;
    int32_t lastRing;
    int64_t ring8;      // ring width in eighths
    int64_t halfLine8;  // half the line width in eighths
    int64_t halfCross;  // the same in cross-product units
    bool ringLines, spokeLines, hard;
    int32_t lastBand;
    RingTable* table;  // null: no table
};

inline int64_t cross(const PlanDirection& u, int64_t x, int64_t y) { return u.x * y - u.y * x; }
inline int64_t dot(const PlanDirection& u, int64_t x, int64_t y) { return u.x * x + u.y * y; }

bool inSector(const Geometry& g, int32_t k, int64_t x, int64_t y) {
    const int32_t next = k + 1 == g.sectors ? 0 : k + 1;
    return cross(g.u[k], x, y) >= 0 && cross(g.u[next], x, y) < 0;
}

int32_t sectorOf(const Geometry& g, int64_t x, int64_t y, int32_t guess) {
    if (g.sectors == 1) return 0;
    if (g.sectors == 2) {
        const int64_t c = cross(g.u[0], x, y);
        return c > 0 || (c == 0 && dot(g.u[0], x, y) > 0) ? 0 : 1;
    }
    int32_t k = guess;
    for (int32_t i = 0; i <= g.sectors; ++i) {
        if (inSector(g, k, x, y)) return k;
        if (cross(g.u[k], x, y) < 0)
            k = k == 0 ? g.sectors - 1 : k - 1;
        else
            k = k + 1 == g.sectors ? 0 : k + 1;
    }
    return k;  // not reached: the sectors cover the plane
}

enum LineKind { kNoLine, kRingLine, kSpokeLine };

// A ring's squared radii: those that bound it and its lines, and those near
// which samples of one pixel may differ.
struct RingBounds {
    uint64_t ringLo, ringHi;    // [ringLo, ringHi): this ring
    uint64_t innerLo, innerHi;  // ring line `ring` (innerHi 0: none)
    uint64_t outerLo, outerHi;  // ring line `ring + 1`
    uint64_t middle;            // below: ring line `ring` is the nearer
    int32_t nearCount;
    uint64_t nearLo[7], nearHi[7];
};

// The bounds of the inner rings, worked out once in a walk over many rows.
struct RingTable {
    static constexpr int32_t kRings = 64;
    RingBounds bounds[kRings];
    bool known[kRings];
};

// What the last point looked at: its ring with its bounds, and its outer
// sector with its tile and spokes. Points next to each other mostly share
// them, so they are worked out on change.
struct Cache : RingBounds {
    int32_t ring = -1;
    int32_t sector = 0;
    int32_t tileRing = -1, tileSector = -1;
    uint32_t tile = 0;
    int32_t a = 0, b = 0;  // outer numbers of the tile's two spokes
};

// Half-open band [centre - half, centre + half) of distances, as squares.
void lineBand(const Geometry& g, int32_t k, uint64_t* lo, uint64_t* hi) {
    const int64_t centre = g.ring8 * k;
    const int64_t inner = centre - g.halfLine8;
    *lo = inner <= 0 ? 0 : squareOf(inner);
    *hi = squareOf(centre + g.halfLine8);
}

void addNear(int64_t radius8, RingBounds* c) {
    // 16 d2 within [(4 r - 17)^2, (4 r + 17)^2], in whole squared eighths.
    const int64_t lo = 4 * radius8 - kNear32;
    c->nearLo[c->nearCount] = lo <= 0 ? 0 : (squareOf(lo) + 15) / 16;
    c->nearHi[c->nearCount] = squareOf(4 * radius8 + kNear32) / 16;
    ++c->nearCount;
}

void computeRingBounds(const Geometry& g, int32_t j, RingBounds* c) {
    c->ringLo = j == 0 ? 0 : squareOf(g.ring8 * j);
    c->ringHi = j >= g.lastRing ? UINT64_MAX : squareOf(g.ring8 * (j + 1));
    c->innerLo = c->innerHi = 0;
    if (j >= 1) lineBand(g, j, &c->innerLo, &c->innerHi);
    lineBand(g, j + 1, &c->outerLo, &c->outerHi);
    c->middle = squareOf(g.ring8 * j + g.ring8 / 2);
    // The circles near which a pixel's samples may differ: the ring's own
    // bounds (unless a ring line wider than the margin hides them), the edges
    // of its lines, and where two wide lines meet.
    const int64_t r = g.ring8;
    c->nearCount = 0;
    if (!(g.ringLines && g.halfLine8 > kMargin8)) {
        addNear(r * (j + 1), c);
        if (j >= 1) addNear(r * j, c);
    }
    if (g.ringLines) {
        for (int32_t k = j < 1 ? 1 : j; k <= j + 1; ++k) {
            addNear(r * k - g.halfLine8, c);
            addNear(r * k + g.halfLine8, c);
        }
        if (j >= 1 && 2 * (g.halfLine8 + kMargin8) >= r) addNear(r * j + r / 2, c);
    }
}

void setRing(const Geometry& g, int32_t j, Cache* c) {
    c->ring = j;
    if (g.table != nullptr && j < RingTable::kRings) {
        if (!g.table->known[j]) {
            computeRingBounds(g, j, &g.table->bounds[j]);
            g.table->known[j] = true;
        }
        static_cast<RingBounds&>(*c) = g.table->bounds[j];
        return;
    }
    computeRingBounds(g, j, c);
}

inline void findRing(const Geometry& g, uint64_t d2, Cache* c) {
    if (c->ring < 0) setRing(g, 0, c);
    while (d2 < c->ringLo) setRing(g, c->ring - 1, c);
    while (d2 >= c->ringHi) setRing(g, c->ring + 1, c);
}

inline void findTile(const Geometry& g, Cache* c) {
    if (c->tileRing == c->ring && c->tileSector == c->sector) return;
    c->tileRing = c->ring;
    c->tileSector = c->sector;
    if (c->ring == 0) {
        c->tile = 0;
        c->a = c->b = 0;
        return;
    }
    const PlanRing& ring = g.rings[c->ring];
    const int32_t q = c->sector / ring.step;
    c->tile = static_cast<uint32_t>(ring.tileBase + q);
    c->a = q * ring.step;
    c->b = c->a + ring.step == g.sectors ? 0 : c->a + ring.step;
}

struct Place {
    int32_t ring;
    uint32_t tile;
    int32_t kind;
    int32_t line;    // ring line k, or outer spoke k
    int64_t ca, cb;  // cross products with the tile's spokes (spoke lines drawn)
};

inline bool onSpokeLine(const Geometry& g, int32_t k, int64_t x, int64_t y, int64_t* c) {
    *c = cross(g.u[k], x, y);
    return *c >= -g.halfCross && *c < g.halfCross && dot(g.u[k], x, y) > 0;
}

inline int64_t magnitude(int64_t v) { return v < 0 ? -v : v; }

inline Place locate(const Geometry& g, int64_t x, int64_t y, uint64_t d2, Cache* c) {
    findRing(g, d2, c);
    // A point in the last tile of the same ring keeps it. Its own sector
    // among the tile's is then not worked out: the sector is only needed
    // for another ring, and then looked for from there.
    if (c->ring >= 1 && !(c->tileRing == c->ring && g.rings[c->ring].sectors >= 3 &&
                          cross(g.u[c->a], x, y) >= 0 && cross(g.u[c->b], x, y) < 0))
        c->sector = sectorOf(g, x, y, c->sector);
    findTile(g, c);
    Place p;
    p.ring = c->ring;
    p.tile = c->tile;
    p.kind = kNoLine;
    p.line = 0;
    p.ca = p.cb = 0;
    if (g.ringLines) {
        const bool inner = d2 >= c->innerLo && d2 < c->innerHi;
        const bool outer = d2 >= c->outerLo && d2 < c->outerHi;
        if (inner || outer) {
            p.kind = kRingLine;
            p.line = inner && (!outer || d2 < c->middle) ? p.ring : p.ring + 1;
            return p;
        }
    }
    if (g.spokeLines && p.ring >= 1) {
        const bool onA = onSpokeLine(g, c->a, x, y, &p.ca);
        const bool onB = c->b != c->a && onSpokeLine(g, c->b, x, y, &p.cb);
        if (c->b == c->a) p.cb = p.ca;
        if (onA || onB) {
            p.kind = kSpokeLine;
            p.line = onA && (!onB || magnitude(p.ca) <= magnitude(p.cb)) ? c->a : c->b;
        }
    }
    return p;
}

// A line's source from its ramp entry and side; entry 0 is the border
// colour, whatever the side.
inline uint32_t lineSourceOf(int64_t band, uint32_t side) {
    return kLineSource | static_cast<uint32_t>(band) << 2 | (band == 0 ? 0u : side);
}

// The ramp entry round(|d|) of ring line `centre` (eighths) for a pixel
// whose centre lies at squared distance d2 on the `outer` side, moved from
// `band`, an entry on that side. With root = floor(sqrt(d2)) the entry is
// (root - c + 4) / 8 outside the circle and (c + 3 - root) / 8 inside it
// (c + 4 - root when d2 is a square). So it is at least k when
// d2 >= (c + 8k - 4)^2 outside, and when d2 <= (c + 4 - 8k)^2 inside:
// comparisons of squares instead of a root.
inline int64_t ringEntry(const Geometry& g, int64_t centre, uint64_t d2, bool outer, int64_t band) {
    if (outer) {
        while (band < g.lastBand && d2 >= squareOf(centre + 8 * band + 4)) ++band;
        while (band > 0 && d2 < squareOf(centre + 8 * band - 4)) --band;
    } else {
        while (band < g.lastBand) {
            const int64_t bound = centre - 4 - 8 * band;
            if (bound < 0 || d2 > squareOf(bound)) break;
            ++band;
        }
        while (band > 0 && d2 > squareOf(centre + 4 - 8 * band)) --band;
    }
    return band;
}

// The ramp entry and side across a spoke line, c the cross product of the
// pixel's centre with the spoke.
inline uint32_t spokeSource(const Geometry& g, int64_t c) {
    int64_t band = (magnitude(c) + (kDirectionOne << 2)) / (kDirectionOne << 3);
    if (band > g.lastBand) band = g.lastBand;
    return lineSourceOf(band, c >= 0 ? POLARMOSAIC_SIDE_CCW : POLARMOSAIC_SIDE_CW);
}

// Source of a line for a pixel whose centre lies at (x, y).
uint32_t lineSource(const Geometry& g, int32_t kind, int32_t line, int64_t x, int64_t y, uint64_t d2) {
    if (kind != kRingLine) return spokeSource(g, cross(g.u[line], x, y));
    const int64_t centre = g.ring8 * line;
    const bool outer = d2 >= squareOf(centre);
    return lineSourceOf(ringEntry(g, centre, d2, outer, 0),
                        outer ? POLARMOSAIC_SIDE_OUTER : POLARMOSAIC_SIDE_INNER);
}

inline bool nearValue(int64_t v, int64_t at, int64_t margin) { return v >= at - margin && v <= at + margin; }

// True when some sample of the pixel centred at (x, y) may fall elsewhere
// than the centre: near a tile boundary, a line edge or the switch between
// two lines. Conservative: a false true only costs the samples.
bool nearBoundary(const Geometry& g, const Place& c, const Cache& cache, int64_t x, int64_t y, uint64_t d2) {
    for (int32_t i = 0; i < cache.nearCount; ++i) {
        if (d2 >= cache.nearLo[i] && d2 <= cache.nearHi[i]) return true;
    }
    if (c.ring == 0) return false;
    const int64_t margin = kNearCross;
    // A ring line ends every spoke test: the pixel is away from the ring
    // lines' edges, so all its samples lie on that ring line.
    if (c.kind == kRingLine) return false;
    int64_t ca = c.ca, cb = c.cb;
    if (!g.spokeLines) {
        ca = cross(g.u[cache.a], x, y);
        cb = cross(g.u[cache.b], x, y);
    }
    // A spoke line wider than the margin hides the tile boundary at its centre.
    const bool spokesHidden = g.spokeLines && g.halfCross > margin;
    if (!spokesHidden && g.rings[c.ring].sectors >= 2 &&
        (nearValue(ca, 0, margin) || nearValue(cb, 0, margin)))
        return true;
    if (g.spokeLines) {
        if (nearValue(ca, g.halfCross, margin) || nearValue(ca, -g.halfCross, margin) ||
            nearValue(cb, g.halfCross, margin) || nearValue(cb, -g.halfCross, margin))
            return true;
        // Two spoke lines can only meet where both are near.
        const int64_t reach = g.halfCross + margin;
        if (magnitude(ca) <= reach && magnitude(cb) <= reach &&
            nearValue(magnitude(ca) - magnitude(cb), 0, 2 * margin))
            return true;
        // Near the centre the side of the centre along a spoke can change.
        const int64_t close = g.halfLine8 + 4 * kMargin8;
        if (d2 <= 2 * squareOf(close)) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Rows.

struct Segmenter {
    // Filled when writing, null when measuring. With `backwards`, the
    // groups go down from just below `groups`, the last first.
    PlanSlot* slots;
    PlanGroup* groups;
    uint64_t slotRoom, groupRoom;
    uint64_t slotCount, groupCount;
    bool overflow, backwards;
    PlanSegment current;
    bool open, run;
    // The open group (once groupCount > 0): written when it closes.
    uint32_t groupTile, groupPixels;

    void put(uint32_t head, uint32_t tail) {
        if (slots != nullptr) {
            if (slotCount < slotRoom)
                slots[slotCount] = {head, tail};
            else
                overflow = true;
        }
        ++slotCount;
    }
    void closeGroup() {
        if (groups == nullptr) return;
        if (groupCount <= groupRoom)
            (backwards ? *(groups - groupCount) : groups[groupCount - 1]) = {groupTile, groupPixels};
        else
            overflow = true;
    }
    void emit() {
        if (!open) return;
        if (groupCount == 0 || groupTile != current.tile) {
            if (groupCount != 0) closeGroup();
            groupTile = current.tile;
            groupPixels = 0;
            ++groupCount;
        }
        groupPixels += current.length;
        if (!run) {
            put(kBlendSlot | current.tile, current.weight);
            put(current.a, current.b);
        } else if (current.a & kLineSource) {
            put(kLineRunSlot | current.tile, current.length | (current.a & 0xffffu) << 16);
        } else {
            put(current.tile, current.length);
        }
        open = false;
    }
    void pure(uint32_t tile, uint32_t source) {
        if (open && run && current.tile == tile && current.a == source && current.length < 0xffff) {
            ++current.length;
            return;
        }
        emit();
        current = {tile, source, source, 1, 0};
        open = true;
        run = true;
    }
    // Count more pixels of the open run's tile and source: the same slots as
    // count calls of pure.
    void extend(int32_t count) {
        while (count > 0) {
            if (current.length == 0xffff) {
                emit();
                current.length = 0;
                open = true;
            }
            const int32_t room = 0xffff - static_cast<int32_t>(current.length);
            const int32_t take = count < room ? count : room;
            current.length += static_cast<uint32_t>(take);
            count -= take;
        }
    }
    void mixed(uint32_t tile, uint32_t a, uint32_t b, uint32_t weight) {
        emit();
        current = {tile, a, b, 1, weight};
        open = true;
        run = false;
    }
    // The row's last segment and group.
    void finish() {
        emit();
        if (groupCount != 0) closeGroup();
    }
};

// Of the samples' sources, the most frequent (ties to the lower source) as
// a, the most frequent of the rest as b (a when there is none), and the
// weight of b: the samples that are not a.
void pickTwo(const uint32_t* source, const int* count, int kinds, uint32_t* a, uint32_t* b,
             uint32_t* weight) {
    int best = -1;
    for (int k = 0; k < kinds; ++k) {
        if (count[k] == 0) continue;
        if (best < 0 || count[k] > count[best] || (count[k] == count[best] && source[k] < source[best]))
            best = k;
    }
    int second = -1;
    for (int k = 0; k < kinds; ++k) {
        if (k == best || count[k] == 0) continue;
        if (second < 0 || count[k] > count[second] ||
            (count[k] == count[second] && source[k] < source[second]))
            second = k;
    }
    *a = source[best];
    *b = second >= 0 ? source[second] : source[best];
    *weight = static_cast<uint32_t>(16 - count[best]);
}

// Sample kinds when all 16 samples lie in the centre's ring and tile.
enum SampleKind {
    kSampleTile,
    kSampleInnerRing,
    kSampleOuterRing,
    kSampleSpokeA,
    kSampleSpokeB,
    kSampleKinds
};

// A test over the 4 x 4 samples as a 16-bit mask, bit 4 * sy + sx. The
// samples' squared distances and cross products are sums of a column term
// and a row term, so their least and greatest values are the sums of the
// terms' least and greatest: most tests are then the same for all samples.
template <typename T>
struct SampleSums {
    T col[4], row[4];
    T least, most;
    void bound() {
        T colLo = col[0], colHi = col[0], rowLo = row[0], rowHi = row[0];
        for (int i = 1; i < 4; ++i) {
            colLo = col[i] < colLo ? col[i] : colLo;
            colHi = col[i] > colHi ? col[i] : colHi;
            rowLo = row[i] < rowLo ? row[i] : rowLo;
            rowHi = row[i] > rowHi ? row[i] : rowHi;
        }
        least = colLo + rowLo;
        most = colHi + rowHi;
    }
    // Samples whose value is below t.
    uint32_t below(T t) const {
        if (most < t) return 0xffffu;
        if (least >= t) return 0;
        uint32_t mask = 0;
        for (int sy = 0; sy < 4; ++sy) {
            for (int sx = 0; sx < 4; ++sx)
                mask |= static_cast<uint32_t>(col[sx] + row[sy] < t) << (4 * sy + sx);
        }
        return mask;
    }
    uint32_t atLeast(T t) const { return ~below(t) & 0xffffu; }
};

inline int bitCount16(uint32_t m) {
    m = m - ((m >> 1) & 0x5555u);
    m = (m & 0x3333u) + ((m >> 2) & 0x3333u);
    m = (m + (m >> 4)) & 0x0f0fu;
    return static_cast<int>((m + (m >> 8)) & 0x1fu);
}

// Counts the samples of each kind, with the same answers as locate: false
// when a sample leaves the ring or the tile (the caller then locates every
// sample).
bool countNearbySamples(const Geometry& g, const Cache& centre, int64_t x, int64_t y, int* count) {
    SampleSums<uint64_t> d2;
    SampleSums<int64_t> ca = {}, cb = {};
    const PlanDirection ua = g.u[centre.a], ub = g.u[centre.b];
    // A sample's cross products differ from the centre's by less than
    // kNearCross: a centre that clear of both spokes (and their lines) has
    // no sample across a spoke or on a spoke line.
    bool spokes = centre.ring >= 1;
    if (spokes) {
        const int64_t clear = (g.spokeLines ? g.halfCross : 0) + kNearCross;
        spokes = !(cross(ua, x, y) > clear && cross(ub, x, y) < -clear);
    }
    for (int i = 0; i < 4; ++i) {
        const int64_t px = x + (2 * i - 3);
        const int64_t py = y - (2 * i - 3);  // y grows upwards
        d2.col[i] = squareOf(px);
        d2.row[i] = squareOf(py);
        if (spokes) {
            ca.col[i] = -ua.y * px;
            ca.row[i] = ua.x * py;
            cb.col[i] = -ub.y * px;
            cb.row[i] = ub.x * py;
        }
    }
    d2.bound();
    uint32_t leaves = d2.below(centre.ringLo) | d2.atLeast(centre.ringHi);
    if (spokes) {
        ca.bound();
        cb.bound();
        leaves |= ca.below(0) | cb.atLeast(0);
    }
    if (leaves != 0) return false;
    uint32_t ring = 0, inner = 0;
    if (g.ringLines) {
        const uint32_t in = d2.atLeast(centre.innerLo) & d2.below(centre.innerHi);
        const uint32_t out = d2.atLeast(centre.outerLo) & d2.below(centre.outerHi);
        ring = in | out;
        inner = in & (~out | (out != 0 ? d2.below(centre.middle) : 0u));
    }
    uint32_t spoke = 0, onA = 0;
    if (g.spokeLines && spokes && ring != 0xffffu) {
        uint32_t a = ca.atLeast(-g.halfCross) & ca.below(g.halfCross);
        uint32_t b = cb.atLeast(-g.halfCross) & cb.below(g.halfCross);
        // The dot products, only for a spoke line some sample lies on.
        auto inFront = [&](const PlanDirection& u) {
            SampleSums<int64_t> d;
            for (int i = 0; i < 4; ++i) {
                d.col[i] = u.x * (x + (2 * i - 3));
                d.row[i] = u.y * (y - (2 * i - 3));
            }
            d.bound();
            return d.atLeast(1);
        };
        if (a != 0) a &= inFront(ua);
        if (b != 0) b &= inFront(ub);
        spoke = ~ring & (a | b) & 0xffffu;
        uint32_t aNearer = ~b;
        if ((a & b) != 0) {
            for (int sy = 0; sy < 4; ++sy) {
                for (int sx = 0; sx < 4; ++sx) {
                    const int64_t va = ca.col[sx] + ca.row[sy], vb = cb.col[sx] + cb.row[sy];
                    aNearer |= static_cast<uint32_t>(magnitude(va) <= magnitude(vb)) << (4 * sy + sx);
                }
            }
        }
        onA = spoke & a & aNearer;
    }
    const int ringCount = bitCount16(ring), innerCount = bitCount16(inner);
    const int spokeCount = bitCount16(spoke), aCount = bitCount16(onA);
    count[kSampleTile] = 16 - ringCount - spokeCount;
    count[kSampleInnerRing] = innerCount;
    count[kSampleOuterRing] = ringCount - innerCount;
    count[kSampleSpokeA] = aCount;
    count[kSampleSpokeB] = spokeCount - aCount;
    return true;
}

void blendSamples(const Geometry& g, const Cache& centre, int64_t x, int64_t y, uint64_t d2, uint32_t* a,
                  uint32_t* b, uint32_t* weight) {
    if (centre.ring == 0 || g.rings[centre.ring].sectors >= 3) {
        int count[kSampleKinds];
        if (countNearbySamples(g, centre, x, y, count)) {
            uint32_t source[kSampleKinds];
            source[kSampleTile] = centre.tile;
            // Every sample on one line takes the line's shade at the centre.
            const int32_t line[kSampleKinds] = {0, centre.ring, centre.ring + 1, centre.a, centre.b};
            for (int k = kSampleInnerRing; k < kSampleKinds; ++k) {
                if (count[k] != 0)
                    source[k] =
                        lineSource(g, k <= kSampleOuterRing ? kRingLine : kSpokeLine, line[k], x, y, d2);
            }
            // Mostly two kinds meet: the more frequent is a (the lower
            // source on a tie), unless they share a source.
            int first = -1, second = -1, kinds = 0;
            for (int k = 0; k < kSampleKinds; ++k) {
                if (count[k] == 0) continue;
                ++kinds;
                second = first < 0 ? second : k;
                first = first < 0 ? k : first;
            }
            if (kinds == 2 && source[first] != source[second]) {
                const bool firstWins = count[first] > count[second] ||
                                       (count[first] == count[second] && source[first] < source[second]);
                const int winner = firstWins ? first : second;
                *a = source[winner];
                *b = source[firstWins ? second : first];
                *weight = static_cast<uint32_t>(16 - count[winner]);
                return;
            }
            // Two kinds can share a source (a line's middle band): merge them.
            for (int k = 1; k < kSampleKinds; ++k) {
                for (int j = 0; j < k && count[k] != 0; ++j) {
                    if (count[j] != 0 && source[j] == source[k]) {
                        count[j] += count[k];
                        count[k] = 0;
                    }
                }
            }
            pickTwo(source, count, kSampleKinds, a, b, weight);
            return;
        }
    }
    uint32_t sources[16];
    int32_t cachedKind = kNoLine, cachedLine = -1;
    uint32_t cachedSource = 0;
    auto sourceOf = [&](const Place& p) {
        if (p.kind == kNoLine) return p.tile;
        if (p.kind != cachedKind || p.line != cachedLine) {
            cachedKind = p.kind;
            cachedLine = p.line;
            cachedSource = lineSource(g, p.kind, p.line, x, y, d2);
        }
        return cachedSource;
    };
    Cache cache = centre;
    for (int sy = 0; sy < 4; ++sy) {
        const int64_t py = y - (2 * sy - 3);  // y grows upwards
        for (int sx = 0; sx < 4; ++sx) {
            const int64_t px = x + (2 * sx - 3);
            sources[4 * sy + sx] = sourceOf(locate(g, px, py, squareOf(px) + squareOf(py), &cache));
        }
    }
    uint32_t distinct[16];
    int counts[16];
    int kinds = 0;
    for (int i = 0; i < 16; ++i) {
        int k = 0;
        while (k < kinds && distinct[k] != sources[i]) ++k;
        if (k == kinds) {
            distinct[kinds] = sources[i];
            counts[kinds++] = 0;
        }
        ++counts[k];
    }
    pickTwo(distinct, counts, kinds, a, b, weight);
}

// True when every pixel centre from (xa, y) to (xb, y), xa < xb, lies in
// the cache's ring and tile, on no line and away from every boundary. The
// squared distance is monotone along a row on either side of the centre's
// column, and the cross products are linear, so the two ends tell.
bool spanIsPure(const Geometry& g, const Cache& c, int64_t xa, int64_t xb, int64_t y) {
    if (xa < 0 && xb > 0) return false;
    const uint64_t da = squareOf(xa) + squareOf(y);
    const uint64_t db = squareOf(xb) + squareOf(y);
    const uint64_t lo = da < db ? da : db;
    const uint64_t hi = da < db ? db : da;
    if (lo < c.ringLo || hi >= c.ringHi) return false;
    // [lo, hi] misses the closed interval [from, to].
    auto misses = [&](uint64_t from, uint64_t to) { return hi < from || lo > to; };
    if (g.ringLines) {
        if (c.innerHi > c.innerLo && !misses(c.innerLo, c.innerHi - 1)) return false;
        if (!misses(c.outerLo, c.outerHi - 1)) return false;
    }
    for (int32_t i = 0; i < c.nearCount; ++i) {
        if (!misses(c.nearLo[i], c.nearHi[i])) return false;
    }
    if (c.ring == 0) return true;
    if (g.rings[c.ring].sectors < 3) return false;
    const int64_t margin = kNearCross;
    const int64_t clear = g.spokeLines ? g.halfCross + margin : margin;
    const int64_t ends[2] = {xa, xb};
    for (int64_t x : ends) {
        if (!(cross(g.u[c.a], x, y) > clear && cross(g.u[c.b], x, y) < -clear)) return false;
    }
    if (g.spokeLines) {
        const int64_t close = g.halfLine8 + 4 * kMargin8;
        if (lo <= 2 * squareOf(close)) return false;
    }
    return true;
}

// Where a pure span that starts at (x, y) ends, worked out in doubles from
// the circles and spokes that bound it: the last x (eighths) at which
// spanIsPure should still hold, or x when there is no estimate. Only an
// estimate: the caller checks the span with spanIsPure.
double pureSpanEnd(const Geometry& g, const Cache& c, int64_t x, int64_t y) {
    const double fx = static_cast<double>(x);
    if (c.ring == 0 || g.rings[c.ring].sectors < 3) return fx;
    const uint64_t d2 = squareOf(x) + squareOf(y);
    const double y2 = static_cast<double>(squareOf(y));
    double end = 1e300;
    // Squared distances the span must stay clear of: [lo, hi) each.
    uint64_t lo[12], hi[12];
    int n = 0;
    lo[n] = 0, hi[n++] = c.ringLo;
    lo[n] = c.ringHi, hi[n++] = UINT64_MAX;
    if (g.ringLines) {
        if (c.innerHi > c.innerLo) lo[n] = c.innerLo, hi[n++] = c.innerHi;
        lo[n] = c.outerLo, hi[n++] = c.outerHi;
    }
    for (int32_t i = 0; i < c.nearCount; ++i) lo[n] = c.nearLo[i], hi[n++] = c.nearHi[i] + 1;
    if (g.spokeLines) {
        const int64_t close = g.halfLine8 + 4 * kMargin8;
        lo[n] = 0, hi[n++] = 2 * squareOf(close) + 1;
    }
    if (x >= 0) {
        // Growing distances: stay below the nearest band above.
        uint64_t limit = UINT64_MAX;
        for (int i = 0; i < n; ++i) {
            if (lo[i] > d2 && lo[i] < limit) limit = lo[i];
        }
        if (limit != UINT64_MAX) end = sqrt(static_cast<double>(static_cast<int64_t>(limit)) - y2);
    } else {
        // Shrinking distances, up to the centre's column: stay above the
        // nearest band below.
        uint64_t limit = 0;
        for (int i = 0; i < n; ++i) {
            if (hi[i] <= d2 && hi[i] > limit) limit = hi[i];
        }
        const double left = static_cast<double>(static_cast<int64_t>(limit)) - y2;
        end = left > 0 ? -sqrt(left) : 0.0;
    }
    // cross(u, x', y) = u.x y - u.y x', linear in x'.
    const double margin = static_cast<double>(kNearCross);
    const double clear = g.spokeLines ? static_cast<double>(g.halfCross) + margin : margin;
    const PlanDirection ua = g.u[c.a], ub = g.u[c.b];
    const double fy = static_cast<double>(y);
    if (ua.y > 0) {
        const double at = (static_cast<double>(ua.x) * fy - clear) / static_cast<double>(ua.y);
        end = at < end ? at : end;
    }
    if (ub.y < 0) {
        const double at = (static_cast<double>(ub.x) * fy + clear) / static_cast<double>(ub.y);
        end = at < end ? at : end;
    }
    return end;
}

// Narrows [*lo, *hi), which holds d2, to keep out the distances [from, to).
inline void keepOut(uint64_t d2, uint64_t from, uint64_t to, uint64_t* lo, uint64_t* hi) {
    if (from >= to) return;
    if (to <= d2) {
        *lo = to > *lo ? to : *lo;
    } else if (from > d2) {
        *hi = from < *hi ? from : *hi;
    } else {
        *hi = 0;  // d2 itself is kept out: no interval
    }
}

// The squared distances around d2 in the cache's ring clear of every near
// circle (with smooth edges): [*lo, *hi).
void clearInterval(const Geometry& g, const Cache& c, uint64_t d2, uint64_t* lo, uint64_t* hi) {
    *lo = c.ringLo;
    *hi = c.ringHi;
    if (g.hard) return;
    for (int32_t i = 0; i < c.nearCount; ++i) keepOut(d2, c.nearLo[i], c.nearHi[i] + 1, lo, hi);
}

// The same on ring line `line`, where locate gives that line: conservative
// where two lines overlap, as the interval then ends at the other line.
void ringLineInterval(const Geometry& g, const Cache& c, int32_t line, uint64_t d2, uint64_t* lo,
                      uint64_t* hi) {
    clearInterval(g, c, d2, lo, hi);
    const bool inner = line == c.ring;
    if (!(d2 >= (inner ? c.innerLo : c.outerLo) && d2 < (inner ? c.innerHi : c.outerHi))) *hi = 0;
    keepOut(d2, 0, inner ? c.innerLo : c.outerLo, lo, hi);
    keepOut(d2, inner ? c.innerHi : c.outerHi, UINT64_MAX, lo, hi);
    if (inner)
        keepOut(d2, c.outerLo, c.outerHi, lo, hi);
    else
        keepOut(d2, c.innerLo, c.innerHi, lo, hi);
}

// Ring-line pixels after the one at column *col (x, y; d2), for as long as
// they keep its ring, line and tile and stay clear of every near circle:
// there only the ramp entry changes. Leaves *col at the last one written.
void ringLineRun(const Geometry& g, const Cache& c, int32_t line, int32_t width, int64_t x, int64_t y,
                 uint64_t d2, int32_t* col, Segmenter* out) {
    const int32_t sectors = c.ring == 0 ? 1 : g.rings[c.ring].sectors;
    // A tile of two sectors is not the wedge between its spokes: leave it
    // to locate.
    if (sectors == 2) return;
    uint64_t lo, hi;
    ringLineInterval(g, c, line, d2, &lo, &hi);
    const PlanDirection ua = g.u[c.a], ub = g.u[c.b];
    int64_t ca = cross(ua, x, y), cb = cross(ub, x, y);
    // The ramp entry moves from the last pixel's: along a row it changes by
    // little from one pixel to the next.
    const int64_t centre = g.ring8 * line;
    const uint64_t centre2 = squareOf(centre);
    bool outer = d2 >= centre2;
    int64_t band = 0;
    int32_t at = *col;
    while (at + 1 < width) {
        d2 = static_cast<uint64_t>(static_cast<int64_t>(d2) + 16 * x + 64);
        x += 8;
        if (d2 < lo || d2 >= hi) break;
        if (sectors >= 3) {
            ca -= 8 * ua.y;
            cb -= 8 * ub.y;
            if (ca < 0 || cb >= 0) break;
        }
        ++at;
        if ((d2 >= centre2) != outer) outer = !outer, band = 0;
        band = ringEntry(g, centre, d2, outer, band);
        out->pure(c.tile, lineSourceOf(band, outer ? POLARMOSAIC_SIDE_OUTER : POLARMOSAIC_SIDE_INNER));
    }
    *col = at;
}

// Spoke-line pixels after the one at column *col (x, y; d2) on spoke
// `line`, one of its tile's two: for as long as they keep its ring and tile,
// stay off the ring lines, clear of the near circles and the centre, and on
// that spoke line away from its edges while the other spoke and its line
// are out of a sample's reach. Leaves *col at the last one written.
void spokeLineRun(const Geometry& g, const Cache& c, int32_t line, int32_t width, int64_t x, int64_t y,
                  uint64_t d2, int32_t* col, Segmenter* out) {
    if (g.rings[c.ring].sectors < 3) return;
    uint64_t lo, hi;
    clearInterval(g, c, d2, &lo, &hi);
    if (g.ringLines) {
        keepOut(d2, c.innerLo, c.innerHi, &lo, &hi);
        keepOut(d2, c.outerLo, c.outerHi, &lo, &hi);
    }
    // Near the centre the side of the centre along a spoke can change.
    if (!g.hard) keepOut(d2, 0, 2 * squareOf(g.halfLine8 + 4 * kMargin8) + 1, &lo, &hi);
    const PlanDirection ua = g.u[c.a], ub = g.u[c.b];
    const PlanDirection on = g.u[line], off = g.u[line == c.a ? c.b : c.a];
    int64_t ca = cross(ua, x, y), cb = cross(ub, x, y);
    int64_t con = cross(on, x, y), coff = cross(off, x, y);
    int64_t along = dot(on, x, y);
    // On the line: [-halfCross, halfCross); with smooth edges, clear of both
    // edges and, unless the line hides it, of the spoke itself.
    const int64_t margin = g.hard ? 0 : kNearCross;
    const int64_t inLo = -g.halfCross + (g.hard ? 0 : margin + 1);
    const int64_t inHi = g.halfCross - (g.hard ? 1 : margin + 1);
    const int64_t hiddenSpoke = !g.hard && g.halfCross <= margin ? margin : -1;
    // The other spoke's line, and where samples could reach it, are farther.
    const int64_t offClear = g.halfCross + margin;
    int32_t at = *col;
    while (at + 1 < width) {
        d2 = static_cast<uint64_t>(static_cast<int64_t>(d2) + 16 * x + 64);
        x += 8;
        ca -= 8 * ua.y;
        cb -= 8 * ub.y;
        con -= 8 * on.y;
        coff -= 8 * off.y;
        along += 8 * on.x;
        if (d2 < lo || d2 >= hi || ca < 0 || cb >= 0) break;
        if (con < inLo || con > inHi || magnitude(con) <= hiddenSpoke || along <= 0) break;
        if (magnitude(coff) <= offClear) break;
        ++at;
        out->pure(c.tile, spokeSource(g, con));
    }
    *col = at;
}

void walkRow(const Geometry& g, int32_t row, int32_t* sectorHint, Segmenter* out) {
    const PolarPlanSettings& s = g.head->settings;
    const int64_t y = 4 * int64_t(s.centreY2) - 8 * int64_t(row);
    const int64_t x0 = -4 * int64_t(s.centreX2);
    Cache cache;
    cache.sector = *sectorHint;
    // Pixels skipped at once inside a tile, grown while it works.
    int32_t step = 16;
    int32_t endRing = -1;
    uint32_t endTile = 0;
    bool endLeft = false;
    double end = 0.0;
    for (int32_t col = 0; col < s.width; ++col) {
        const int64_t x = x0 + 8 * int64_t(col);
        const uint64_t d2 = squareOf(x) + squareOf(y);
        const Place c = locate(g, x, y, d2, &cache);
        if (col == 0) *sectorHint = cache.sector;
        if (!g.hard && nearBoundary(g, c, cache, x, y, d2)) {
            uint32_t a = 0, b = 0, weight = 0;
            if (out->slots != nullptr) blendSamples(g, cache, x, y, d2, &a, &b, &weight);
            out->mixed(c.tile, a, b, weight);
            continue;
        }
        if (c.kind != kNoLine) {
            out->pure(c.tile, lineSource(g, c.kind, c.line, x, y, d2));
            if (c.kind == kRingLine)
                ringLineRun(g, cache, c.line, s.width, x, y, d2, &col, out);
            else
                spokeLineRun(g, cache, c.line, s.width, x, y, d2, &col, out);
            continue;
        }
        out->pure(c.tile, c.tile);
        // Inside a tile, whole spans at once: first as far as the estimate
        // of where the span ends, checked; failing that, by halving steps.
        // The estimate holds for the whole tile on this side of the centre.
        if (endRing != cache.ring || endTile != cache.tile || endLeft != (x < 0)) {
            endRing = cache.ring;
            endTile = cache.tile;
            endLeft = x < 0;
            end = pureSpanEnd(g, cache, x, y);
        }
        if (end > static_cast<double>(x)) {
            // Positive: truncation is the floor.
            const double columns = (end - static_cast<double>(x)) / 8.0 - 1.0;
            const int32_t room = s.width - 1 - col;
            const int32_t ahead = columns < static_cast<double>(room) ? static_cast<int32_t>(columns) : room;
            if (ahead <= 0) continue;
            if (spanIsPure(g, cache, x, x + 8 * int64_t(ahead), y)) {
                out->extend(ahead);
                col += ahead;
                continue;
            }
        }
        for (;;) {
            const int32_t last = col + step < s.width - 1 ? col + step : s.width - 1;
            if (last > col && spanIsPure(g, cache, x0 + 8 * int64_t(col), x0 + 8 * int64_t(last), y)) {
                out->extend(last - col);
                col = last;
                if (step < 256) step *= 2;
            } else if (step > 2) {
                step /= 2;
            } else {
                step = 16;
                break;
            }
        }
    }
    out->finish();
}

Geometry geometryOf(const PlanHead* head) {
    Geometry g;
    g.head = head;
    g.rings = planArray<PlanRing>(head, head->ringsOffset);
    g.u = planArray<PlanDirection>(head, head->directionsOffset);
    g.sectors = head->settings.sectors;
    g.lastRing = head->rings - 1;
    g.ring8 = 8 * int64_t(head->settings.ringWidth);
    g.halfLine8 = head->halfLine8;
    g.halfCross = int64_t(head->halfLine8) * kDirectionOne;
    g.ringLines = head->ringLines != 0;
    g.spokeLines = head->spokeLines != 0;
    g.hard = head->settings.hardEdges != 0;
    g.lastBand = head->lastBand;
    g.table = nullptr;
    return g;
}

// The geometry with a ring table of its own, for one walk over many rows.
Geometry withTable(Geometry g, RingTable* table) {
    memset(table->known, 0, sizeof(table->known));
    g.table = table;
    return g;
}

struct RowJobs {
    const PlanHead* head;
    void* plan;  // null when measuring
    Geometry geometry;
    int32_t jobs;
    int failed;
};

void measureJob(void* data, uint32_t index) {
    RowJobs* jobs = static_cast<RowJobs*>(data);
    const PlanHead* head = jobs->head;
    uint64_t* rowSlots = planArray<uint64_t>(const_cast<PlanHead*>(head), head->rowSlotsOffset);
    uint64_t* rowGroups = planArray<uint64_t>(const_cast<PlanHead*>(head), head->rowGroupsOffset);
    const int32_t first = static_cast<int32_t>(index) * kPlanRowsPerJob;
    const int32_t end = planJobEnd(head->settings.height, index);
    RingTable table;
    const Geometry geometry = withTable(jobs->geometry, &table);
    int32_t hint = 0;
    for (int32_t row = first; row < end; ++row) {
        Segmenter s = {};
        walkRow(geometry, row, &hint, &s);
        rowSlots[row + 1] = s.slotCount;
        rowGroups[row + 1] = s.groupCount;
    }
}

void buildJob(void* data, uint32_t index) {
    RowJobs* jobs = static_cast<RowJobs*>(data);
    const PlanHead* head = jobs->head;
    const uint64_t* rowSlots = planArray<uint64_t>(head, head->rowSlotsOffset);
    const uint64_t* rowGroups = planArray<uint64_t>(head, head->rowGroupsOffset);
    PlanSlot* slots = planArray<PlanSlot>(jobs->plan, head->slotsOffset);
    PlanGroup* groups = planArray<PlanGroup>(jobs->plan, head->groupsOffset);
    const int32_t first = static_cast<int32_t>(index) * kPlanRowsPerJob;
    const int32_t end = planJobEnd(head->settings.height, index);
    RingTable table;
    const Geometry geometry = withTable(jobs->geometry, &table);
    int32_t hint = 0;
    for (int32_t row = first; row < end; ++row) {
        Segmenter s = {};
        s.slots = slots + rowSlots[row];
        s.groups = groups + rowGroups[row];
        s.slotRoom = rowSlots[row + 1] - rowSlots[row];
        s.groupRoom = rowGroups[row + 1] - rowGroups[row];
        walkRow(geometry, row, &hint, &s);
        if (s.overflow || s.slotCount != s.slotRoom || s.groupCount != s.groupRoom) jobs->failed = 1;
    }
}

// The head of a plan: settings, rings and spoke directions; rows unmeasured.
PlanHead* layOutHead(const PolarPlanSettings* s, const Layout& l, void* plan) {
    memset(plan, 0, static_cast<size_t>(l.headBytes));
    PlanHead* head = static_cast<PlanHead*>(plan);
    head->magic = kPlanMagic;
    head->settings = *s;
    head->rings = l.rings;
    head->tiles = static_cast<int32_t>(l.tiles);
    const bool lines = linesDrawn(*s);
    head->halfLine8 = 4 * s->borderWidth;
    head->ringLines = lines && s->borderMode != POLARMOSAIC_BORDER_SPOKES;
    head->spokeLines = lines && s->borderMode != POLARMOSAIC_BORDER_RINGS;
    head->lastBand = s->borderWidth / 2;
    head->ringsOffset = l.ringsOffset;
    head->directionsOffset = l.directionsOffset;
    head->rowSlotsOffset = l.rowSlotsOffset;
    head->rowGroupsOffset = l.rowGroupsOffset;
    head->tilePixelsOffset = l.tilePixelsOffset;
    head->headBytes = l.headBytes;

    PlanRing* rings = planArray<PlanRing>(plan, l.ringsOffset);
    int32_t base = 1;
    rings[0] = {1, s->sectors, 0, 0};
    for (int32_t j = 1; j <= l.rings; ++j) {
        const int32_t n = ringSectors(s->sectors, j);
        rings[j] = {n, s->sectors / n, base, 0};
        base += n;
    }
    PlanDirection* u = planArray<PlanDirection>(plan, l.directionsOffset);
    for (int32_t k = 0; k < s->sectors; ++k) {
        double turn = static_cast<double>(k) / static_cast<double>(s->sectors) +
                      static_cast<double>(s->angle) / 360000.0;
        turn -= floor(turn);
        double sine, cosine;
        sinCosOfFloat(static_cast<float>(turn * kTwoPi), &sine, &cosine);
        u[k].x = llround(cosine * static_cast<double>(kDirectionOne));
        u[k].y = llround(sine * static_cast<double>(kDirectionOne));
    }
    if (s->sectors == 2) {
        u[1].x = -u[0].x;
        u[1].y = -u[0].y;
    }
    u[s->sectors] = u[0];
    return head;
}

// Totals and offsets of a plan whose rows are counted (cumulative rowSlots
// and rowGroups): the plan is then measured.
int finishMeasure(PlanHead* head, size_t* planBytes) {
    const uint64_t* rowSlots = planArray<uint64_t>(head, head->rowSlotsOffset);
    const uint64_t* rowGroups = planArray<uint64_t>(head, head->rowGroupsOffset);
    head->slots = rowSlots[head->settings.height];
    head->groups = rowGroups[head->settings.height];
    if (head->slots > uint64_t(kMaxPlanSlots)) return POLARMOSAIC_PLAN_TOO_LARGE;
    head->slotsOffset = head->headBytes;
    head->groupsOffset = alignUp(head->slotsOffset + head->slots * sizeof(PlanSlot));
    head->planBytes = alignUp(head->groupsOffset + head->groups * sizeof(PlanGroup));
    if (head->planBytes > SIZE_MAX / 2) return POLARMOSAIC_PLAN_TOO_LARGE;
    head->measured = 1;
    *planBytes = static_cast<size_t>(head->planBytes);
    return POLARMOSAIC_OK;
}

// The pixels of each tile, from the groups of a built plan.
void countTilePixels(void* plan) {
    const PlanHead* head = static_cast<const PlanHead*>(plan);
    uint32_t* tilePixels = planArray<uint32_t>(plan, head->tilePixelsOffset);
    memset(tilePixels, 0, sizeof(uint32_t) * static_cast<size_t>(head->tiles));
    const PlanGroup* groups = planArray<PlanGroup>(plan, head->groupsOffset);
    for (uint64_t i = 0; i < head->groups; ++i) tilePixels[groups[i].tile] += groups[i].pixels;
}

}  // namespace

namespace polarmosaic_detail {

const PlanHead* measuredPlanHead(const void* plan) {
    if (plan == nullptr) return nullptr;
    const PlanHead* head = static_cast<const PlanHead*>(plan);
    if (head->magic != kPlanMagic || head->measured == 0) return nullptr;
    return head;
}

}  // namespace polarmosaic_detail

extern "C" void polarPlanDefaults(PolarPlanSettings* s, int32_t width, int32_t height, int32_t sectors,
                                  int32_t ringWidth, int32_t borderMode, int32_t borderWidth) {
    if (s == nullptr) return;
    memset(s, 0, sizeof(*s));
    s->width = width;
    s->height = height;
    s->centreX2 = width - 1;
    s->centreY2 = height - 1;
    s->sectors = sectors;
    s->ringWidth = ringWidth;
    s->borderMode = borderMode;
    s->borderWidth = borderWidth;
}

extern "C" int checkPolarPlanSettings(const PolarPlanSettings* s) {
    if (s == nullptr) return POLARMOSAIC_NULL_RECORD;
    if (s->width < 1 || s->width > POLARMOSAIC_FITTED_MAX_SIDE || s->height < 1 ||
        s->height > POLARMOSAIC_FITTED_MAX_SIDE)
        return POLARMOSAIC_BAD_SIZE;
    if (s->centreX2 < 0 || s->centreX2 > 2 * (s->width - 1) || s->centreY2 < 0 ||
        s->centreY2 > 2 * (s->height - 1))
        return POLARMOSAIC_BAD_CENTRE;
    if (s->sectors < 1 || s->sectors > POLARMOSAIC_FITTED_MAX_SECTORS || s->ringWidth < 1 ||
        s->ringWidth > 65535)
        return POLARMOSAIC_BAD_TILE_SIZE;
    if (s->borderWidth < 0 || s->borderWidth > POLARMOSAIC_FITTED_MAX_LINE_WIDTH)
        return POLARMOSAIC_BAD_TILE_SIZE;
    Layout l;
    if (!computeLayout(*s, &l) || l.headBytes > SIZE_MAX / 2) return POLARMOSAIC_PLAN_TOO_LARGE;
    return POLARMOSAIC_OK;
}

extern "C" size_t polarPlanHeadBytes(const PolarPlanSettings* s) {
    if (checkPolarPlanSettings(s) != POLARMOSAIC_OK) return 0;
    Layout l;
    computeLayout(*s, &l);
    return static_cast<size_t>(l.headBytes);
}

extern "C" int polarPlanMeasure(const PolarPlanSettings* s, void* plan, size_t headBytes,
                                PolarMosaicRunner runner, void* runnerData, size_t* planBytes) {
    const int status = checkPolarPlanSettings(s);
    if (status != POLARMOSAIC_OK) return status;
    if (plan == nullptr || planBytes == nullptr) return POLARMOSAIC_NULL_RECORD;
    Layout l;
    computeLayout(*s, &l);
    if (headBytes < l.headBytes) return POLARMOSAIC_PLAN_TOO_SMALL;
    PlanHead* head = layOutHead(s, l, plan);
    RowJobs jobs = {head, nullptr, geometryOf(head), static_cast<int32_t>(planJobs(s->height)), 0};
    const int ran = runPlanJobs(runner, runnerData, &jobs, measureJob, static_cast<uint32_t>(jobs.jobs));
    if (ran != POLARMOSAIC_OK) return ran;
    uint64_t* rowSlots = planArray<uint64_t>(plan, l.rowSlotsOffset);
    uint64_t* rowGroups = planArray<uint64_t>(plan, l.rowGroupsOffset);
    rowSlots[0] = 0;
    rowGroups[0] = 0;
    for (int32_t row = 0; row < s->height; ++row) {
        rowSlots[row + 1] += rowSlots[row];
        rowGroups[row + 1] += rowGroups[row];
    }
    return finishMeasure(head, planBytes);
}

extern "C" int polarPlanBuild(void* plan, size_t planBytes, PolarMosaicRunner runner, void* runnerData) {
    const PlanHead* head = measuredPlanHead(plan);
    if (head == nullptr) return POLARMOSAIC_BAD_PLAN;
    if (planBytes < head->planBytes) return POLARMOSAIC_PLAN_TOO_SMALL;
    PlanHead* writable = static_cast<PlanHead*>(plan);
    writable->measured = 1;  // a build that fails leaves the plan unbuilt
    RowJobs jobs = {head, plan, geometryOf(head), static_cast<int32_t>(planJobs(head->settings.height)), 0};
    const int ran = runPlanJobs(runner, runnerData, &jobs, buildJob, static_cast<uint32_t>(jobs.jobs));
    if (ran != POLARMOSAIC_OK) return ran;
    if (jobs.failed) return POLARMOSAIC_BAD_PLAN;
    countTilePixels(plan);
    writable->measured = 2;
    return POLARMOSAIC_OK;
}

extern "C" int polarPlanMeasureAndBuild(const PolarPlanSettings* s, void* plan, size_t bytes,
                                        size_t* planBytes) {
    const int status = checkPolarPlanSettings(s);
    if (status != POLARMOSAIC_OK) return status;
    if (plan == nullptr || planBytes == nullptr) return POLARMOSAIC_NULL_RECORD;
    Layout l;
    computeLayout(*s, &l);
    if (bytes < l.headBytes) {
        *planBytes = static_cast<size_t>(l.headBytes);
        return POLARMOSAIC_PLAN_TOO_SMALL;
    }
    PlanHead* head = layOutHead(s, l, plan);
    RingTable table;
    const Geometry geometry = withTable(geometryOf(head), &table);
    uint64_t* rowSlots = planArray<uint64_t>(plan, l.rowSlotsOffset);
    uint64_t* rowGroups = planArray<uint64_t>(plan, l.rowGroupsOffset);
    // The rows' segments go one after the other from the end of the head,
    // and their groups down from the end of the memory; once the two meet,
    // the rest of the rows are only counted.
    PlanSlot* slots = planArray<PlanSlot>(plan, l.headBytes);
    const uint64_t room = (bytes - l.headBytes) / sizeof(PlanSlot);
    static_assert(sizeof(PlanSlot) == sizeof(PlanGroup), "slots and groups share the room");
    PlanGroup* groupsTop = planArray<PlanGroup>(plan, l.headBytes) + room;
    bool fits = true;
    int32_t hint = 0;
    for (int32_t row = 0; row < s->height; ++row) {
        if (row % kPlanRowsPerJob == 0) hint = 0;  // as the jobs of polarPlanBuild do
        Segmenter segments = {};
        if (fits) {
            segments.slots = slots + rowSlots[row];
            segments.slotRoom = room - rowSlots[row];
            segments.groups = groupsTop - rowGroups[row];
            segments.groupRoom = room - rowGroups[row];
            segments.backwards = true;
        }
        walkRow(geometry, row, &hint, &segments);
        rowSlots[row + 1] = rowSlots[row] + segments.slotCount;
        rowGroups[row + 1] = rowGroups[row] + segments.groupCount;
        fits = fits && !segments.overflow && rowSlots[row + 1] + rowGroups[row + 1] <= room;
    }
    const int measured = finishMeasure(head, planBytes);
    if (measured != POLARMOSAIC_OK) return measured;
    if (!fits || bytes < head->planBytes) return POLARMOSAIC_PLAN_TOO_SMALL;
    // The groups into their place, first to last, counting each tile's pixels.
    PlanGroup* written = groupsTop - head->groups;
    for (uint64_t i = 0, j = head->groups; i + 1 < j; ++i) {
        --j;
        const PlanGroup swap = written[i];
        written[i] = written[j];
        written[j] = swap;
    }
    memmove(planArray<PlanGroup>(plan, head->groupsOffset), written,
            static_cast<size_t>(head->groups) * sizeof(PlanGroup));
    // What the groups left beyond their place is padding.
    const uint64_t groupsEnd = head->groupsOffset + head->groups * sizeof(PlanGroup);
    memset(static_cast<unsigned char*>(plan) + groupsEnd, 0,
           static_cast<size_t>(head->planBytes - groupsEnd));
    countTilePixels(plan);
    head->measured = 2;
    return POLARMOSAIC_OK;
}

extern "C" const PolarPlanSettings* polarPlanSettings(const void* plan) {
    const PlanHead* head = measuredPlanHead(plan);
    return head == nullptr ? nullptr : &head->settings;
}

extern "C" int32_t polarPlanTiles(const void* plan) {
    const PlanHead* head = measuredPlanHead(plan);
    return head == nullptr ? 0 : head->tiles;
}

extern "C" int32_t polarPlanRingSectors(const void* plan, int32_t ring) {
    const PlanHead* head = measuredPlanHead(plan);
    if (head == nullptr || ring < 0 || ring >= head->rings) return 0;
    return planArray<PlanRing>(plan, head->ringsOffset)[ring].sectors;
}
