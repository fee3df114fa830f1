// bf16_filter.cpp - the bf16 operands of a plan, its bound, and the rounding of each
// tile's rows.
#include "detail/bf16_filter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "detail/product.h"
#include "detail/score_bounds.h"

namespace kmeans::detail {

namespace {

// The d values of a row rounded to bf16, into h (bits) or e (their values as
// floats); returns the sum of their squared gaps. Each gap is exact in float (a value
// and its rounding share all but the last 16 bits), its square exact in double.
double round_values(const float* a, const float* mu, int d, std::uint16_t* h, float* e) {
    double moved = 0;
    for (int t = 0; t < d; ++t) {
        const float at = mu != nullptr ? a[t] - mu[t] : a[t];
        const std::uint16_t r = to_bf16(at);
        const float v = from_bf16(r);
        if (h != nullptr) h[t] = r;
        if (e != nullptr) e[t] = v;
        const double gap = double(v - at);
        moved += gap * gap;
    }
    return moved;
}

#if defined(__x86_64__)
// The same, 16 values at a time.
__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))) double round_values_avx512(
    const float* a, const float* mu, int d, std::uint16_t* h, float* e) {
    const __m512i low = _mm512_set1_epi32(0x7FFF);
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i magnitude = _mm512_set1_epi32(0x7FFFFFFF);
    const __m512i infinity = _mm512_set1_epi32(0x7F800000);
    const __m512i quiet = _mm512_set1_epi32(0x400000);
    const __m512i keep = _mm512_set1_epi32(int(0xFFFF0000u));
    // (The zero-masked forms: the plain ones start from registers GCC 12 takes for
    // uninitialised.)
    const __mmask16 all = 0xFFFF;
    __m512d sum0 = _mm512_setzero_pd();
    __m512d sum1 = _mm512_setzero_pd();
    // The tail goes through the same code under a mask: a call to the scalar loop
    // here ran its SSE code with the 512-bit registers dirty, and that transition
    // cost more than the whole row.
    for (int t = 0; t < d; t += 16) {
        const __mmask16 in = d - t >= 16 ? all : __mmask16((1u << (d - t)) - 1);
        const __m512 x = mu != nullptr ? _mm512_sub_ps(_mm512_maskz_loadu_ps(in, a + t),
                                                       _mm512_maskz_loadu_ps(in, mu + t))
                                       : _mm512_maskz_loadu_ps(in, a + t);
        const __m512i bits = _mm512_castps_si512(x);
        const __mmask16 nan = _mm512_cmpgt_epi32_mask(_mm512_and_si512(bits, magnitude), infinity);
        __m512i up = _mm512_add_epi32(
            bits,
            _mm512_add_epi32(low, _mm512_and_si512(_mm512_maskz_srli_epi32(all, bits, 16), one)));
        up = _mm512_mask_or_epi32(up, nan, bits, quiet);
        const __m512i top = _mm512_and_si512(up, keep);
        const __m512 v = _mm512_castsi512_ps(top);
        if (h != nullptr)
            _mm256_mask_storeu_epi16(
                h + t, in, _mm512_maskz_cvtepi32_epi16(all, _mm512_maskz_srli_epi32(all, top, 16)));
        if (e != nullptr) _mm512_mask_storeu_ps(e + t, in, v);
        const __m512 gap = _mm512_sub_ps(v, x);
        const __m512d g0 = _mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_extractf32x8_ps(0xFF, gap, 0));
        const __m512d g1 = _mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_extractf32x8_ps(0xFF, gap, 1));
        sum0 = _mm512_add_pd(sum0, _mm512_mul_pd(g0, g0));
        sum1 = _mm512_add_pd(sum1, _mm512_mul_pd(g1, g1));
    }
    double lanes[8];
    _mm512_storeu_pd(lanes, _mm512_add_pd(sum0, sum1));
    double moved = 0;
    for (double l : lanes) moved += l;
    return moved;
}
#endif

double round_row(const float* a, const float* mu, int d, std::uint16_t* h, float* e) {
#if defined(__x86_64__)
    static const bool avx512 =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    if (avx512) return round_values_avx512(a, mu, d, h, e);
#endif
    return round_values(a, mu, d, h, e);
}

// The bf16 product runs here: the CPU has the unit and a product of one small tile
// succeeds (its kernel made, its memory had).
bool bf16_product_works() {
    static const bool works = [] {
        if (!bf16_product_native()) return false;
        std::uint16_t a[16 * 16] = {};
        float bias[16] = {};
        float c[16 * 16];
        return bf16_score_product(16, 16, 16, a, 16, a, 16, bias, c, 16);
    }();
    return works;
}

// The plan's bf16 centres packed block by block as its tiles take them (search.cpp);
// a block that does not pack is multiplied from the plain rows.
void pack_blocks(SearchPlan& plan) {
    const int block = bf16_block_centres(plan.k);
    const int blocks = (plan.k + block - 1) / block;
    plan.packs.reset(new (std::nothrow) Bf16PackedRows[std::size_t(blocks)]);
    if (!plan.packs) return;
    plan.packBlock = block;
    const std::size_t d = std::size_t(plan.d);
    for (int b = 0; b < blocks; ++b) {
        const int j0 = b * block;
        const int nb = std::min(block, plan.k - j0);
        plan.packs[std::size_t(b)] =
            bf16_pack(bf16_tile_rows(), nb, plan.d, plan.halfCentres + std::size_t(j0) * d, plan.d);
    }
}

}  // namespace

ScoreFilter default_filter() {
    const char* name = std::getenv("KMEANS_FILTER");
    const bool native = bf16_product_works();
    if (name != nullptr && std::strcmp(name, "float") == 0) return ScoreFilter::float32;
    if (name != nullptr && std::strcmp(name, "bf16-emulated") == 0)
        return ScoreFilter::bf16Emulated;
    if (name != nullptr && std::strcmp(name, "bf16") == 0)
        return native ? ScoreFilter::bf16 : ScoreFilter::bf16Emulated;
    return native ? ScoreFilter::bf16 : ScoreFilter::float32;
}

bool bf16_shift(const float* centers, int k, int d, const float* shift, float* mu) {
    const std::size_t stride = std::size_t(d) + 1;
    std::unique_ptr<double[]> mean(new (std::nothrow) double[std::size_t(d)]());
    if (!mean || d < 1 || (shift == nullptr && k < 1)) return false;
    if (shift != nullptr) {
        for (int t = 0; t < d; ++t) mean[t] = shift[t];
    } else {
        for (int j = 0; j < k; ++j) {  // row by row: one pass over the rows
            const float* c = centers + std::size_t(j) * stride;
            for (int t = 0; t < d; ++t) mean[t] += c[t];
        }
        for (int t = 0; t < d; ++t) mean[t] /= k;
    }
    double largest = 0;
    for (int t = 0; t < d; ++t) {
        if (!std::isfinite(mean[t])) return false;  // a NaN or infinity: no shift
        largest = std::max(largest, std::fabs(mean[t]));
    }
    for (int t = 0; t < d; ++t) mu[t] = float(largest >= 8 ? std::nearbyint(mean[t]) : mean[t]);
    return true;
}

// With a'' and b''_j the bf16 roundings of the float operands a' and b'_j, the score
// is s_j = fl(a''.b''_j - n'_j / 2): K = d + 1 terms, the d products exact in float
// (8-bit significands), summed in float in any order. Then (search.cpp, 1 to 3)
//     s_j - T_j = [s_j - (a''.b''_j - n'_j / 2)] + (a'' - a').b''_j
//                 + a'.(b''_j - b'_j) + [(a'.b'_j - n'_j / 2) - T_j],
// at most gamma'_K ((R + delta) B'' + N / 2) + delta B'' + R D + (the float bound's
// norm-column and shift terms), with delta >= |a'' - a'|, B'' >= max |b''_j| and
// D >= max |b''_j - b'_j|. gamma'_K takes twice the float roundoff, so that a kernel
// whose accumulation rounds twice per step (or flushes, as the tiny terms allow) is
// covered too. The bound dominates the float one, so a row rescored in float
// (search.cpp) is still within it.
bool prepare_filter(SearchPlan& plan, ScoreFilter filter) {
    plan.filter = ScoreFilter::float32;
    plan.halfCentres = nullptr;
    plan.halfBias = nullptr;
    plan.emulated = nullptr;
    plan.rowDelta = 0;
    plan.packs.reset();
    plan.packBlock = 0;
    plan.halfStorage.reset();
    plan.filterStorage.reset();
    if (filter == ScoreFilter::float32 || plan.exactOnly) return filter == ScoreFilter::float32;
    if (filter == ScoreFilter::bf16 && !bf16_product_works()) return false;
    const int k = plan.k;
    const int d = plan.d;
    const double K = double(d) + 1;
    if (K * 2 * kU >= 0.5) return false;
    const std::size_t stride = std::size_t(d) + 1;
    const bool native = filter == ScoreFilter::bf16;
    const std::size_t floats = native ? std::size_t(k) : std::size_t(k) * stride;
    std::unique_ptr<std::uint16_t[]> half;
    if (native) {
        half.reset(new (std::nothrow) std::uint16_t[std::size_t(k) * std::size_t(d)]);
        if (!half) return false;
    }
    std::unique_ptr<float[]> values(new (std::nothrow) float[floats]);
    if (!values) return false;

    double maxSq = 0;     // max |b''_j|^2
    double maxShift = 0;  // max |b''_j - b'_j|^2
    for (int j = 0; j < k; ++j) {
        const float* b = plan.operand + std::size_t(j) * stride;
        std::uint16_t* h = native ? half.get() + std::size_t(j) * std::size_t(d) : nullptr;
        float* e = native ? nullptr : values.get() + std::size_t(j) * stride;
        const double moved = round_row(b, nullptr, d, h, e);
        double sq = 0;  // |b''_j|^2, each square exact in double
        for (int t = 0; t < d; ++t) {
            const double v = native ? from_bf16(h[t]) : e[t];
            sq += v * v;
        }
        if (native)
            values[std::size_t(j)] = -0.5f * b[d];
        else
            e[d] = b[d];
        if (!std::isfinite(sq) || !std::isfinite(moved)) return false;
        maxSq = std::max(maxSq, sq);
        maxShift = std::max(maxShift, moved);
    }

    const double gammaK = K * kU / (1 - K * kU);
    const double gammaBf = K * 2 * kU / (1 - K * 2 * kU);
    const double B = plan.maxNorm;
    const double halfB = norm_up(maxSq, d);
    const double D = norm_up(maxShift, d);
    const double most = std::max(B, halfB);
    const double tiny = 0x1p-126;
    const double rootD = std::sqrt(double(d)) * kEnlarge;
    plan.alpha = (plan.floatAlpha + (gammaBf * most - gammaK * B) + D) * kEnlarge;
    plan.beta =
        (plan.floatBeta + (gammaBf - gammaK) * plan.halfColumn + tiny * rootD * (most - B)) *
        kEnlarge;
    plan.rowDelta = ((1 + gammaBf) * halfB + tiny * rootD) * kEnlarge;
    plan.maxNorm = most;
    plan.filter = filter;
    if (native) {
        plan.halfStorage = std::move(half);
        plan.halfCentres = plan.halfStorage.get();
        pack_blocks(plan);
        plan.filterStorage = std::move(values);
        plan.halfBias = plan.filterStorage.get();
    } else {
        plan.filterStorage = std::move(values);
        plan.emulated = plan.filterStorage.get();
    }
    return true;
}

void round_tile_rows(const SearchPlan& plan, const float* a, const float* mu, int size,
                     std::uint16_t* half, float* emulated, float* delta) {
    const int d = plan.d;
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < size; ++i) {
        const float* ai = a + std::size_t(i) * stride;
        if (i + 4 < size) {
            const char* ahead = reinterpret_cast<const char*>(ai + 4 * stride);
            for (std::size_t b = 0; b < stride * sizeof(float); b += 64)
                __builtin_prefetch(ahead + b);
        }
        float* e = emulated != nullptr ? emulated + std::size_t(i) * stride : nullptr;
        const double moved = round_row(
            ai, mu, d, half != nullptr ? half + std::size_t(i) * std::size_t(d) : nullptr, e);
        if (e != nullptr) e[d] = ai[d];
        // Infinite rows give an infinite or NaN gap: their bound does not hold.
        delta[i] = moved == 0 ? 0.0f : norm_up(moved, d);
    }
}

}  // namespace kmeans::detail
