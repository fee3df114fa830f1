// product.h - the score product, the engine's one matrix product: for a tile of m
// augmented rows a (stride lda) and n augmented centre rows b (stride ldb), each k
// floats long, c = a * b^T (m x n floats, stride ldc) in single precision.
//
// One library computes it, chosen when the build is configured (KMEANS_GEMM): oneDNN
// (product_onednn.cpp) or OpenBLAS through CBLAS (product_openblas.cpp). Whichever
// it is, the product runs on the calling thread only - the search's workers are the
// only threads - and its rounding does not matter: the scores only filter, within a
// bound that holds for any summation order (search.cpp), so every library gives the
// same nearest centres, the same model and the same bytes.
#ifndef KMEANS_PRODUCT_H
#define KMEANS_PRODUCT_H

#include <cstdint>
#include <memory>

namespace kmeans::detail {

// False when the library could not compute it (short of memory for its own
// scratch); c is then undefined and the caller measures the tile another way.
bool score_product(int m, int n, int k, const float* a, int lda, const float* b, int ldb, float* c,
                   int ldc);

// Takes, before any worker calls score_product, what the library needs for `workers`
// products at once, while a shortage can still be reported: false (nothing kept)
// when the address space cannot hold it. Call it from one thread, before the
// workers start.
bool score_product_reserve(int workers);

// Keeps the library from computing a product on threads of its own: every product
// runs on the worker that asks for it. Called by every search; cheap after the first
// time.
void score_product_single_thread();

// False when several threads may not call score_product at once: OpenBLAS's
// sequential build, whose products share buffers without a lock (two threads get
// wrong scores). Its pthread and OpenMP builds, the other CBLAS and oneDNN are safe.
bool score_product_concurrent();

// "oneDNN" or "OpenBLAS": what computes the product, for logs and benchmarks.
const char* score_product_library();

// The bf16 score product, where the CPU multiplies bf16 in hardware (AMX or
// AVX512-BF16, as oneDNN reports it): m rows a (bf16 bits, stride lda) by n centre
// rows b (stride ldb), k values each, accumulated in float, plus bias[j] for column
// j: c = a * b^T + bias (m x n floats, stride ldc). The products of two bf16 values
// are exact in float, so only the accumulation rounds, in whatever order the kernel
// takes (search.cpp bounds it). False when it could not be computed (no bf16 unit,
// a library without one, or no memory), c then undefined; runs on the calling thread.
bool bf16_score_product(int m, int n, int k, const std::uint16_t* a, int lda,
                        const std::uint16_t* b, int ldb, const float* bias, float* c, int ldc);

// Centre rows packed once into the layout of the bf16 product's kernel, so that the
// products of many tiles against them do not each repack them.
struct Bf16Packed;
struct Bf16PackedDeleter {
    void operator()(Bf16Packed* p) const;
};
using Bf16PackedRows = std::unique_ptr<Bf16Packed, Bf16PackedDeleter>;

// Packs n centre rows b (k bf16 values each, stride ldb) for products of m rows; null
// when the library cannot (no bf16 unit, no memory), the plain rows then serve.
Bf16PackedRows bf16_pack(int m, int n, int k, const std::uint16_t* b, int ldb);

// bf16_score_product against packed rows (of the same n and k; any m up to the one
// they were packed for), into c with stride n. False when it could not be computed
// that way: the caller uses the plain rows.
bool bf16_score_product_packed(int m, int n, int k, const std::uint16_t* a, int lda,
                               const Bf16Packed& b, const float* bias, float* c);

// True where bf16_score_product runs on a bf16 unit of this CPU.
bool bf16_product_native();

// The kernel bf16_score_product runs for an m x k by k x n product
// ("brg:avx512_core_amx_bf16"), or "none": for logs and benchmarks.
const char* bf16_product_kernel(int m, int n, int k);

}  // namespace kmeans::detail

#endif
