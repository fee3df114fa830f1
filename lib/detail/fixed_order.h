// fixed_order.h - the engine's own reductions, summed in double in one fixed order
// (index 0 upwards), so that the centre norms, the distances that decide a nearest
// centre and the update step round the same way on every machine, whatever BLAS the
// program links. Compiled with -ffp-contract=off: no compiler may fuse a multiply
// and an add here on one target and not on another.
#ifndef KMEANS_FIXED_ORDER_H
#define KMEANS_FIXED_ORDER_H

namespace kmeans::detail {

// Sum of v[t]^2, t = 0 .. d-1, in double, in that order. Each square of a float is
// exact in double (48 significant bits); only the d-1 additions round.
double squared_norm(const float* v, int d);

// The norm column of an augmented centre row: squared_norm rounded once to float.
float norm_column(const float* c, int d);

// Sum of (x[t] - c[t])^2, t = 0 .. d-1, each difference and square formed in double,
// summed in that order: the distance that defines a row's nearest centre.
double squared_distance(const float* x, const float* c, int d);

}  // namespace kmeans::detail

#endif  // KMEANS_FIXED_ORDER_H
