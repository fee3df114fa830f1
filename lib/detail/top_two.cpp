// top_two.cpp - the scalar scan and its AVX2 / AVX-512 twins.
//
// The vector scans keep, per lane, the largest value (hi) and the largest value seen
// beside it (lo): lo = max(lo, min(hi, s)), then hi = max(hi, s). x86 min/max return
// their second operand when either is a NaN, so a NaN score leaves hi alone
// (max(s, hi) gives hi) and leaves lo alone (min(hi, s) gives the NaN, and
// max(NaN, lo) gives lo). The lanes' pairs are then merged in registers, the tail
// goes through the scalar step, and a second vector pass finds the first index that
// holds the best value.
#include "detail/top_two.h"

#include <limits>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kmeans::detail {

namespace {

constexpr float kMinusInf = -std::numeric_limits<float>::infinity();

// One value into a running (best, second) pair; the strict '>' keeps the first
// index of the best value and lets NaNs through untouched.
inline void take(float v, int j, TopTwo& t) {
    if (v > t.best) {
        t.second = t.best;
        t.best = v;
        t.index = j;
    } else if (v > t.second) {
        t.second = v;
    }
}

// The first index from `from` on that holds `best` (-1 when none does).
int first_of(const float* s, int from, int k, float best) {
    for (int j = from; j < k; ++j)
        if (s[j] == best) return j;
    return -1;
}

}  // namespace

TopTwo top_two_scalar(const float* s, int k) {
    TopTwo t{-1, kMinusInf, kMinusInf};
    for (int j = 0; j < k; ++j) take(s[j], j, t);
    if (t.index < 0) t.best = t.second = kMinusInf;
    return t;
}

#if defined(__x86_64__) || defined(__i386__)
// Merging two lanes' pairs (a, b) is exact for the multiset of both: the larger hi,
// and the larger of both lo and the smaller hi. hi and lo are never NaN (they start
// at -inf and a NaN never enters), so plain min/max serve.
#define KMEANS_MERGE_PAIRS(max, min, hi, lo, hiB, loB) \
    do {                                               \
        lo = max(max(lo, loB), min(hi, hiB));          \
        hi = max(hi, hiB);                             \
    } while (0)

// Ends a vector scan: the reduced pair in lane 0, the scalar tail s[j..k), then the
// first index holding the best value (a vector pass from 0, the rest scalar).
#define KMEANS_FINISH_SCAN(W, load, eq_mask, hi, lo, cvt)             \
    TopTwo t{-1, cvt(hi), cvt(lo)};                                   \
    for (; j < k; ++j) take(s[j], j, t);                              \
    if (t.best == kMinusInf) return TopTwo{-1, kMinusInf, kMinusInf}; \
    for (j = 0; j + W <= k; j += W) {                                 \
        const unsigned mask = eq_mask(load(s + j), t.best);           \
        if (mask != 0) {                                              \
            t.index = j + __builtin_ctz(mask);                        \
            return t;                                                 \
        }                                                             \
    }                                                                 \
    t.index = first_of(s, j, k, t.best);                              \
    return t;

__attribute__((target("avx2"))) inline unsigned eq_mask_avx2(__m256 v, float best) {
    return unsigned(_mm256_movemask_ps(_mm256_cmp_ps(v, _mm256_set1_ps(best), _CMP_EQ_OQ)));
}

// Two (hi, lo) pairs for two independent dependency chains, then one.
__attribute__((target("avx2"))) TopTwo top_two_avx2(const float* s, int k) {
    __m256 hi = _mm256_set1_ps(kMinusInf);
    __m256 lo = hi;
    __m256 hi1 = hi;
    __m256 lo1 = hi;
    int j = 0;
    for (; j + 16 <= k; j += 16) {
        const __m256 v0 = _mm256_loadu_ps(s + j);
        const __m256 v1 = _mm256_loadu_ps(s + j + 8);
        lo = _mm256_max_ps(_mm256_min_ps(hi, v0), lo);
        hi = _mm256_max_ps(v0, hi);
        lo1 = _mm256_max_ps(_mm256_min_ps(hi1, v1), lo1);
        hi1 = _mm256_max_ps(v1, hi1);
    }
    if (j + 8 <= k) {
        const __m256 v = _mm256_loadu_ps(s + j);
        lo = _mm256_max_ps(_mm256_min_ps(hi, v), lo);
        hi = _mm256_max_ps(v, hi);
        j += 8;
    }
    KMEANS_MERGE_PAIRS(_mm256_max_ps, _mm256_min_ps, hi, lo, hi1, lo1);
    // Halves, then pairs, then neighbours: lane 0 ends with the pair of all lanes.
    __m256 hiB = _mm256_permute2f128_ps(hi, hi, 1);
    __m256 loB = _mm256_permute2f128_ps(lo, lo, 1);
    KMEANS_MERGE_PAIRS(_mm256_max_ps, _mm256_min_ps, hi, lo, hiB, loB);
    hiB = _mm256_permute_ps(hi, _MM_SHUFFLE(1, 0, 3, 2));
    loB = _mm256_permute_ps(lo, _MM_SHUFFLE(1, 0, 3, 2));
    KMEANS_MERGE_PAIRS(_mm256_max_ps, _mm256_min_ps, hi, lo, hiB, loB);
    hiB = _mm256_permute_ps(hi, _MM_SHUFFLE(2, 3, 0, 1));
    loB = _mm256_permute_ps(lo, _MM_SHUFFLE(2, 3, 0, 1));
    KMEANS_MERGE_PAIRS(_mm256_max_ps, _mm256_min_ps, hi, lo, hiB, loB);
    KMEANS_FINISH_SCAN(8, _mm256_loadu_ps, eq_mask_avx2, hi, lo, _mm256_cvtss_f32)
}

// (GCC 12 warns about the undefined pass-through operand inside the AVX-512 min and
// max intrinsics; it is never read.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
__attribute__((target("avx512f"))) inline unsigned eq_mask_avx512(__m512 v, float best) {
    return unsigned(_mm512_cmp_ps_mask(v, _mm512_set1_ps(best), _CMP_EQ_OQ));
}

__attribute__((target("avx512f"))) TopTwo top_two_avx512(const float* s, int k) {
    __m512 hi = _mm512_set1_ps(kMinusInf);
    __m512 lo = hi;
    __m512 hi1 = hi;
    __m512 lo1 = hi;
    int j = 0;
    for (; j + 32 <= k; j += 32) {
        const __m512 v0 = _mm512_loadu_ps(s + j);
        const __m512 v1 = _mm512_loadu_ps(s + j + 16);
        lo = _mm512_max_ps(_mm512_min_ps(hi, v0), lo);
        hi = _mm512_max_ps(v0, hi);
        lo1 = _mm512_max_ps(_mm512_min_ps(hi1, v1), lo1);
        hi1 = _mm512_max_ps(v1, hi1);
    }
    if (j + 16 <= k) {
        const __m512 v = _mm512_loadu_ps(s + j);
        lo = _mm512_max_ps(_mm512_min_ps(hi, v), lo);
        hi = _mm512_max_ps(v, hi);
        j += 16;
    }
    KMEANS_MERGE_PAIRS(_mm512_max_ps, _mm512_min_ps, hi, lo, hi1, lo1);
    // 256-bit halves, 128-bit quarters, then pairs and neighbours within each.
    __m512 hiB = _mm512_shuffle_f32x4(hi, hi, _MM_SHUFFLE(1, 0, 3, 2));
    __m512 loB = _mm512_shuffle_f32x4(lo, lo, _MM_SHUFFLE(1, 0, 3, 2));
    KMEANS_MERGE_PAIRS(_mm512_max_ps, _mm512_min_ps, hi, lo, hiB, loB);
    hiB = _mm512_shuffle_f32x4(hi, hi, _MM_SHUFFLE(2, 3, 0, 1));
    loB = _mm512_shuffle_f32x4(lo, lo, _MM_SHUFFLE(2, 3, 0, 1));
    KMEANS_MERGE_PAIRS(_mm512_max_ps, _mm512_min_ps, hi, lo, hiB, loB);
    hiB = _mm512_permute_ps(hi, _MM_SHUFFLE(1, 0, 3, 2));
    loB = _mm512_permute_ps(lo, _MM_SHUFFLE(1, 0, 3, 2));
    KMEANS_MERGE_PAIRS(_mm512_max_ps, _mm512_min_ps, hi, lo, hiB, loB);
    hiB = _mm512_permute_ps(hi, _MM_SHUFFLE(2, 3, 0, 1));
    loB = _mm512_permute_ps(lo, _MM_SHUFFLE(2, 3, 0, 1));
    KMEANS_MERGE_PAIRS(_mm512_max_ps, _mm512_min_ps, hi, lo, hiB, loB);
    KMEANS_FINISH_SCAN(16, _mm512_loadu_ps, eq_mask_avx512, hi, lo, _mm512_cvtss_f32)
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#undef KMEANS_MERGE_PAIRS
#undef KMEANS_FINISH_SCAN

TopTwo top_two(const float* s, int k) {
    static const int level = __builtin_cpu_supports("avx512f") ? 2
                             : __builtin_cpu_supports("avx2")  ? 1
                                                               : 0;
    if (level == 2 && k >= 64) return top_two_avx512(s, k);
    if (level >= 1 && k >= 16) return top_two_avx2(s, k);
    return top_two_scalar(s, k);
}
#else
TopTwo top_two(const float* s, int k) { return top_two_scalar(s, k); }
#endif

}  // namespace kmeans::detail
