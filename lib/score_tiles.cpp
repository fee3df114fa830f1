// score_tiles.cpp - the arithmetic of the nearest-centre search, shared by both
// search variants: scores from sgemm tile by tile, each tile's argmax taken while
// its scores are still in cache.
//
// Every sgemm call has a multiple of kSmallTile rows, a multiple of every row
// unroll of the BLAS kernels. OpenBLAS rounds a row's scores differently depending
// on how many rows its call has (edge kernels), so with calls of arbitrary size the
// same row could get a different nearest centre under another block size or worker
// count. The last rows of a slice go in one call rounded up to a multiple of
// kSmallTile, through a copy whose extra rows are zero.
//
// The argmax of a tile reads its scores while they are still in cache. A large
// call's scores (a training block) land in a private tile buffer and are streamed
// to the caller's matrix, which is never read back; a small call's (a descriptor
// file) go straight to the caller's matrix, whose few megabytes stay cached.
#include <cblas.h>

#include <cstdint>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#include <memory>
#include <new>

#include "kmeans.h"

// Index of the largest of k scores; strict '>' so equal scores keep the lowest
// index and a NaN never wins (a NaN in column 0 keeps index 0).
static int best_of_scalar(const float* s, int k) {
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

#if defined(__x86_64__) || defined(__i386__)
// The same choice in two vector passes: the largest value that is not a NaN, then
// the first index holding a value equal to it. Starting from s[0] (not a NaN),
// maxps(v, m) keeps m when v is a NaN, and == treats -0 and +0 as one value, just
// as the scalar loop's '>' does; so both loops return the same index.
__attribute__((target("avx2"))) static int best_of_avx2(const float* s, int k) {
    if (k < 16 || s[0] != s[0]) return best_of_scalar(s, k);
    __m256 m = _mm256_set1_ps(s[0]);
    int j = 0;
    for (; j + 8 <= k; j += 8) m = _mm256_max_ps(_mm256_loadu_ps(s + j), m);
    float lanes[8];
    _mm256_storeu_ps(lanes, m);
    float best = lanes[0];
    for (int l = 1; l < 8; ++l)
        if (lanes[l] > best) best = lanes[l];
    for (; j < k; ++j)
        if (s[j] > best) best = s[j];
    const __m256 target = _mm256_set1_ps(best);
    for (j = 0; j + 8 <= k; j += 8) {
        const int mask = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(s + j), target, _CMP_EQ_OQ));
        if (mask != 0) return j + __builtin_ctz(unsigned(mask));
    }
    for (; j < k; ++j)
        if (s[j] == best) return j;
    return 0;  // not reached: best is one of the values
}

// The same two passes, sixteen lanes at a time. (GCC 12 warns about the undefined
// pass-through operand inside _mm512_max_ps; it is never read.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f"))) static int best_of_avx512(const float* s, int k) {
    if (k < 32 || s[0] != s[0]) return best_of_scalar(s, k);
    __m512 m = _mm512_set1_ps(s[0]);
    int j = 0;
    for (; j + 16 <= k; j += 16) m = _mm512_max_ps(_mm512_loadu_ps(s + j), m);
    float lanes[16];
    _mm512_storeu_ps(lanes, m);
    float best = lanes[0];
    for (int l = 1; l < 16; ++l)
        if (lanes[l] > best) best = lanes[l];
    for (; j < k; ++j)
        if (s[j] > best) best = s[j];
    const __m512 target = _mm512_set1_ps(best);
    for (j = 0; j + 16 <= k; j += 16) {
        const unsigned mask = _mm512_cmp_ps_mask(_mm512_loadu_ps(s + j), target, _CMP_EQ_OQ);
        if (mask != 0) return j + __builtin_ctz(mask);
    }
    for (; j < k; ++j)
        if (s[j] == best) return j;
    return 0;  // not reached: best is one of the values
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

static int best_of(const float* s, int k) {
    static const int level = __builtin_cpu_supports("avx512f") ? 2
                             : __builtin_cpu_supports("avx2") ? 1
                                                              : 0;
    switch (level) {
    case 2: return best_of_avx512(s, k);
    case 1: return best_of_avx2(s, k);
    default: return best_of_scalar(s, k);
    }
}
#else
static int best_of(const float* s, int k) { return best_of_scalar(s, k); }
#endif

static void score_block(const float* rows, int lda, int k, const float* centers, float* out,
                        int m) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, k, lda, 1.0f, rows, lda, centers, lda,
                0.0f, out, k);
}

// Copies a tile of scores to the caller's matrix. When a call's scores are too many
// to stay in cache anyway (a training block), they go out with streaming stores: no
// cache line is read for ownership and the tile buffer stays in cache for the next
// sgemm. A small call's padded tail is copied plainly.
constexpr std::size_t kStreamFloats = std::size_t(1) << 23;  // 32 MB of scores
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) static void stream_copy_avx2(float* dst, const float* src,
                                                             std::size_t count) {
    std::size_t i = 0;
    while (i < count && (reinterpret_cast<std::uintptr_t>(dst + i) & 31) != 0) {
        dst[i] = src[i];
        ++i;
    }
    for (; i + 8 <= count; i += 8) _mm256_stream_ps(dst + i, _mm256_loadu_ps(src + i));
    for (; i < count; ++i) dst[i] = src[i];
}

static void copy_scores(float* dst, const float* src, std::size_t count, bool stream) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (stream && avx2) stream_copy_avx2(dst, src, count);
    else std::memcpy(dst, src, sizeof(float) * count);
}

static void finish_copies() { _mm_sfence(); }  // streaming stores are weakly ordered
#else
static void copy_scores(float* dst, const float* src, std::size_t count, bool) {
    std::memcpy(dst, src, sizeof(float) * count);
}
static void finish_copies() {}
#endif

bool score_tiles(const float* rows, int count, int d, int k, const float* centers, float* scores,
                 int* nearest) {
    if (count <= 0 || k <= 0) return true;
    const std::size_t stride = std::size_t(d) + 1;
    const std::size_t kk = std::size_t(k);
    // Tile rows: kScoreTile, fewer for many centres so that a tile of scores stays
    // about 1.5 MB (in cache, and a bounded cost per worker); always a multiple of
    // kSmallTile, so every call size stays one the kernels round alike.
    int tileRows = int((std::size_t(1) << 19) / kk) / kSmallTile * kSmallTile;
    if (tileRows > kScoreTile) tileRows = kScoreTile;
    if (tileRows < kSmallTile) tileRows = kSmallTile;
    const std::size_t tileScores = std::size_t(tileRows) * kk;
    const int lda = d + 1;

    // One tile of scores (tileRows x k floats, 1.5 MB for k = 1000) that stays in
    // cache from the sgemm to the argmax, and room for a zero-padded copy of a
    // slice's last rows.
    std::unique_ptr<float[]> buffer(
        new (std::nothrow) float[tileScores + std::size_t(tileRows) * stride]);
    if (!buffer) {
        // Short of memory: score straight into the caller's matrix in one call.
        if (scores == nullptr) return false;
        score_block(rows, lda, k, centers, scores, count);
        for (int i = 0; i < count; ++i) nearest[i] = best_of(scores + std::size_t(i) * kk, k);
        return true;
    }
    float* tile = buffer.get();
    float* pad = tile + tileScores;
    // Large tiles while they fill, then the rest in one call rounded up to a
    // multiple of kSmallTile: a short slice wastes fewer than kSmallTile rows.
    const bool stream = std::size_t(count) * kk >= kStreamFloats;
    for (int first = 0; first < count;) {
        const int left = count - first;
        const int size = left < tileRows ? left : tileRows;
        const int m = (size + kSmallTile - 1) / kSmallTile * kSmallTile;
        const float* a = rows + std::size_t(first) * stride;
        if (size < m) {
            std::memcpy(pad, a, sizeof(float) * std::size_t(size) * stride);
            std::memset(pad + std::size_t(size) * stride, 0,
                        sizeof(float) * std::size_t(m - size) * stride);
            a = pad;
        }
        // A small call's scores go straight to the caller's matrix (a few cached
        // megabytes, rewritten call after call); a large call's, or a padded tile's,
        // go through the cached tile, and a large call's are streamed out.
        float* out = (scores && !stream && m == size) ? scores + std::size_t(first) * kk : tile;
        score_block(a, lda, k, centers, out, m);
        for (int i = 0; i < size; ++i)
            nearest[std::size_t(first) + std::size_t(i)] = best_of(out + std::size_t(i) * kk, k);
        if (scores && out == tile)
            copy_scores(scores + std::size_t(first) * kk, tile, std::size_t(size) * kk, stream);
        first += size;
    }
    finish_copies();
    return true;
}
