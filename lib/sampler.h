// sampler.h - random draws for the engine: a uniform integer below n, a unit real in
// [0, 1), m distinct indices out of n, and m indices drawn through the inverse of the
// cumulative distribution of a table of probabilities or of frequencies.
//
// Sampler has static routines only and keeps nothing between calls. All randomness is
// libc's process-wide generator: one rand() per attempt, in a fixed order, so that a
// seed reproduces the same output on the same libc; srand() is called only by the two
// uniform routines that take a seed, and only when that seed is not -1. No routine
// reads the clock. Not for concurrent use: callers on several threads would interleave
// one random sequence.
//
// The unit real of one draw is u = r * 2^-31 for r = rand() in 0 .. 2^31 - 1, so
// u <= 1 - 2^-31 < 1. A uniform integer below n is trunc(r / (2^31 / n)), never r % n.
//
// Costs: the draw without replacement keeps n int marks and makes about
// n * (1/n + ... + 1/(n-m+1)) attempts; a table draw builds two n-double work arrays
// (normalised table, cumulative table) in O(n) and then costs O(log n) per draw.
//
// Refused requests print "Cannot sampling. Please support pmf or frequencies' table !"
// on std::cerr and leave the output, the generator and everything else untouched.
//
// The engine's strided cblas_dscal is an internal routine (detail/dscal.h).
#ifndef KMEANS_SAMPLER_H
#define KMEANS_SAMPLER_H

namespace kmeans {

class Sampler {
public:
    Sampler() = delete;  // no instances: the only state is the libc generator

    // One rand(): trunc(r / (2^31 / n)), in 0 .. n-1 for n >= 1. n <= 0 is not
    // checked (n = 0 yields 0, a negative n a value in n+1 .. 0).
    static int random(int n);

    // One rand(): r * 2^-31, in [0, 1 - 2^-31].
    static double random();

    // Reseeds with `seed` unless it is -1, then writes m unit reals, one rand() each,
    // to out[0 .. m-1] in order. m <= 0 writes nothing (the reseed still happens).
    static void sample(double* out, int m, int seed);

    // One unit real through the inverse-CDF search of the cumulative table cdf[0 .. n-1]
    // (non-decreasing, last entry about 1): the smallest i with u < cdf[i], n-1 when u
    // is not below the last entry, and the current upper bound when u equals a midpoint
    // entry exactly. A null table or n <= 0 is refused: message, result 0, no rand().
    static int random(double const* cdf, int n);

    // m distinct indices in 0 .. n-1 into out[0 .. m-1], in draw order, by rejection:
    // reseeds unless seed is -1, then one rand() per attempt until an index not yet
    // taken comes up. `replacement` has no effect: the indices are always distinct.
    // m > n (with m > 0) could never finish, so it is refused before any reseed:
    // message, nothing drawn. m <= 0 draws nothing (after the reseed).
    static void sample(int n, int* out, int m, bool replacement, int seed);

    // m indices into out[0 .. m-1], each through the inverse-CDF search of one unit real
    // over the normalised probability table pmf[0 .. n-1]. Prints the normalised table
    // ("pmf normalized =\t", then " value" per entry) on std::cout first. Always draws
    // with replacement; `replacement` and `seed` are ignored (never reseeds).
    // Returns 1, or 0 when refused: null table or n <= 0.
    static int sample(double const* pmf, int n, int* out, int m, bool replacement, int seed);

    // As above over the normalised frequency table freq[0 .. n-1], silently. With
    // `replacement` false the search repeats, one rand() per attempt, until it yields an
    // index not yet taken. `seed` is ignored (never reseeds). Returns 1, or 0 when
    // refused: null table, n <= 0, or, without replacement, n < m, fewer than m strictly
    // positive weights, or a total that is not positive (rejection could never finish).
    static int sample(int const* freq, int n, int* out, int m, bool replacement, int seed);
};

}  // namespace kmeans

#endif  // KMEANS_SAMPLER_H
