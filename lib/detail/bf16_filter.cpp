// bf16_filter.cpp - the bf16 operands of a plan, its bound, and the rounding of each
// tile's rows.
#include "detail/bf16_filter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

#include "detail/product.h"
#include "detail/score_bounds.h"

namespace kmeans::detail {

namespace {

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
        double sq = 0;
        double moved = 0;
        for (int t = 0; t < d; ++t) {
            const std::uint16_t r = to_bf16(b[t]);
            const double v = from_bf16(r);
            if (native)
                h[t] = r;
            else
                e[t] = float(v);
            sq += v * v;
            moved += (v - double(b[t])) * (v - double(b[t]));
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
    plan.alpha = (plan.alpha + (gammaBf * most - gammaK * B) + D) * kEnlarge;
    plan.beta =
        (plan.beta + (gammaBf - gammaK) * plan.halfColumn + tiny * rootD * (most - B)) * kEnlarge;
    plan.rowDelta = ((1 + gammaBf) * halfB + tiny * rootD) * kEnlarge;
    plan.maxNorm = most;
    plan.filter = filter;
    if (native) {
        plan.halfStorage = std::move(half);
        plan.halfCentres = plan.halfStorage.get();
        plan.filterStorage = std::move(values);
        plan.halfBias = plan.filterStorage.get();
    } else {
        plan.filterStorage = std::move(values);
        plan.emulated = plan.filterStorage.get();
    }
    return true;
}

void round_tile_rows(const SearchPlan& plan, const float* a, int size, std::uint16_t* half,
                     float* emulated, float* delta) {
    const int d = plan.d;
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < size; ++i) {
        const float* ai = a + std::size_t(i) * stride;
        double moved = 0;
        if (half != nullptr) {
            std::uint16_t* h = half + std::size_t(i) * std::size_t(d);
            for (int t = 0; t < d; ++t) {
                h[t] = to_bf16(ai[t]);
                const double gap = double(from_bf16(h[t])) - double(ai[t]);
                moved += gap * gap;
            }
        } else {
            float* e = emulated + std::size_t(i) * stride;
            for (int t = 0; t < d; ++t) {
                e[t] = from_bf16(to_bf16(ai[t]));
                const double gap = double(e[t]) - double(ai[t]);
                moved += gap * gap;
            }
            e[d] = ai[d];
        }
        // Infinite rows give an infinite or NaN gap: their bound does not hold.
        delta[i] = moved == 0 ? 0.0f : norm_up(moved, d);
    }
}

}  // namespace kmeans::detail
