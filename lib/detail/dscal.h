// dscal.h - the engine's own cblas_dscal: x[i * incx] *= alpha for i = 0 .. n-1, the
// offsets taken in elements from x itself (a negative stride walks backwards from x,
// unlike BLAS, which ignores a stride <= 0). n <= 0 changes nothing. Defined in
// sampler.cpp; no program calls it.
//
// It bears the BLAS routine's name and parameter list on purpose. Declared in the
// engine's namespace, it is a routine of its own, with C++ linkage and a symbol of its
// own: it may share a unit with <cblas.h>, and it never replaces the library's routine.
#ifndef KMEANS_DSCAL_H
#define KMEANS_DSCAL_H

namespace kmeans::detail {

void cblas_dscal(int n, double alpha, double* x, int incx);

}  // namespace kmeans::detail

#endif  // KMEANS_DSCAL_H
