// product_openblas.cpp - the score product through CBLAS: OpenBLAS (its pthread build,
// kept on the calling thread, below), or any other CBLAS such as
// Debian's reference BLAS.
#include <cblas.h>

#include "detail/product.h"
#include "detail/product_scratch.h"

// OpenBLAS's own switches, weak: the reference BLAS links too, and computes on the
// calling thread anyway. (Its loader's threads: openblas_preinit.cpp.)
extern "C" void openblas_set_num_threads(int) __attribute__((weak));

// 0 for OpenBLAS's sequential build, 1 for its pthread build, 2 for OpenMP.
extern "C" int openblas_get_parallel() __attribute__((weak));

namespace kmeans::detail {

bool score_product(int m, int n, int k, const float* a, int lda, const float* b, int ldb, float* c,
                   int ldc) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c,
                ldc);
    return true;
}

bool score_product_concurrent() {
    return openblas_get_parallel == nullptr || openblas_get_parallel() != 0;
}

void score_product_single_thread() {
    static const bool done = [] {
        if (openblas_set_num_threads != nullptr) openblas_set_num_threads(1);
        return true;
    }();
    (void)done;
}

// OpenBLAS's buffer pool, filled while a failure can be reported (product_scratch.h).
bool score_product_reserve(int workers) { return reserve_product_scratch(workers); }

const char* score_product_library() { return "OpenBLAS"; }

// OpenBLAS as Debian builds it has no bf16 product: the search filters in float.
bool bf16_score_product(int, int, int, const std::uint16_t*, int, const std::uint16_t*, int,
                        const float*, float*, int) {
    return false;
}
bool bf16_product_native() { return false; }
struct Bf16Packed {};
void Bf16PackedDeleter::operator()(Bf16Packed* p) const { delete p; }
Bf16PackedRows bf16_pack(int, int, int, const std::uint16_t*, int) { return nullptr; }
bool bf16_score_product_packed(int, int, int, const std::uint16_t*, int, const Bf16Packed&,
                               const float*, float*) {
    return false;
}
const char* bf16_product_kernel(int, int, int) { return "none"; }

}  // namespace kmeans::detail
