// exact_sums.cpp - integer accumulators on a fixed-point grid (exact_sums.h).
//
// A value goes onto the grid by one double multiplication by a power of two (exact)
// and one rounding to a whole number done by the FPU's own addition of 1.5 * 2^52:
// for |v| < 2^51 the sum's low mantissa bits are round(v), to nearest, ties to even,
// on every IEEE machine, and the loop vectorises. The grid keeps every |v| below
// 2^50. Compiled with -ffp-contract=off like the rest of the engine: no multiply and
// add are ever fused, so the plain and the AVX2 builds of a loop give the same bits.
#include "exact_sums.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "fixed_order.h"

namespace {

// Rows a wide cluster takes into its 64-bit partial sums before they are carried:
// 2^11 values below 2^50 each sum to less than 2^61.
constexpr int kCarryRows = 2048;

constexpr double kRoundingBias = 6755399441055744.0;                      // 1.5 * 2^52
constexpr std::int64_t kRoundingBits = std::int64_t(0x4338000000000000);  // its bits

inline std::int64_t to_grid(double v) {
    const double biased = v + kRoundingBias;
    std::int64_t bits;
    std::memcpy(&bits, &biased, sizeof bits);
    return bits - kRoundingBits;
}

// A row's squared distance to its centre on the spread grid: below 2^50 as a value
// is, above (a distance near the largest possible) through a 128-bit conversion of
// the rounded double. The grid keeps it below 2^125; anything else (a non-finite
// distance from non-finite data) counts as nothing rather than overflowing.
inline int128 spread_to_grid(double v) {
    if (v < 1125899906842624.0) return to_grid(v);  // 2^50
    if (!(v < 4.2535295865117308e37)) return 0;     // 2^125
    // Whole from 2^52 on; below, round first (ulp 1/4 or 1/2). Then mantissa * 2^e.
    const double whole = v < 4503599627370496.0 ? std::nearbyint(v) : v;
    std::uint64_t bits;
    std::memcpy(&bits, &whole, sizeof bits);
    const int e = int(bits >> 52) - 1075;  // whole = m * 2^e
    const std::uint64_t m = (bits & 0xfffffffffffffull) | (std::uint64_t(1) << 52);
    return e >= 0 ? int128(m) << e : int128(m >> -e);
}

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
inline double add_row(const float* row, const float* centre, double scale, std::int64_t* sums,
                      int d) {
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        for (int l = 0; l < 8; ++l) {
            const double x = row[t + l];
            const double diff = x - double(centre[t + l]);
            lanes[l] += diff * diff;
            sums[t + l] += to_grid(x * scale);
        }
    }
    for (; t < d; ++t) {
        const double x = row[t];
        const double diff = x - double(centre[t]);
        lanes[0] += diff * diff;
        sums[t] += to_grid(x * scale);
    }
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
           ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// A wide cluster's 64-bit partial sums into its 128-bit totals.
inline void carry_into(std::int64_t* part, int128* total, std::size_t d) {
    for (std::size_t t = 0; t < d; ++t) {
        total[t] += part[t];
        part[t] = 0;
    }
}

// The rows of clusters [first, last) into the accumulators; a wide cluster's
// partial sums are carried every kCarryRows rows.
struct RowsTarget {
    int d;
    double scale;
    double spreadScale;
    std::int64_t* low;
    int128* high;
    int128* spreads;
    int* counts;
    int* pending;
};

inline void add_rows_body(const RowsTarget& to, const float* rows, int count, const int* nearest,
                          const float* centres, int first, int last) {
    const std::size_t stride = std::size_t(to.d) + 1;
    const std::size_t d = std::size_t(to.d);
    for (int i = 0; i < count; ++i) {
        const int c = nearest[i];
        if (c < first || c >= last) continue;
        std::int64_t* sums = to.low + std::size_t(c) * d;
        const double e = add_row(rows + std::size_t(i) * stride, centres + std::size_t(c) * stride,
                                 to.scale, sums, to.d);
        to.spreads[c] += spread_to_grid(e * to.spreadScale);
        to.counts[c] += 1;
        if (to.pending && ++to.pending[c] == kCarryRows) {
            carry_into(sums, to.high + std::size_t(c) * d, d);
            to.pending[c] = 0;
        }
    }
}

// Each loop above is built twice, plain and for AVX2 (the same bits: see above), and
// called through `name`, which picks the build at the first call rather than
// through an ifunc: sanitizer runtimes are not ready for those.
#if defined(__x86_64__) || defined(__i386__)
bool has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#define KMEANS_TWO_BUILDS(type, name, body, params, args)                         \
    type name##_plain params { return body args; }                                \
    __attribute__((target("avx2"))) type name##_avx2 params { return body args; } \
    type name params { return has_avx2() ? name##_avx2 args : name##_plain args; }
#else
#define KMEANS_TWO_BUILDS(type, name, body, params, args) \
    type name params { return body args; }
#endif

KMEANS_TWO_BUILDS(std::uint32_t, max_bits, max_bits_lanes,
                  (const float* row, int d, std::uint32_t largest), (row, d, largest))
KMEANS_TWO_BUILDS(bool, whole, whole_lanes, (const float* row, int d, double scale),
                  (row, d, scale))
KMEANS_TWO_BUILDS(void, add_rows, add_rows_body,
                  (const RowsTarget& to, const float* rows, int count, const int* nearest,
                   const float* centres, int first, int last),
                  (to, rows, count, nearest, centres, first, last))

#undef KMEANS_TWO_BUILDS

}  // namespace

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

FixedGrid choose_grid(float maxAbs, bool exact, double rows, int d, float maxCentre) {
    FixedGrid g;
    g.maxAbs = maxAbs;
    if (maxAbs > 0) {
        int e = 0;
        std::frexp(double(maxAbs), &e);
        g.wide = !exact;
        g.shift = exact ? narrow_shift(maxAbs, rows) : 50 - e;
    }
    // No row is further than `reach` from its centre in any coordinate.
    const double reach = double(maxAbs) + double(maxCentre);
    const double largest = double(d) * reach * reach * rows;
    if (largest > 0 && std::isfinite(largest)) {
        int l = 0;
        std::frexp(largest, &l);
        g.spreadShift = 125 - l;
    }
    return g;
}

ExactSums::~ExactSums() { release(); }

void ExactSums::release() {
    delete[] low_;
    delete[] high_;
    delete[] spreads_;
    delete[] counts_;
    delete[] pending_;
    low_ = nullptr;
    high_ = nullptr;
    spreads_ = nullptr;
    counts_ = nullptr;
    pending_ = nullptr;
}

std::size_t ExactSums::bytes(int k, int d, const FixedGrid& grid) {
    const std::size_t values = std::size_t(k) * std::size_t(d);
    const std::size_t perCluster = sizeof(int128) + sizeof(int) + (grid.wide ? sizeof(int) : 0);
    return values * (sizeof(std::int64_t) + (grid.wide ? sizeof(int128) : 0)) +
           std::size_t(k) * perCluster;
}

bool ExactSums::allocate(int k, int d, const FixedGrid& grid) {
    release();
    const std::size_t values = std::size_t(k) * std::size_t(d);
    low_ = new (std::nothrow) std::int64_t[values]();
    spreads_ = new (std::nothrow) int128[std::size_t(k)]();
    counts_ = new (std::nothrow) int[std::size_t(k)]();
    bool ok = low_ && spreads_ && counts_;
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

void ExactSums::addRows(const float* rows, int count, const int* nearest, const float* centres,
                        int first, int last) {
    const RowsTarget to{d_,
                        std::ldexp(1.0, grid_.shift),
                        std::ldexp(1.0, grid_.spreadShift),
                        low_,
                        high_,
                        spreads_,
                        counts_,
                        pending_};
    add_rows(to, rows, count, nearest, centres, first, last);
}

void ExactSums::carry(int c) {
    const std::size_t at = std::size_t(c) * std::size_t(d_);
    carry_into(low_ + at, high_ + at, std::size_t(d_));
    pending_[c] = 0;
}

void ExactSums::settle() {
    if (!high_) return;
    for (int c = 0; c < k_; ++c)
        if (pending_[c] != 0) carry(c);
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
}

double ExactSums::moveCentre(int c, int members, float* centre) const {
    const double scale = std::ldexp(1.0, grid_.shift);
    const double unit = std::ldexp(1.0, -grid_.shift);
    const double count = members;
    const std::size_t at = std::size_t(c) * std::size_t(d_);
    // The new centre m = S / N, each value rounded once to float. Its distortion,
    //   sum |x - m|^2 = sum |x - p|^2 - 2 (m - p).sum (x - p) + N |m - p|^2,
    // with p the centre the pass started from, comes from the totals alone; sum(x - p)
    // is formed in integers where it can be, so data far from zero lose nothing to
    // cancellation.
    double cross = 0;
    double move = 0;
    for (int t = 0; t < d_; ++t) {
        const int128 total = high_ ? high_[at + t] : int128(low_[at + t]);
        const float p = centre[t];
        const float moved = float(double(total) * unit / count);
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
        const double step = double(moved) - double(p);
        cross += step * offset;
        move += step * step;
        centre[t] = moved;
    }
    centre[d_] = norm_column(centre, d_);
    const double spread = double(spreads_[c]) * std::ldexp(1.0, -grid_.spreadShift);
    const double distortion = spread - 2 * cross + count * move;
    return distortion > 0 ? distortion : 0;  // a sum of squares, whatever the rounding
}

void ExactSums::clear() {
    if (!low_) return;
    const std::size_t values = std::size_t(k_) * std::size_t(d_);
    std::memset(low_, 0, sizeof(std::int64_t) * values);
    std::memset(static_cast<void*>(spreads_), 0, sizeof(int128) * std::size_t(k_));
    std::memset(counts_, 0, sizeof(int) * std::size_t(k_));
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
    for (int w = 1; w < workers; ++w) parts_[w] = &copies_[w - 1];
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
