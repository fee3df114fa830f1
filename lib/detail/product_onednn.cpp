// product_onednn.cpp - the score product through oneDNN's sgemm, whose JIT kernels
// follow the CPU's own instruction set (AVX-512 where there is one), whatever
// OPENBLAS_CORETYPE says.
//
// Debian's oneDNN runs on OpenMP. Each worker of the search asks for a team of one
// before its first product, so no OpenMP team ever starts: the product runs on the
// worker itself, and -p stays the only thread count.
#include <dnnl.h>
#include <omp.h>
#include <sys/mman.h>

#include <cstddef>

#include "detail/product.h"

namespace kmeans::detail {

bool score_product(int m, int n, int k, const float* a, int lda, const float* b, int ldb, float* c,
                   int ldc) {
    thread_local bool alone = false;
    if (!alone) {
        omp_set_num_threads(1);  // this thread's own setting: one per worker
        alone = true;
    }
    return dnnl_sgemm('N', 'T', m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c, ldc) == dnnl_success;
}

// oneDNN generates its kernels at the first product, and crashes when the memory for
// them cannot be had (under an address-space limit, say). So the first product runs
// here, on the calling thread, once a mapping of ample room for the kernels and for
// every worker's packing buffers has been shown to succeed.
bool score_product_reserve(int workers) {
    static bool warm = false;
    const std::size_t room =
        (std::size_t(64) << 20) + std::size_t(workers) * (std::size_t(16) << 20);
    void* probe = mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED) return false;
    munmap(probe, room);
    if (!warm) {
        float a[16 * 16] = {};
        float c[16 * 16];
        warm = score_product(16, 16, 16, a, 16, a, 16, c, 16);
    }
    return warm;
}

// Each worker's first product asks for an OpenMP team of one (score_product).
void score_product_single_thread() {}

bool score_product_concurrent() { return true; }

const char* score_product_library() { return "oneDNN"; }

}  // namespace kmeans::detail
