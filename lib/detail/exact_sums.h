// exact_sums.h - a pass's per-cluster accumulators as integers, so that no order of
// addition (worker threads, blocks, processes) can change them, and so that they are
// the exact sums of the values added, whatever the data's range.
//
// A value x is held as q = round(x * 2^shift), a whole number, on a fixed-point grid
// chosen once per run from the data (choose_grid), with E the exponent of the
// largest |x| (|x| < 2^E) and n rows:
//   - narrow: shift = min(50 - E, 62 - E - log2(n)), when every value is a whole
//     multiple of 2^-shift (on_grid). Every |q| is then below 2^50, every sum of n of
//     them fits a signed 64-bit integer, and every value is exact. SIFT's integer
//     values (E = 8) stay narrow up to n = 2^54 rows.
//   - wide otherwise: shift = 50 - E and 128-bit sums. A row with a value finer than
//     that grid (below 2^-50 of the largest |x|, or with bits below its unit) is
//     marked once per run (mark_off_grid); each of its values goes on the grid as
//     above, and what the grid cuts off, x - q / 2^shift, exactly, onto finer levels
//     of the same grid, each 2^50 finer than the one before (so each holds sums as
//     the first does), as many as reach the data's finest bit: a value at 1e15 among
//     values in [0, 1) takes one more level, one near the top of the float range
//     among values near 1 takes three. Rows on the grid never touch the levels.
// Each row's squared distance to the centre the pass started from (formed in double,
// in one fixed order) is held the same way: on a grid of its own (spreadShift) when
// it is a whole multiple of its unit below 2^50 of it, as nearly all are, otherwise
// whole in a long register per cluster (long_sum.h) spanning every bit such a
// distance of floats can have (2^-350 up).
// Which grid holds a value does not matter: the totals are exact real numbers.
//
// From those exact totals the update step moves each centre to its members' exact
// mean, rounded once to float, and measures the distortion without a second pass
// over the data; both are functions of the totals alone.
#ifndef KMEANS_EXACT_SUMS_H
#define KMEANS_EXACT_SUMS_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "detail/long_sum.h"

namespace kmeans::detail {

// A row's squared distance to a centre (d values each) as the totals form it for the
// spreads, in one fixed order (the same bits on every build).
double spread_distance(const float* row, const float* centre, int d);

// The largest |x| among the first d values of `count` augmented rows (stride d+1);
// non-finite values are not counted.
float max_abs(const float* rows, std::size_t count, int d);

// The narrow grid's shift for values up to maxAbs over `rows` rows.
int narrow_shift(float maxAbs, double rows);

// Whether every value of the rows is a whole multiple of 2^-shift, when |x| * 2^shift
// stays below 2^50 for all of them (as on the narrow grid).
bool on_grid(const float* rows, std::size_t count, int d, int shift);

// The wide grid's shift for values up to maxAbs.
int wide_shift(float maxAbs);

// No value lies off the grid.
constexpr int kNoOffGrid = 1 << 20;

// Marks each of `count` rows with off[i] = 1 when one of its values is not a whole
// multiple of 2^-shift (|x| * 2^shift below 2^50 assumed), 0 otherwise, and returns
// the exponent of the lowest non-zero bit among the marked rows' values (kNoOffGrid
// when none is marked).
int mark_off_grid(const float* rows, std::size_t count, int d, int shift, std::uint8_t* off);

// The registers' spread base: a squared distance between floats has no bit below it.
constexpr int kSpreadBase = -350;

// Each level of a wide grid is 2^kLevelBits finer than the one before. The levels
// reach from a grid sized for the largest float (its unit 2^78) to the least
// subnormal (2^-149) in six.
constexpr int kLevelBits = 50;
constexpr int kMostLevels = 6;

struct FixedGrid {
    int shift = 0;        // x held as round(x * 2^shift)
    bool wide = false;    // 128-bit value sums (int64 does not hold every sum exactly)
    int spreadShift = 0;  // a row's squared distance e held as round(e * 2^spreadShift)
    float maxAbs = 0;     // the data's largest |x|
    int levels = 1;       // the value grid's levels; 1: every row on the first
    int spreadWords = 0;  // words of a cluster's spread register
};

// The grid of a run over `rows` rows (all processes together) of d values up to
// maxAbs, `exact` when they all lie on the narrow grid, and centres that start no
// further than maxCentre from zero in any coordinate. `lowest`: what mark_off_grid
// found on the wide grid (over every process), when not exact.
FixedGrid choose_grid(float maxAbs, bool exact, double rows, int d, float maxCentre,
                      int lowest = kNoOffGrid);

// A grid for rows that are added one at a time and not known beforehand: wide, with
// levels and registers that hold any finite float (and any distance between them)
// exactly.
FixedGrid open_grid(float maxAbs, int d, float maxCentre);

// The accumulators of one pass: per cluster, d value sums, one spread (the members'
// summed squared distance to the centre the pass started from) and a member count.
class ExactSums {
public:
    ExactSums() = default;
    ~ExactSums();
    ExactSums(const ExactSums&) = delete;
    ExactSums& operator=(const ExactSums&) = delete;

    // Zeroed accumulators for k clusters of d values on `grid`; false when memory is
    // short (nothing is then held).
    bool allocate(int k, int d, const FixedGrid& grid);
    bool ready() const { return low_ != nullptr; }
    const FixedGrid& grid() const { return grid_; }
    // Bytes that allocate() takes for k clusters of d values on `grid`.
    static std::size_t bytes(int k, int d, const FixedGrid& grid);

    // The run's rows (stride d+1) and their marks from mark_off_grid (null: none is
    // off the grid); borrowed. Rows added from elsewhere are taken as off the grid.
    void bindRows(const float* rows, std::size_t count, const std::uint8_t* off);

    // Adds the `count` augmented rows whose nearest centre (nearest[i]) lies in
    // [first, last) to that cluster: values, spread against its row of `centres`,
    // and 1 to its count. Threads that add the same rows with disjoint cluster ranges
    // touch disjoint accumulators.
    // With `previous`, the totals already hold row i in cluster previous[i] (totals
    // kept from pass to pass): a row that stays adds its spread alone, one that moved
    // is also taken off its old cluster (values and count, when that cluster is in
    // range). The values are integers, so the totals are those of a full re-summation.
    // `known` (or null): row i's distance as spread_distance gives it, where >= 0 (a
    // row that stays, measured already).
    void addRows(const float* rows, int count, const int* nearest, const float* centres, int first,
                 int last, const int* previous = nullptr, const double* known = nullptr);
    // The same with the loops' build named: addRows takes the AVX2 build where the CPU
    // has it; the plain one must give the same bits (tests compare them). False, with
    // nothing added, when the CPU cannot run the build asked for.
    enum class Build { plain, avx2 };
    bool addRowsBuilt(Build build, const float* rows, int count, const int* nearest,
                      const float* centres, int first, int last, const int* previous = nullptr,
                      const double* known = nullptr);

    // Ends a pass's additions: every partial 64-bit sum of a wide grid is carried into
    // its 128-bit total and every long register into digits, ready to be added to
    // another part's or process's (add, pack).
    void settle();
    // Adds another settled part's totals (same k, d and grid) into these.
    void add(const ExactSums& other);
    // Adds (sign +1) or takes away (-1) cluster oc of another settled accumulator on the
    // same grid and d (any k) into cluster c of these, settled: a member moved from one
    // cluster to another exactly.
    void addCluster(int c, const ExactSums& other, int oc, int sign);
    // The settled totals as 16-byte integer cells (cells() of them), which add cell
    // by cell into another process's; unpack() takes such a sum back. Levels and the
    // spread registers included.
    std::size_t cells() const;
    void pack(int128* cells) const;
    void unpack(const int128* cells);
    int* counts() { return counts_; }  // k
    // Value totals: k*d per level.
    std::size_t values() const {
        return std::size_t(k_) * std::size_t(d_) * std::size_t(grid_.levels);
    }
    int clusters() const { return k_; }
    int dims() const { return d_; }

    // The update step of cluster c with `members` (> 0) members, after settle():
    // moves the augmented centre row to the members' exact mean (each value rounded
    // once to float, norm column rebuilt) and returns the members' summed squared
    // distance to the moved centre, never negative.
    double moveCentre(int c, int members, float* centre) const;

    // Zeroes every accumulator for the next pass.
    void clear();
    // Zeroes the spreads alone: values and counts kept for a pass that adds only the
    // rows that moved (addRows with `previous`).
    void clearSpreads();

private:
    friend class SumParts;  // its copies read the binding
    void release();
    void carry(int c);      // a wide cluster's partial sums into its totals
    void carryLong(int c);  // a cluster's long registers into digits

    FixedGrid grid_;
    int k_ = 0;
    int d_ = 0;
    // Cluster c's values at level j start at (c * levels + j) * d.
    std::int64_t* low_ = nullptr;         // the sums (narrow), partial sums (wide)
    int128* high_ = nullptr;              // the totals (wide only)
    int128* spreads_ = nullptr;           // k
    int* counts_ = nullptr;               // k
    int* pending_ = nullptr;              // k: rows in low_ since the last carry (wide only)
    std::int64_t* spreadLong_ = nullptr;  // k registers of spreadWords
    int* longAdds_ = nullptr;             // k: additions into the registers since a carry
    const float* boundRows_ = nullptr;
    std::size_t boundCount_ = 0;
    const std::uint8_t* offGrid_ = nullptr;
};

// A pass's accumulator split over the search's workers: part 0 is the pass's own,
// the others are copies on the same grid, added into it at the end of the pass.
class SumParts {
public:
    // Parts for `workers` workers beside `main`, when the copies take at most a
    // quarter of `dataFloats` floats' bytes and memory allows: true. Otherwise none.
    bool split(ExactSums& main, int workers, std::size_t dataFloats);
    // One part per worker, or null when not split.
    ExactSums* const* get() const { return parts_.get(); }
    // Settles every part and adds the copies into `main` (settled too), ready for
    // the next pass.
    void gather(ExactSums& main);

private:
    std::unique_ptr<ExactSums[]> copies_;
    std::unique_ptr<ExactSums*[]> parts_;
    int workers_ = 0;
};

// Splits clusters 0..k-1 into `parts` contiguous ranges holding about as many of the
// block's `count` rows each (nearest[i] is row i's cluster): range p is
// [bounds[p], bounds[p+1]). `bounds` has parts+1 entries; `members` has room for k
// ints of scratch.
void balanced_cluster_ranges(const int* nearest, int count, int k, int parts, int* members,
                             int* bounds);

}  // namespace kmeans::detail

#endif  // KMEANS_EXACT_SUMS_H
