// product_openblas.cpp - the score product through CBLAS: OpenBLAS (its pthread build,
// kept on the calling thread by blas_single_thread in search.cpp), or any other CBLAS
// such as Debian's reference BLAS.
#include <cblas.h>

#include "product.h"
#include "product_scratch.h"

bool score_product(int m, int n, int k, const float* a, int lda, const float* b, int ldb, float* c,
                   int ldc) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c,
                ldc);
    return true;
}

// OpenBLAS's buffer pool, filled while a failure can be reported (product_scratch.h).
bool score_product_reserve(int workers) { return reserve_product_scratch(workers); }

const char* score_product_library() { return "OpenBLAS"; }
