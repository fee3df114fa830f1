// top_two.cpp - the scalar scan and its AVX2 / AVX-512 twins.
//
// The vector scans keep, per lane, the largest value (hi) and the largest value seen
// beside it (lo): lo = max(lo, min(hi, s)), then hi = max(hi, s). x86 min/max return
// their second operand when either is a NaN, so a NaN score leaves hi alone
// (max(s, hi) gives hi) and leaves lo alone (min(hi, s) gives the NaN, and
// max(NaN, lo) gives lo). The lanes' (hi, lo) pairs and the tail then go through
// the scalar step, and a second vector pass finds the first index that holds the best value.
#include "top_two.h"

#include <limits>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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

// Merges per-lane (hi, lo) pairs and the scalar tail s[from..k) into (best, second);
// the index is left for the caller's search of the first position holding best.
TopTwo merge(const float* hi, const float* lo, int lanes, const float* s, int from, int k) {
    TopTwo t{-1, kMinusInf, kMinusInf};
    for (int l = 0; l < lanes; ++l) {
        take(hi[l], 0, t);
        take(lo[l], 0, t);
    }
    for (int j = from; j < k; ++j) take(s[j], j, t);
    t.index = -1;
    if (t.best == kMinusInf) t.second = kMinusInf;
    return t;
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
__attribute__((target("avx2"))) TopTwo top_two_avx2(const float* s, int k) {
    __m256 hi = _mm256_set1_ps(kMinusInf);
    __m256 lo = hi;
    int j = 0;
    for (; j + 8 <= k; j += 8) {
        const __m256 v = _mm256_loadu_ps(s + j);
        lo = _mm256_max_ps(_mm256_min_ps(hi, v), lo);
        hi = _mm256_max_ps(v, hi);
    }
    float h[8];
    float l[8];
    _mm256_storeu_ps(h, hi);
    _mm256_storeu_ps(l, lo);
    TopTwo t = merge(h, l, 8, s, j, k);
    if (t.best == kMinusInf) return t;
    const __m256 target = _mm256_set1_ps(t.best);
    for (j = 0; j + 8 <= k; j += 8) {
        const int mask =
            _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(s + j), target, _CMP_EQ_OQ));
        if (mask != 0) {
            t.index = j + __builtin_ctz(unsigned(mask));
            return t;
        }
    }
    t.index = first_of(s, j, k, t.best);
    return t;
}

// (GCC 12 warns about the undefined pass-through operand inside the AVX-512 min and
// max intrinsics; it is never read.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f"))) TopTwo top_two_avx512(const float* s, int k) {
    __m512 hi = _mm512_set1_ps(kMinusInf);
    __m512 lo = hi;
    int j = 0;
    for (; j + 16 <= k; j += 16) {
        const __m512 v = _mm512_loadu_ps(s + j);
        lo = _mm512_max_ps(_mm512_min_ps(hi, v), lo);
        hi = _mm512_max_ps(v, hi);
    }
    float h[16];
    float l[16];
    _mm512_storeu_ps(h, hi);
    _mm512_storeu_ps(l, lo);
    TopTwo t = merge(h, l, 16, s, j, k);
    if (t.best == kMinusInf) return t;
    const __m512 target = _mm512_set1_ps(t.best);
    for (j = 0; j + 16 <= k; j += 16) {
        const unsigned mask = _mm512_cmp_ps_mask(_mm512_loadu_ps(s + j), target, _CMP_EQ_OQ);
        if (mask != 0) {
            t.index = j + __builtin_ctz(mask);
            return t;
        }
    }
    t.index = first_of(s, j, k, t.best);
    return t;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

TopTwo top_two(const float* s, int k) {
    static const int level = __builtin_cpu_supports("avx512f") ? 2
                             : __builtin_cpu_supports("avx2") ? 1
                                                              : 0;
    if (level == 2 && k >= 64) return top_two_avx512(s, k);
    if (level >= 1 && k >= 16) return top_two_avx2(s, k);
    return top_two_scalar(s, k);
}
#else
TopTwo top_two(const float* s, int k) { return top_two_scalar(s, k); }
#endif
