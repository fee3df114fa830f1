// score_tiles.cpp - the arithmetic of the nearest-centre search, shared by both
// search variants: scores from sgemm tile by tile, each tile's argmax taken while
// its scores are still in cache.
//
// Every sgemm call has exactly kScoreTile rows. OpenBLAS rounds a row's scores
// differently depending on how many rows its call has (edge kernels), so with
// calls of varying size the same row could get a different nearest centre under
// another block size or worker count. A tail shorter than a tile is copied into a
// zero-padded tile of its own; its scores are copied back to the caller's matrix.
#include <cblas.h>

#include <cstring>
#include <memory>
#include <new>

#include "kmeans.h"

// Index of the largest of k scores; strict '>' so equal scores keep the lowest
// index and a NaN never wins (a NaN in column 0 keeps index 0).
static inline int best_of(const float* s, int k) {
    float best = s[0];
    int index = 0;
    for (int j = 1; j < k; ++j) {
        if (s[j] > best) {
            best = s[j];
            index = j;
        }
    }
    return index;
}

static void score_block(const float* rows, int lda, int k, const float* centers, float* out,
                        int m) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, k, lda, 1.0f, rows, lda, centers, lda,
                0.0f, out, k);
}

void score_tiles(const float* rows, int count, int d, int k, const float* centers, float* scores,
                 int* nearest) {
    if (count <= 0 || k <= 0) return;
    const std::size_t stride = std::size_t(d) + 1;
    const std::size_t kk = std::size_t(k);
    const int lda = d + 1;
    const int full = count / kScoreTile;
    const int tail = count % kScoreTile;

    // Without a caller's score matrix (a silent pass), one tile of scratch serves.
    std::unique_ptr<float[]> own;
    if (scores == nullptr) {
        own.reset(new (std::nothrow) float[std::size_t(kScoreTile) * kk]);
        if (!own) return;
    }
    for (int t = 0; t < full; ++t) {
        const std::size_t first = std::size_t(t) * kScoreTile;
        float* out = scores ? scores + first * kk : own.get();
        score_block(rows + first * stride, lda, k, centers, out, kScoreTile);
        for (int i = 0; i < kScoreTile; ++i)
            nearest[first + std::size_t(i)] = best_of(out + std::size_t(i) * kk, k);
    }
    if (tail == 0) return;

    const std::size_t first = std::size_t(full) * kScoreTile;
    std::unique_ptr<float[]> pad(new (std::nothrow) float[std::size_t(kScoreTile) * (stride + kk)]);
    if (!pad) {
        // No room for a padded tile: score the tail in a call of its own size.
        float* out = scores ? scores + first * kk : own.get();
        score_block(rows + first * stride, lda, k, centers, out, tail);
        for (int i = 0; i < tail; ++i)
            nearest[first + std::size_t(i)] = best_of(out + std::size_t(i) * kk, k);
        return;
    }
    float* a = pad.get();
    float* c = a + std::size_t(kScoreTile) * stride;
    std::memcpy(a, rows + first * stride, sizeof(float) * std::size_t(tail) * stride);
    std::memset(a + std::size_t(tail) * stride, 0,
                sizeof(float) * std::size_t(kScoreTile - tail) * stride);
    score_block(a, lda, k, centers, c, kScoreTile);
    for (int i = 0; i < tail; ++i)
        nearest[first + std::size_t(i)] = best_of(c + std::size_t(i) * kk, k);
    if (scores)
        std::memcpy(scores + first * kk, c, sizeof(float) * std::size_t(tail) * kk);
}
