// exact_sums.cpp - integer accumulators on a fixed-point grid (exact_sums.h).
//
// A value goes onto the grid by one double multiplication by a power of two (exact)
// and one rounding to a whole number done by the FPU's own addition of 1.5 * 2^52:
// for |v| < 2^51 the sum's low mantissa bits are round(v), to nearest, ties to even,
// on every IEEE machine, and the loop vectorises. The grid keeps every |v| below
// 2^50. Compiled with -ffp-contract=off like the rest of the engine: no multiply and
// add are ever fused, so the plain and the AVX2 builds of a loop give the same bits.
// A row marked off the grid takes the same loop, which also keeps each value's
// remainder off the grid, v - round(v), exact in double; the finer levels then take
// it 2^50 at a time, by the same rounding.
#include "detail/exact_sums.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include "detail/fixed_order.h"

namespace kmeans::detail {

namespace {

// The loops below are built twice, plain and for AVX2 (see KMEANS_TWO_BUILDS): each
// must be inlined into both builds, or GCC calls the plain loop from the AVX2 one.
#define KMEANS_INLINE inline __attribute__((always_inline))

// Rows a wide cluster takes into its 64-bit partial sums before they are carried:
// 2^11 values below 2^50 each sum to less than 2^61.
constexpr int kCarryRows = 2048;

constexpr double kRoundingBias = 6755399441055744.0;                      // 1.5 * 2^52
constexpr std::int64_t kRoundingBits = std::int64_t(0x4338000000000000);  // its bits

KMEANS_INLINE std::int64_t to_grid(double v) {
    const double biased = v + kRoundingBias;
    std::int64_t bits;
    std::memcpy(&bits, &biased, sizeof bits);
    return bits - kRoundingBits;
}

constexpr double kGridLimit = 1125899906842624.0;  // 2^50: every grid value below it

// Rows between two carries of a cluster's spread register: each addition grows a
// word by less than 2^32, so 2^24 of them stay far below 2^63.
constexpr int kLongCarryRows = 1 << 24;

// A row's squared distance v = e * 2^spreadShift onto the spread grid, when it is
// whole there (and below 2^125, as the grid keeps every distance): below 2^50 as a
// value is; above, through a 128-bit conversion of its mantissa (whole from 2^52 on,
// where a double has no fraction). False for anything else: a distance finer than the
// grid (the caller adds it to the cluster's register) or not finite.
KMEANS_INLINE bool spread_to_grid(double v, int128& q) {
    const double biased = v + kRoundingBias;
    if (v < kGridLimit) {
        if (biased - kRoundingBias != v) return false;
        std::int64_t bits;
        std::memcpy(&bits, &biased, sizeof bits);
        q = bits - kRoundingBits;
        return true;
    }
    if (!(v < 4.2535295865117308e37)) return false;                      // 2^125
    if (v < 4503599627370496.0 && std::nearbyint(v) != v) return false;  // 2^52
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int e = int(bits >> 52) - 1075;  // v = m * 2^e
    const std::uint64_t m = (bits & 0xfffffffffffffull) | (std::uint64_t(1) << 52);
    q = e >= 0 ? int128(m) << e : int128(m >> -e);
    return true;
}

// Values whose remainders one call keeps at a time (a multiple of 8, so that the
// distance's lanes take the same terms as in add_row).
constexpr int kChunk = 64;

// Largest finite magnitude's bits among d values and `largest`; non-finite values
// count as zero. (Masks, not branches, so that the loop vectorises.)
inline std::uint32_t max_bits_lanes(const float* row, int d, std::uint32_t largest) {
    for (int t = 0; t < d; ++t) {
        std::uint32_t bits;
        std::memcpy(&bits, row + t, sizeof bits);
        bits &= 0x7fffffffu;
        bits &= 0u - std::uint32_t(bits < 0x7f800000u);
        largest = std::max(largest, bits);
    }
    return largest;
}

// Whether every value times `scale` is whole (|x * scale| < 2^51 assumed).
inline bool whole_lanes(const float* row, int d, double scale) {
    std::int64_t off[4] = {0, 0, 0, 0};  // non-zero once a lane met a fraction
    int t = 0;
    for (; t + 4 <= d; t += 4) {
        for (int l = 0; l < 4; ++l) {
            const double v = double(row[t + l]) * scale;
            off[l] |= ((v + kRoundingBias) - kRoundingBias) != v;
        }
    }
    for (; t < d; ++t) {
        const double v = double(row[t]) * scale;
        off[0] |= ((v + kRoundingBias) - kRoundingBias) != v;
    }
    return (off[0] | off[1] | off[2] | off[3]) == 0;
}

// One row into its cluster: each value onto the grid, into the cluster's sums, and
// the row's squared distance to the cluster's centre, returned. The distance is
// summed in a fixed order: lane l takes the terms t = l mod 8, and the lanes are
// added in one fixed tree; every operation is elementwise IEEE double, so the AVX2
// build gives the same bits as the plain one.
// Values = false: the distance alone, the same bits (a row that stays in its cluster).
template <bool Values = true>
KMEANS_INLINE double add_row(const float* row, const float* centre, double scale,
                             std::int64_t* sums, int d) {
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        for (int l = 0; l < 8; ++l) {
            const double x = row[t + l];
            const double diff = x - double(centre[t + l]);
            lanes[l] += diff * diff;
            if (Values) sums[t + l] += to_grid(x * scale);
        }
    }
    for (; t < d; ++t) {
        const double x = row[t];
        const double diff = x - double(centre[t]);
        lanes[0] += diff * diff;
        if (Values) sums[t] += to_grid(x * scale);
    }
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
           ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// Takes a row's values off a cluster's sums: the same integers add_row added (levels:
// see remove_row_split).
KMEANS_INLINE void remove_row(const float* row, double scale, std::int64_t* sums, int d) {
    for (int t = 0; t < d; ++t) sums[t] -= to_grid(double(row[t]) * scale);
}

// A row off the grid: the same distance, in the same order, and the same level-0
// values as add_row (`sums` holds the cluster's `levels` rows of d partial sums),
// added (sign +1) or taken away (-1).
// Each value's remainder r = v - round(v), exact and at most 1/2 in magnitude, goes
// to level 1 as round(r * 2^50), whose own remainder goes to level 2, and so on: the
// levels end where the data's finest bit does, so the last remainder is zero.
KMEANS_INLINE double add_row_split(const float* row, const float* centre, double scale,
                                   std::int64_t* sums, int levels, int d, std::int64_t sign) {
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    double rest[kChunk];
    const std::size_t width = std::size_t(d);
    for (int from = 0; from < d; from += kChunk) {
        const int m = std::min(kChunk, d - from);
        const auto value = [&](int t, int lane) {
            const double x = row[from + t];
            const double diff = x - double(centre[from + t]);
            lanes[lane] += diff * diff;
            const double v = x * scale;
            const double biased = v + kRoundingBias;
            std::int64_t bits;
            std::memcpy(&bits, &biased, sizeof bits);
            sums[from + t] += sign * (bits - kRoundingBits);
            rest[t] = v - (biased - kRoundingBias);
        };
        int t = 0;
        for (; t + 8 <= m; t += 8)
            for (int l = 0; l < 8; ++l) value(t + l, l);
        for (; t < m; ++t) value(t, 0);
        for (int level = 1; level < levels; ++level) {
            std::int64_t* part = sums + std::size_t(level) * width + std::size_t(from);
            for (int u = 0; u < m; ++u) {
                const double v = rest[u] * kGridLimit;
                const double biased = v + kRoundingBias;
                std::int64_t bits;
                std::memcpy(&bits, &biased, sizeof bits);
                part[u] += sign * (bits - kRoundingBits);
                rest[u] = v - (biased - kRoundingBias);
            }
        }
    }
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
           ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// Each loop here is built twice, plain and for AVX2 (the same bits: see above), and
// called through `name` (or by ExactSums::addRowsBuilt), which picks the build at the
// first call rather than through an ifunc: sanitizer runtimes are not ready for those.
#if defined(__x86_64__) || defined(__i386__)
bool has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#define KMEANS_BUILDS(type, name, body, params, args) \
    type name##_plain params { return body args; }    \
    __attribute__((target("avx2"))) type name##_avx2 params { return body args; }
#else
bool has_avx2() { return false; }
#define KMEANS_BUILDS(type, name, body, params, args) \
    type name##_plain params { return body args; }    \
    type name##_avx2 params { return body args; }
#endif
#define KMEANS_TWO_BUILDS(type, name, body, params, args) \
    KMEANS_BUILDS(type, name, body, params, args)         \
    type name params { return has_avx2() ? name##_avx2 args : name##_plain args; }

// (Off the hot loop: a split row is rare where the data are nearly all on the grid.)
KMEANS_BUILDS(double, add_split, add_row_split,
              (const float* row, const float* centre, double scale, std::int64_t* sums, int levels,
               int d, std::int64_t sign),
              (row, centre, scale, sums, levels, d, sign))

// A wide cluster's 64-bit partial sums into its 128-bit totals.
inline void carry_into(std::int64_t* part, int128* total, std::size_t d) {
    for (std::size_t t = 0; t < d; ++t) {
        total[t] += part[t];
        part[t] = 0;
    }
}

// The rows of clusters [first, last) into the accumulators; a wide cluster's
// partial sums are carried every kCarryRows rows, its spread register every
// kLongCarryRows additions.
struct RowsTarget {
    int d;
    double scale;
    double spreadScale;
    std::int64_t* low;
    int128* high;
    int128* spreads;
    int* counts;
    int* pending;
    int levels;  // 1: every row on the grid
    std::int64_t* spreadLong;
    int spreadWords;
    int* longAdds;
    const std::uint8_t* off;  // the rows' marks, or null
    bool allOff;              // rows not bound: each is taken as off the grid
    // The split rows' loop, of the same build as the caller's.
    double (*split)(const float* row, const float* centre, double scale, std::int64_t* sums,
                    int levels, int d, std::int64_t sign);
    // The clusters the totals held the rows in before (null: the rows are new to them).
    const int* previous;
    // Each row's distance to its cluster's centre as add_row forms it, where known (>= 0).
    const double* known;
};

// Counts an addition (or removal) into a wide cluster's partial sums, carried into its
// totals every kCarryRows: each changes a partial sum by less than 2^50 either way.
KMEANS_INLINE void count_pending(const RowsTarget& to, std::int64_t* sums, int c,
                                 std::size_t block) {
    if (to.pending && ++to.pending[c] == kCarryRows) {
        carry_into(sums, to.high + std::size_t(c) * block, block);
        to.pending[c] = 0;
    }
}

KMEANS_INLINE void add_rows_body(const RowsTarget& to, const float* rows, int count,
                                 const int* nearest, const float* centres, int first, int last) {
    const std::size_t stride = std::size_t(to.d) + 1;
    const std::size_t d = std::size_t(to.d);
    const std::size_t block = d * std::size_t(to.levels);  // a cluster's partial sums
    for (int i = 0; i < count; ++i) {
        const int c = nearest[i];
        const float* row = rows + std::size_t(i) * stride;
        const bool split = to.levels > 1 && (to.allOff || (to.off && to.off[i]));
        // A row that left cluster p: its values and count taken off p's totals.
        const int p = to.previous ? to.previous[i] : -1;
        const bool stays = p == c;
        if (p >= first && p < last && !stays) {
            std::int64_t* from = to.low + std::size_t(p) * block;
            if (split)
                to.split(row, centres + std::size_t(p) * stride, to.scale, from, to.levels, to.d,
                         -1);
            else
                remove_row(row, to.scale, from, to.d);
            to.counts[p] -= 1;
            count_pending(to, from, p, block);
        }
        if (c < first || c >= last) continue;
        std::int64_t* sums = to.low + std::size_t(c) * block;
        const float* centre = centres + std::size_t(c) * stride;
        // A row that stays adds only its distance (the same bits as add_row's).
        const double e = stays   ? (to.known && to.known[i] >= 0
                                        ? to.known[i]
                                        : add_row<false>(row, centre, to.scale, sums, to.d))
                         : split ? to.split(row, centre, to.scale, sums, to.levels, to.d, 1)
                                 : add_row(row, centre, to.scale, sums, to.d);
        // The distance on the spread grid when it is a whole multiple of its unit there
        // (nearly always), whole into the cluster's register otherwise.
        int128 q;
        bool registered = false;
        if (spread_to_grid(e * to.spreadScale, q)) {
            to.spreads[c] += q;
        } else {
            long_add(to.spreadLong + std::size_t(c) * std::size_t(to.spreadWords), to.spreadWords,
                     kSpreadBase, e);
            registered = true;
        }
        if (!stays) {
            to.counts[c] += 1;
            count_pending(to, sums, c, block);
        }
        if (registered && ++to.longAdds[c] == kLongCarryRows) {
            long_carry(to.spreadLong + std::size_t(c) * std::size_t(to.spreadWords),
                       to.spreadWords);
            to.longAdds[c] = 0;
        }
    }
}

KMEANS_INLINE double spread_lanes(const float* row, const float* centre, int d) {
    return add_row<false>(row, centre, 0, nullptr, d);
}
#if defined(__x86_64__)
// The same with 512-bit registers, the same bits (each lane one of add_row's eight).
__attribute__((target("avx512f"))) double spread_of_avx512(const float* row, const float* centre,
                                                           int d) {
    return spread_lanes(row, centre, d);
}
#endif
KMEANS_TWO_BUILDS(double, spread_of, spread_lanes, (const float* row, const float* centre, int d),
                  (row, centre, d))
KMEANS_TWO_BUILDS(std::uint32_t, max_bits, max_bits_lanes,
                  (const float* row, int d, std::uint32_t largest), (row, d, largest))
KMEANS_TWO_BUILDS(bool, whole, whole_lanes, (const float* row, int d, double scale),
                  (row, d, scale))
KMEANS_BUILDS(void, add_rows, add_rows_body,
              (const RowsTarget& to, const float* rows, int count, const int* nearest,
               const float* centres, int first, int last),
              (to, rows, count, nearest, centres, first, last))

#undef KMEANS_TWO_BUILDS
#undef KMEANS_BUILDS
#undef KMEANS_INLINE

}  // namespace

double spread_distance(const float* row, const float* centre, int d) {
#if defined(__x86_64__)
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    if (avx512) return spread_of_avx512(row, centre, d);
#endif
    return spread_of(row, centre, d);
}

float max_abs(const float* rows, std::size_t count, int d) {
    const std::size_t stride = std::size_t(d) + 1;
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < count; ++i) largest = max_bits(rows + i * stride, d, largest);
    float r;
    std::memcpy(&r, &largest, sizeof r);
    return r;
}

int narrow_shift(float maxAbs, double rows) {
    int e = 0;  // maxAbs < 2^e
    int r = 0;  // rows < 2^r
    std::frexp(double(maxAbs), &e);
    std::frexp(rows, &r);
    return 50 - e < 62 - e - r ? 50 - e : 62 - e - r;
}

bool on_grid(const float* rows, std::size_t count, int d, int shift) {
    const std::size_t stride = std::size_t(d) + 1;
    const double scale = std::ldexp(1.0, shift);
    for (std::size_t i = 0; i < count; ++i)
        if (!whole(rows + i * stride, d, scale)) return false;
    return true;
}

int wide_shift(float maxAbs) {
    int e = 0;
    std::frexp(double(maxAbs), &e);
    return 50 - e;
}

int mark_off_grid(const float* rows, std::size_t count, int d, int shift, std::uint8_t* off) {
    const std::size_t stride = std::size_t(d) + 1;
    const double scale = std::ldexp(1.0, shift);
    int lowest = kNoOffGrid;
    for (std::size_t i = 0; i < count; ++i) {
        const float* row = rows + i * stride;
        off[i] = whole(row, d, scale) ? 0 : 1;
        if (!off[i]) continue;
        for (int t = 0; t < d; ++t) {
            std::uint32_t bits;
            std::memcpy(&bits, row + t, sizeof bits);
            bits &= 0x7fffffffu;
            if (bits == 0 || bits >= 0x7f800000u) continue;
            const int field = int(bits >> 23);
            const std::uint32_t m = field != 0 ? (bits & 0x7fffffu) | 0x800000u : bits;
            lowest = std::min(lowest, (field != 0 ? field : 1) - 150 + __builtin_ctz(m));
        }
    }
    return lowest;
}

namespace {

// 2^l above the largest sum of squared distances a pass can meet: no row is further
// than `reach` from its centre in any coordinate.
int spread_top(double reach, int d, double rows) {
    const double largest = double(d) * reach * reach * rows;
    int l = 0;
    if (largest > 0 && std::isfinite(largest)) std::frexp(largest, &l);
    return l;
}

}  // namespace

FixedGrid choose_grid(float maxAbs, bool exact, double rows, int d, float maxCentre, int lowest) {
    FixedGrid g;
    g.maxAbs = maxAbs;
    if (maxAbs > 0) {
        g.wide = !exact;
        g.shift = exact ? narrow_shift(maxAbs, rows) : wide_shift(maxAbs);
    }
    // What the grid cuts off a value is below its unit 2^-shift and has no bit below
    // the lowest: each finer level holds 50 bits more.
    // (A float's finest bit is 2^-149 and the coarsest grid's unit 2^78: six levels.)
    if (g.wide && lowest < -g.shift)
        g.levels = std::min(kMostLevels, 1 + (-g.shift - lowest + kLevelBits - 1) / kLevelBits);
    const int l = spread_top(double(maxAbs) + double(maxCentre), d, rows);
    g.spreadShift = l > 0 ? 125 - l : 0;
    g.spreadWords = long_words(kSpreadBase, l);
    return g;
}

FixedGrid open_grid(float maxAbs, int d, float maxCentre) {
    // The grid of the largest float, with levels down to the least subnormal.
    FixedGrid g = choose_grid(FLT_MAX, false, 1e9, d, maxCentre, -149);
    g.maxAbs = maxAbs;
    // Any two floats lie within 2^129 of each other in a coordinate; d of them
    // squared, over 2^40 rows.
    g.spreadWords = long_words(kSpreadBase, 2 * 129 + 32 + 40);
    return g;
}

ExactSums::~ExactSums() { release(); }

void ExactSums::release() {
    delete[] low_;
    delete[] high_;
    delete[] spreads_;
    delete[] counts_;
    delete[] pending_;
    delete[] spreadLong_;
    delete[] longAdds_;
    low_ = nullptr;
    high_ = nullptr;
    spreads_ = nullptr;
    counts_ = nullptr;
    pending_ = nullptr;
    spreadLong_ = nullptr;
    longAdds_ = nullptr;
}

std::size_t ExactSums::bytes(int k, int d, const FixedGrid& grid) {
    const std::size_t values = std::size_t(k) * std::size_t(d) * std::size_t(grid.levels);
    const std::size_t perValue = sizeof(std::int64_t) + (grid.wide ? sizeof(int128) : 0);
    const std::size_t perCluster = sizeof(int128) + 2 * sizeof(int) +
                                   (grid.wide ? sizeof(int) : 0) +
                                   sizeof(std::int64_t) * std::size_t(grid.spreadWords);
    return values * perValue + std::size_t(k) * perCluster;
}

bool ExactSums::allocate(int k, int d, const FixedGrid& grid) {
    release();
    const std::size_t values = std::size_t(k) * std::size_t(d) * std::size_t(grid.levels);
    low_ = new (std::nothrow) std::int64_t[values]();
    spreads_ = new (std::nothrow) int128[std::size_t(k)]();
    counts_ = new (std::nothrow) int[std::size_t(k)]();
    spreadLong_ = new (std::nothrow) std::int64_t[std::size_t(k) * std::size_t(grid.spreadWords)]();
    longAdds_ = new (std::nothrow) int[std::size_t(k)]();
    bool ok = low_ && spreads_ && counts_ && spreadLong_ && longAdds_;
    if (ok && grid.wide) {
        high_ = new (std::nothrow) int128[values]();
        pending_ = new (std::nothrow) int[std::size_t(k)]();
        ok = high_ && pending_;
    }
    if (!ok) {
        release();
        return false;
    }
    grid_ = grid;
    k_ = k;
    d_ = d;
    return true;
}

void ExactSums::bindRows(const float* rows, std::size_t count, const std::uint8_t* off) {
    boundRows_ = rows;
    boundCount_ = count;
    offGrid_ = off;
}

void ExactSums::addRows(const float* rows, int count, const int* nearest, const float* centres,
                        int first, int last, const int* previous, const double* known) {
    addRowsBuilt(has_avx2() ? Build::avx2 : Build::plain, rows, count, nearest, centres, first,
                 last, previous, known);
}

bool ExactSums::addRowsBuilt(Build build, const float* rows, int count, const int* nearest,
                             const float* centres, int first, int last, const int* previous,
                             const double* known) {
    const bool avx2 = build == Build::avx2;
    if (avx2 && !has_avx2()) return false;
    // Rows of the bound run read their marks; any others are split value by value.
    const std::size_t stride = std::size_t(d_) + 1;
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(rows);
    const std::uintptr_t from = reinterpret_cast<std::uintptr_t>(boundRows_);
    const bool bound =
        boundRows_ != nullptr && at >= from && at < from + boundCount_ * stride * sizeof(float);
    const std::uint8_t* off = nullptr;
    if (bound && offGrid_ != nullptr) off = offGrid_ + (at - from) / (stride * sizeof(float));
    const RowsTarget to{d_,
                        std::ldexp(1.0, grid_.shift),
                        std::ldexp(1.0, grid_.spreadShift),
                        low_,
                        high_,
                        spreads_,
                        counts_,
                        pending_,
                        grid_.levels,
                        spreadLong_,
                        grid_.spreadWords,
                        longAdds_,
                        off,
                        !bound,
                        avx2 ? add_split_avx2 : add_split_plain,
                        previous,
                        known};
    if (avx2)
        add_rows_avx2(to, rows, count, nearest, centres, first, last);
    else
        add_rows_plain(to, rows, count, nearest, centres, first, last);
    return true;
}

void ExactSums::carry(int c) {
    const std::size_t block = std::size_t(d_) * std::size_t(grid_.levels);
    carry_into(low_ + std::size_t(c) * block, high_ + std::size_t(c) * block, block);
    pending_[c] = 0;
}

void ExactSums::carryLong(int c) {
    long_carry(spreadLong_ + std::size_t(c) * std::size_t(grid_.spreadWords), grid_.spreadWords);
    longAdds_[c] = 0;
}

void ExactSums::settle() {
    for (int c = 0; c < k_; ++c) {
        if (high_ && pending_[c] != 0) carry(c);
        carryLong(c);
    }
}

void ExactSums::add(const ExactSums& other) {
    const std::size_t n = values();
    if (high_) {
        for (std::size_t i = 0; i < n; ++i) high_[i] += other.high_[i];
    } else {
        for (std::size_t i = 0; i < n; ++i) low_[i] += other.low_[i];
    }
    for (int c = 0; c < k_; ++c) {
        spreads_[c] += other.spreads_[c];
        counts_[c] += other.counts_[c];
    }
    const std::size_t spreadRegisters = std::size_t(k_) * std::size_t(grid_.spreadWords);
    for (std::size_t i = 0; i < spreadRegisters; ++i) spreadLong_[i] += other.spreadLong_[i];
}

void ExactSums::addCluster(int c, const ExactSums& other, int oc, int sign) {
    const std::size_t block = std::size_t(d_) * std::size_t(grid_.levels);
    const std::size_t at = std::size_t(c) * block, from = std::size_t(oc) * block;
    for (std::size_t i = 0; i < block; ++i) {
        if (high_)
            high_[at + i] += sign * other.high_[from + i];
        else
            low_[at + i] += sign * other.low_[from + i];
    }
    spreads_[c] += sign * other.spreads_[oc];
    counts_[c] += sign * other.counts_[oc];
    const std::size_t words = std::size_t(grid_.spreadWords);
    for (std::size_t i = 0; i < words; ++i)
        spreadLong_[std::size_t(c) * words + i] +=
            sign * other.spreadLong_[std::size_t(oc) * words + i];
    carryLong(c);
}

// Cells: k*d*levels value totals (cluster by cluster, level by level), k spreads, k
// counts, then the spread registers' words.
std::size_t ExactSums::cells() const {
    return values() + 2 * std::size_t(k_) + std::size_t(k_) * std::size_t(grid_.spreadWords);
}

void ExactSums::pack(int128* cell) const {
    const std::size_t n = values();
    for (std::size_t i = 0; i < n; ++i) *cell++ = high_ ? high_[i] : int128(low_[i]);
    for (int c = 0; c < k_; ++c) *cell++ = spreads_[c];
    for (int c = 0; c < k_; ++c) *cell++ = counts_[c];
    const std::size_t spreadRegisters = std::size_t(k_) * std::size_t(grid_.spreadWords);
    for (std::size_t i = 0; i < spreadRegisters; ++i) *cell++ = spreadLong_[i];
}

// A sum of P processes' carried registers has words below P * 2^32 (the last below
// what the totals bound): they fit 64 bits, and are carried again here.
void ExactSums::unpack(const int128* cell) {
    const std::size_t n = values();
    for (std::size_t i = 0; i < n; ++i, ++cell) {
        if (high_)
            high_[i] = *cell;
        else
            low_[i] = std::int64_t(*cell);
    }
    for (int c = 0; c < k_; ++c) spreads_[c] = *cell++;
    for (int c = 0; c < k_; ++c) counts_[c] = int(*cell++);
    const std::size_t spreadRegisters = std::size_t(k_) * std::size_t(grid_.spreadWords);
    for (std::size_t i = 0; i < spreadRegisters; ++i) spreadLong_[i] = std::int64_t(*cell++);
    for (int c = 0; c < k_; ++c) carryLong(c);
}

namespace {

// S / members rounded once to float, S = sum over the levels j of totals[j] *
// 2^-(shift + 50 j). With only level 0, the quotient of its double value divides
// once more; its float rounding can differ from that of the exact mean only where it
// lies within a few units of its last place of a float's rounding point (halfway
// between two floats), or where the float is subnormal: there, and wherever a finer
// level holds anything, the mean is divided exactly.
float mean_of(const int128* totals, int levels, int shift, int members) {
    bool finer = false;
    for (int j = 1; j < levels; ++j) finer |= totals[j] != 0;
    if (!finer) {
        const double q = double(totals[0]) * std::ldexp(1.0, -shift) / members;
        std::uint64_t bits;
        std::memcpy(&bits, &q, sizeof bits);
        const std::int64_t below = std::int64_t(bits & 0x1fffffffu) - 0x10000000;
        if (std::fabs(q) >= 1.1754943508222875e-38 && (below > 4 || below < -4)) return float(q);
    }
    return exact_mean(totals, finer ? levels : 1, shift, kLevelBits, members);
}

}  // namespace

double ExactSums::moveCentre(int c, int members, float* centre) const {
    const double scale = std::ldexp(1.0, grid_.shift);
    const double unit = std::ldexp(1.0, -grid_.shift);
    const double count = members;
    const int levels = grid_.levels;
    const std::size_t at = std::size_t(c) * std::size_t(d_) * std::size_t(levels);
    // The new centre m = S / N, each value rounded once to float. Its distortion,
    //   sum |x - m|^2 = sum |x - p|^2 - 2 (m - p).sum (x - p) + N |m - p|^2,
    // with p the centre the pass started from, comes from the totals alone; sum(x - p)
    // is formed in integers where it can be, so data far from zero lose nothing to
    // cancellation.
    double cross = 0;
    double move = 0;
    int128 totals[kMostLevels];
    for (int t = 0; t < d_; ++t) {
        for (int j = 0; j < levels; ++j) {
            const std::size_t i = at + std::size_t(j) * std::size_t(d_) + std::size_t(t);
            totals[j] = high_ ? high_[i] : int128(low_[i]);
        }
        const int128 total = totals[0];
        const float p = centre[t];
        const float moved = mean_of(totals, levels, grid_.shift, members);
        double offset;  // sum over the members of (x_t - p)
        if (std::fabs(p) <= grid_.maxAbs) {
            // p's nearest grid point q (|q| < 2^50, as a value's), then
            // sum(x - p) = (S - N q) / 2^shift + N (q / 2^shift - p), the first term
            // exact in integers, the second small.
            const double scaled = double(p) * scale;
            const double q = std::nearbyint(scaled);
            offset =
                double(total - int128(members) * int128(q)) * unit + count * ((q - scaled) * unit);
        } else {
            offset = double(total) * unit - count * double(p);  // a centre outside the data
        }
        for (int j = 1; j < levels; ++j)
            offset += double(totals[j]) * std::ldexp(unit, -kLevelBits * j);
        const double step = double(moved) - double(p);
        cross += step * offset;
        move += step * step;
        centre[t] = moved;
    }
    centre[d_] = norm_column(centre, d_);
    const double spread = double(spreads_[c]) * std::ldexp(1.0, -grid_.spreadShift) +
                          long_value(spreadLong_ + std::size_t(c) * std::size_t(grid_.spreadWords),
                                     grid_.spreadWords, kSpreadBase);
    const double distortion = spread - 2 * cross + count * move;
    return distortion > 0 ? distortion : 0;  // a sum of squares, whatever the rounding
}

void ExactSums::clearSpreads() {
    if (!low_) return;
    std::memset(static_cast<void*>(spreads_), 0, sizeof(int128) * std::size_t(k_));
    std::memset(spreadLong_, 0,
                sizeof(std::int64_t) * std::size_t(k_) * std::size_t(grid_.spreadWords));
    std::memset(longAdds_, 0, sizeof(int) * std::size_t(k_));
}

void ExactSums::clear() {
    if (!low_) return;
    const std::size_t values = this->values();
    std::memset(low_, 0, sizeof(std::int64_t) * values);
    std::memset(counts_, 0, sizeof(int) * std::size_t(k_));
    clearSpreads();
    if (high_) {
        std::memset(static_cast<void*>(high_), 0, sizeof(int128) * values);
        std::memset(pending_, 0, sizeof(int) * std::size_t(k_));
    }
}

bool SumParts::split(ExactSums& main, int workers, std::size_t dataFloats) {
    copies_.reset();
    parts_.reset();
    workers_ = 0;
    if (workers < 1 || !main.ready()) return false;
    const std::size_t each = ExactSums::bytes(main.clusters(), main.dims(), main.grid());
    if (std::size_t(workers - 1) * each > dataFloats * sizeof(float) / 4) return false;
    parts_.reset(new (std::nothrow) ExactSums*[std::size_t(workers)]);
    if (workers > 1) copies_.reset(new (std::nothrow) ExactSums[std::size_t(workers - 1)]);
    bool held = parts_ && (workers == 1 || copies_);
    for (int w = 0; held && w < workers - 1; ++w)
        held = copies_[w].allocate(main.clusters(), main.dims(), main.grid());
    if (!held) {
        copies_.reset();
        parts_.reset();
        return false;
    }
    parts_[0] = &main;
    for (int w = 1; w < workers; ++w) {
        parts_[w] = &copies_[w - 1];
        copies_[w - 1].bindRows(main.boundRows_, main.boundCount_, main.offGrid_);
    }
    workers_ = workers;
    return true;
}

void SumParts::gather(ExactSums& main) {
    for (int w = 0; w + 1 < workers_; ++w) {
        copies_[w].settle();
        main.add(copies_[w]);
        copies_[w].clear();
    }
    main.settle();
}

void balanced_cluster_ranges(const int* nearest, int count, int k, int parts, int* members,
                             int* bounds) {
    std::memset(members, 0, sizeof(int) * std::size_t(k));
    for (int i = 0; i < count; ++i) members[nearest[i]] += 1;
    bounds[0] = 0;
    int p = 1;
    long long seen = 0;
    for (int c = 0; c < k && p < parts; ++c) {
        seen += members[c];
        while (p < parts && seen * parts >= (long long)count * p) bounds[p++] = c + 1;
    }
    while (p <= parts) bounds[p++] = k;
}

}  // namespace kmeans::detail
