// fixed_order.h - the engine's own reductions, summed in double in one fixed order
// (index 0 upwards), so that the centre norms, the distances that decide a nearest
// centre and the update step round the same way on every machine, whatever BLAS the
// program links. Compiled with -ffp-contract=off: no compiler may fuse a multiply
// and an add here on one target and not on another.
#ifndef KMEANS_FIXED_ORDER_H
#define KMEANS_FIXED_ORDER_H

#include <cstddef>

namespace kmeans::detail {

// Sum of v[t]^2, t = 0 .. d-1, in double, in that order. Each square of a float is
// exact in double (48 significant bits); only the d-1 additions round.
double squared_norm(const float* v, int d);

// The norm column of an augmented centre row: squared_norm rounded once to float.
float norm_column(const float* c, int d);

// Sum of (x[t] - c[t])^2, t = 0 .. d-1, each difference and square formed in double,
// summed in that order: the distance that defines a row's nearest centre.
double squared_distance(const float* x, const float* c, int d);

// The same distance from x to m rows at once: out[c] = squared_distance(x, row c) bit for
// bit (the same operations on each row, in the same order), the rows given transposed:
// value t of row c at rowsT[t * ld + c]. Several rows go through one vector register;
// the AVX2 build is taken where the CPU has it, and both builds can be named.
void squared_distances_transposed(const float* rowsT, std::size_t ld, int m, const float* x, int d,
                                  double* out);
void squared_distances_transposed_plain(const float* rowsT, std::size_t ld, int m, const float* x,
                                        int d, double* out);
#if defined(__x86_64__) || defined(__i386__)
void squared_distances_transposed_avx2(const float* rowsT, std::size_t ld, int m, const float* x,
                                       int d, double* out);
#endif

// out[i] = squared_distance(row i, centre which[i]) for rows i < n (strides in floats),
// four rows' sums carried at once (each in its own order, as squared_distance).
void squared_distances_paired(const float* rows, std::size_t rowStride, int n, const float* centres,
                              std::size_t centreStride, const int* which, int d, double* out);

}  // namespace kmeans::detail

#endif  // KMEANS_FIXED_ORDER_H
