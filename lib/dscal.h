// dscal.h - the engine's own cblas_dscal: x[i * incx] *= alpha for i = 0 .. n-1, the
// offsets taken in elements from x itself (a negative stride walks backwards from x,
// unlike BLAS, which ignores a stride <= 0). n <= 0 changes nothing. Defined in
// sampler.cpp; no program calls it.
//
// It bears the BLAS routine's name and parameter list on purpose, which is why it has a
// header of its own that must never share a translation unit with <cblas.h>:
// - declared as here (C++ linkage) in a unit that also sees the extern "C" declaration
//   of <cblas.h>, the two differ only in language linkage, which does not compile;
// - defined in a unit that includes <cblas.h>, it would take C linkage and silently
//   replace the library's symbol at link time.
// So sampler.cpp never includes <cblas.h> and the routine gets a C++-mangled symbol of
// its own. Keeping the declaration out of sampler.h lets sampler.h be included
// anywhere, in any order with <cblas.h> (kmeans.cpp needs both); a guard on the
// macro in sampler.h would only have worked when <cblas.h> came first.
#ifndef KMEANS_DSCAL_H
#define KMEANS_DSCAL_H

#ifdef CBLAS_H
#error "dscal.h declares the engine's own cblas_dscal and cannot follow <cblas.h>"
#endif

void cblas_dscal(int n, double alpha, double* x, int incx);

#endif  // KMEANS_DSCAL_H
