// exact_sums.h - a pass's per-cluster accumulators as integers on a fixed-point grid,
// so that no order of addition (worker threads, blocks, processes) can change them.
//
// A value x is held as q = round(x * 2^shift), a whole number; a cluster's sum is the
// exact integer sum of its members' q. The grid is chosen once per run from the
// data (choose_grid), with E the exponent of the largest |x| (|x| < 2^E) and n rows:
//   - narrow: shift = min(50 - E, 62 - E - log2(n)), when every value is a whole
//     multiple of 2^-shift (on_grid). Every |q| is then below 2^50, every sum of n of
//     them fits a signed 64-bit integer, and every value is exact. SIFT's integer
//     values (E = 8) stay narrow up to n = 2^54 rows, and floats whose finest bit is
//     no finer than 2^-(shift) too.
//   - wide otherwise: shift = 50 - E and 128-bit sums. A value finer than the grid,
//     that is below 2^-50 of the largest |x|, is rounded once to it: to nearest,
//     ties to even, the same way every time.
// Which exact grid is used does not matter: the sums are the same real numbers, and
// a mean is computed from them in double, scaled by a power of two.
// Each row's squared distance to the centre the pass started from (formed in double,
// in one fixed order) is held the same way, on a grid of its own (spreadShift) that
// keeps the sum of n of them below 2^126: rounded once per row, relative error about
// 2^-90 of the largest possible distance.
//
// From those exact totals the update step moves each centre to its members' mean,
// rounded once to float, and measures the distortion without a second pass over the
// data; both are functions of the totals alone.
#ifndef KMEANS_EXACT_SUMS_H
#define KMEANS_EXACT_SUMS_H

#include <cstddef>
#include <cstdint>
#include <memory>

using int128 = __int128;

// The largest |x| among the first d values of `count` augmented rows (stride d+1);
// non-finite values are not counted.
float max_abs(const float* rows, std::size_t count, int d);

// The narrow grid's shift for values up to maxAbs over `rows` rows.
int narrow_shift(float maxAbs, double rows);

// Whether every value of the rows is a whole multiple of 2^-shift, when |x| * 2^shift
// stays below 2^50 for all of them (as on the narrow grid).
bool on_grid(const float* rows, std::size_t count, int d, int shift);

struct FixedGrid {
    int shift = 0;        // x held as round(x * 2^shift)
    bool wide = false;    // 128-bit value sums (int64 does not hold every sum exactly)
    int spreadShift = 0;  // a row's squared distance e held as round(e * 2^spreadShift)
    float maxAbs = 0;     // the data's largest |x|
};

// The grid of a run over `rows` rows (all processes together) of d values up to
// maxAbs, `exact` when they all lie on the narrow grid, and centres that start no
// further than maxCentre from zero in any coordinate.
FixedGrid choose_grid(float maxAbs, bool exact, double rows, int d, float maxCentre);

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

    // Adds the `count` augmented rows whose nearest centre (nearest[i]) lies in
    // [first, last) to that cluster: values, spread against its row of `centres`,
    // and 1 to its count. Threads that add the same rows with disjoint cluster ranges
    // touch disjoint accumulators.
    void addRows(const float* rows, int count, const int* nearest, const float* centres, int first,
                 int last);

    // Ends a pass's additions: every partial 64-bit sum of a wide grid is carried into
    // its 128-bit total. The totals are then sums() (narrow) or wideSums() (wide),
    // spreads() and counts(), ready to be added to another part's or process's.
    void settle();
    // Adds another settled part's totals (same k, d and grid) into these.
    void add(const ExactSums& other);
    std::int64_t* sums() { return low_; }   // k*d, narrow
    int128* wideSums() { return high_; }    // k*d, wide (null when narrow)
    int128* spreads() { return spreads_; }  // k
    int* counts() { return counts_; }       // k
    std::size_t values() const { return std::size_t(k_) * std::size_t(d_); }
    int clusters() const { return k_; }
    int dims() const { return d_; }

    // The update step of cluster c with `members` (> 0) members, after settle():
    // moves the augmented centre row to the members' mean (each value rounded once to
    // float, norm column rebuilt) and returns the members' summed squared distance to
    // the moved centre, never negative.
    double moveCentre(int c, int members, float* centre) const;

    // Zeroes every accumulator for the next pass.
    void clear();

private:
    void release();
    void carry(int c);  // a wide cluster's partial sums into its totals

    FixedGrid grid_;
    int k_ = 0;
    int d_ = 0;
    std::int64_t* low_ = nullptr;  // k*d: the sums (narrow), partial sums (wide)
    int128* high_ = nullptr;       // k*d: the totals (wide only)
    int128* spreads_ = nullptr;    // k
    int* counts_ = nullptr;        // k
    int* pending_ = nullptr;       // k: rows in low_ since the last carry (wide only)
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

#endif  // KMEANS_EXACT_SUMS_H
