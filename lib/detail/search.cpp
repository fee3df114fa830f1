// search.cpp - tiles of the score product and the certified choice of each row's
// nearest centre.
//
// Why the float scores may decide
// -------------------------------
// Notation: u = 2^-24 (float unit roundoff), K = d + 1 (terms of one score), mu the
// shift (0 without one), a = x - mu and b_j = c_j - mu exactly, a' = fl(x - mu) and
// b'_j = fl(c_j - mu) the floats that enter the product (a' = x and b'_j = c_j
// without a shift), n'_j the operand's norm column. T_j = a.b_j - |b_j|^2 / 2; as
// |x - c_j|^2 = |a|^2 - 2 T_j, the largest T_j marks the nearest centre. R >= |a'|,
// B >= max |b'_j| and N >= max |n'_j| are upper bounds formed in double.
//
// 1. The product. s_j = fl(a'.b'_j - n'_j / 2) sums K products in any order, fused
//    or not (a classical product, as every CBLAS sgemm computes it; a Strassen-like
//    recombination would need another bound). Then |s_j - (a'.b'_j - n'_j / 2)| <= gamma_K * sum
//    |terms| (Higham, Accuracy and Stability of Numerical Algorithms, 3.1), gamma_K = K u / (1 - K
//    u), and sum |terms| <= R B + N / 2 by Cauchy-Schwarz. This holds while nothing overflows:
//    every partial sum stays within (1 + gamma_K)(R B + N / 2), so a row needs R B + N / 2 <=
//    2^127, or it is measured in double. Underflow: gradual underflow adds at most 2^-150 per
//    product; a library that flushed subnormal inputs or results to zero would be off by at most
//    2^-126 (|x_t| + |c_t| + 1) per product. 2^-126 (2K + sqrt(d) (R + B)) covers either.
// 2. The norm column. |n'_j - |b'_j|^2| <= dev_j + g_d nu_j / (1 - g_d), where nu_j
//    is |b'_j|^2 summed in double in any order (d - 1 rounded additions of exact
//    squares: relative error g_d = d 2^-53 / (1 - d 2^-53)) and dev_j = |n'_j - nu_j|
//    is measured when the plan is made. So a column written by any code is accounted
//    for.
// 3. The shift. a' = a + eta and b'_j = b_j + eps_j, with |eta| <= u |a'| and
//    |eps_j| <= u |b'_j| (one rounding per component). Then
//    (a'.b'_j - |b'_j|^2 / 2) - T_j = eta.b'_j + a.eps_j - eps_j.b'_j + |eps_j|^2 / 2,
//    at most u (2 + u) R B + u (1 + u) B^2 in size (|a| <= (1 + u) R).
// Summing 1 to 3: |s_j - T_j| <= E = alpha R + beta for every j (prepare_search forms
// alpha and beta; they and E are enlarged by 2^-40 relative to cover their own
// rounding in double). The bf16 filter (bf16_filter.cpp) multiplies a'' and b''_j,
// the bf16 roundings of a' and b'_j: its E adds what those roundings can move a score
// (and a row's own rounding, through its delta), and 4 holds with that E unchanged.
//
// 4. The choice. Let b be the float argmax, v = s_b and J = { j : s_j >= v - 3E }
//    (the threshold is rounded down to a float, which can only add members). For j
//    outside J: T_j <= s_j + E < v - 2E <= T_b - E, so D_j - D_b = 2 (T_b - T_j) > 2E
//    for the exact squared distances D. The double evaluation D^_j = squared_distance
//    has |D^_j - D_j| <= g D_j with g = (d + 2) 2^-53 / (1 - (d + 2) 2^-53): one
//    rounding for the difference, one for the square, d - 1 for the additions, every
//    term >= 0. So
//        D^_j - D^_b >= (D_j - D_b)(1 - g) - 2 g D_b > 2E (1 - g) - 2 g D_b >= 0
//    whenever g D_b <= E (1 - g); each row checks that with D_b <= (1 + u)^2 R^2 - 2v
//    + 2E. Then no centre outside J is the smallest D^ or ties with it, and the nearest
//    centre (smallest D^, lowest index among equals) is found by measuring J alone;
//    when J = {b} it is b, with nothing measured. The margin of 3E rather than 2E is
//    what leaves the double evaluation room: its own error is some 2^29 / K times
//    smaller than E, so the check fails only for a row about 10^8 times farther from
//    its nearest centre than the scale of E. Such rows, rows whose bound is not finite
//    and rows without a finite score are measured against every centre.
//
// Tiles: a worker scores kTileRows rows against one block of centres per sgemm call,
// the blocks sized so that a tile's scores (at most kTileFloats) are still in cache
// when its rows scan them, whatever k. Each row carries its best and second-best
// score and the candidates still within 3E of its best from block to block, so the
// choice is the one a single product over every centre would give. Training and assign
// keep no scores (the caller's matrix is null): each tile's scores stay in a private
// buffer. Only KMeans::minCluster, whose interface hands back every score, passes a
// matrix: a large call's scores go through the tile buffer and are streamed to it, a
// small call's straight into it. With a shift, each tile of rows is first copied as
// x - mu.
#include "detail/search.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#include <limits>
#include <memory>
#include <new>

#include "detail/bf16_filter.h"
#include "detail/exact_sums.h"
#include "detail/fixed_order.h"
#include "detail/product.h"
#include "detail/score_bounds.h"
#include "detail/top_two.h"

namespace kmeans::detail {

#ifdef KMEANS_TEST_HOOKS
SearchTestHooks search_test_hooks;
#endif

namespace {

constexpr int kTileRows = 384;
// The bf16 product is some four times faster: smaller tiles keep its scores in cache
// while they are scanned.
constexpr int kHalfTileRows = 256;
constexpr std::size_t kHalfTileFloats = std::size_t(1) << 18;
// A tile's scores against one block of centres: 2 MiB of floats at most, so that they
// are still in cache when the tile's rows scan them, whatever k.
constexpr std::size_t kTileFloats = std::size_t(1) << 19;
// Tiles that go through one centre block together.
constexpr int kGroupTiles = 8;
constexpr float kInfFloat = std::numeric_limits<float>::infinity();
// Eight independent lanes: the compiler vectorises the sum, and the error bounds used
// here hold for any order of the additions.
template <bool kShift, bool kStore>
double lane_sum_of_squares(const float* x, int d, const float* mu, float* out) {
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        for (int l = 0; l < 8; ++l) {
            const float a = kShift ? x[t + l] - mu[t + l] : x[t + l];
            if (kStore) out[t + l] = a;
            lanes[l] += double(a) * double(a);
        }
    }
    for (; t < d; ++t) {
        const float a = kShift ? x[t] - mu[t] : x[t];
        if (kStore) out[t] = a;
        lanes[0] += double(a) * double(a);
    }
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
           ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

template <bool kShift, bool kStore>
float bound_row(const float* x, int d, const float* mu, float* out) {
    return norm_up(lane_sum_of_squares<kShift, kStore>(x, d, mu, out), d);
}

double sum_of_squares(const float* x, int d) {
    return lane_sum_of_squares<false, false>(x, d, nullptr, nullptr);
}

}  // namespace

void row_bounds(const float* rows, int n, int d, const float* shift, float* out) {
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < n; ++i) {
        const float* x = rows + std::size_t(i) * stride;
        out[i] = shift ? bound_row<true, false>(x, d, shift, nullptr)
                       : bound_row<false, false>(x, d, nullptr, nullptr);
    }
}

bool choose_shift(const float* rows, int n, int d, float* mu) {
    if (n < 1 || d < 1) return false;
    const std::size_t stride = std::size_t(d) + 1;
    std::unique_ptr<double[]> sum(new (std::nothrow) double[std::size_t(d)]());
    if (!sum) return false;
    double sumsq = 0;
    for (int i = 0; i < n; ++i) {
        const float* x = rows + std::size_t(i) * stride;
        for (int t = 0; t < d; ++t) sum[t] += double(x[t]);
        sumsq += sum_of_squares(x, d);
    }
    double meanSq = 0;
    for (int t = 0; t < d; ++t) meanSq += (sum[t] / n) * (sum[t] / n);
    const double spread = sumsq / n - meanSq;  // mean |x - mean|^2
    // The bound grows with |x| |c|; shifted, with |x - mu| |c - mu|. Shifting pays
    // once the data sit farther from zero than twice their spread (a tile copy costs
    // about 1% of its product; a loose bound costs double-precision distances).
    if (!std::isfinite(sumsq) || !(meanSq > 4 * spread)) return false;
    for (int t = 0; t < d; ++t) mu[t] = float(sum[t] / n);
    return true;
}

void prepare_search_or_unshifted(SearchPlan& plan, const float* centers, int k, int d,
                                 const float* shift, const float*& bounds) {
    const ScoreFilter filter = default_filter();
    // The bf16 filter multiplies centred operands (bf16_shift): the rows' bounds are
    // then taken by each tile.
    std::unique_ptr<float[]> centre;
    if (filter != ScoreFilter::float32 && k > 0 && d > 0) {
        centre.reset(new (std::nothrow) float[std::size_t(d)]);
        if (centre && bf16_shift(centers, k, d, shift, centre.get())) {
            if (shift == nullptr ||
                std::memcmp(shift, centre.get(), sizeof(float) * std::size_t(d)) != 0)
                bounds = nullptr;
            shift = centre.get();
        }
    }
    if (shift == nullptr || !prepare_search(plan, centers, k, d, shift)) {
        prepare_search(plan, centers, k, d, nullptr);
        if (shift != nullptr) bounds = nullptr;
    }
    prepare_filter(plan, filter);  // else it filters in float
}

bool prepare_search(SearchPlan& plan, const float* centers, int k, int d, const float* shift) {
    const std::size_t stride = std::size_t(d) + 1;
    plan.k = k;
    plan.d = d;
    plan.centers = centers;
    plan.operand = centers;
    plan.shift = nullptr;
    plan.exactOnly = false;
    plan.storage.reset();
    if (shift != nullptr) {
        const std::size_t cells = std::size_t(k) * stride;
        plan.storage.reset(new (std::nothrow) float[cells + std::size_t(d)]);
        if (!plan.storage) return false;
        float* op = plan.storage.get();
        float* mu = op + cells;
        std::memcpy(mu, shift, sizeof(float) * std::size_t(d));
        for (int j = 0; j < k; ++j) {
            const float* c = centers + std::size_t(j) * stride;
            float* b = op + std::size_t(j) * stride;
            for (int t = 0; t < d; ++t) b[t] = c[t] - mu[t];
            b[d] = norm_column(b, d);
        }
        plan.operand = op;
        plan.shift = mu;
    }
    double maxSq = 0;
    double maxDev = 0;
    double maxColumn = 0;
    bool finite = true;
    for (int j = 0; j < k; ++j) {
        const float* b = plan.operand + std::size_t(j) * stride;
        const double nu = sum_of_squares(b, d);
        const double column = b[d];
        if (!std::isfinite(nu) || !std::isfinite(column)) finite = false;
        maxSq = std::fmax(maxSq, nu);
        maxDev = std::fmax(maxDev, std::fabs(column - nu));
        maxColumn = std::fmax(maxColumn, std::fabs(column));
    }
    const double K = double(d) + 1;
    if (!finite || K * kU >= 0.5) {
        plan.exactOnly = true;
        return true;
    }
    const double gammaK = K * kU / (1 - K * kU);
    const double gd = gamma_double(d);
    const double B = norm_up(maxSq, d);
    const double shifted = shift != nullptr ? 1 : 0;
    const double tiny = 0x1p-126;
    const double rootD = std::sqrt(double(d)) * kEnlarge;
    plan.alpha = (gammaK * B + shifted * kU * (2 + kU) * B + tiny * rootD) * kEnlarge;
    plan.beta = (gammaK * 0.5 * maxColumn + 0.5 * (maxDev + gd * maxSq / (1 - gd)) +
                 shifted * kU * (1 + kU) * B * B + tiny * (2 * K + rootD * B)) *
                kEnlarge;
    plan.floatAlpha = plan.alpha;
    plan.floatBeta = plan.beta;
    plan.maxNorm = B;
    plan.halfColumn = 0.5 * maxColumn;
    plan.distanceError = gamma_double(double(d) + 2);
    return true;
}

namespace {

// The bound of a row's scores, or +inf where the bound does not hold: `bound` is the
// row's upper bound of |a'|, `delta` that of its bf16 rounding (0 in float).
double row_error(const SearchPlan& plan, float bound, float delta) {
    const double reach = double(bound) + double(delta);
    if (plan.exactOnly || !(reach * plan.maxNorm + plan.halfColumn <= 0x1p127)) return kInf;
    return (plan.alpha * double(bound) + plan.beta + plan.rowDelta * double(delta)) * kEnlarge;
}

// The centre nearest to x by the definition, among m candidates in increasing index
// order (null: every centre, m = k). The candidates' distances are formed four at a
// time (squared_distances_paired: each in its own fixed order, the same bits).
int nearest_among(const float* x, const SearchPlan& plan, const int* candidates, int m) {
    const std::size_t stride = std::size_t(plan.d) + 1;
    int best = -1;
    double bestDistance = 0;
    if (candidates != nullptr) {
        constexpr int kChunk = 32;
        double dist[kChunk];
        for (int i0 = 0; i0 < m; i0 += kChunk) {
            const int count = std::min(kChunk, m - i0);
            squared_distances_paired(x, 0, count, plan.centers, stride, candidates + i0, plan.d,
                                     dist);
            for (int i = 0; i < count; ++i)
                if (best < 0 || dist[i] < bestDistance) {  // as below
                    bestDistance = dist[i];
                    best = candidates[i0 + i];
                }
        }
        return best;
    }
    for (int j = 0; j < m; ++j) {
        const double dist = squared_distance(x, plan.centers + std::size_t(j) * stride, plan.d);
        if (best < 0 ||
            dist < bestDistance) {  // strict: equals keep the lower index, a NaN never wins
            bestDistance = dist;
            best = j;
        }
    }
    return best;
}

// What the centre blocks of a tile scanned so far say of one of its rows: the best
// score and its centre, the best of the other scores, and the candidates - every
// centre whose score reached the row's floor (best - 3E) as it stood when its block
// was scanned. The floor only rises, so every centre at or above the final floor is
// among them (with others, dropped at the end), unless there were more than
// kRowCandidates: then the row is scored again at the end.
constexpr int kRowCandidates = 128;

struct RowScan {
    float best;
    float second;
    int index;     // -1 before any score above -inf
    int count;     // candidates met (those past kRowCandidates are not kept)
    double error;  // the row's bound E, +inf where it does not hold
};

void keep_candidate(RowScan& r, int* indices, float* values, int j, float value) {
    if (r.count < kRowCandidates) {
        indices[r.count] = j;
        values[r.count] = value;
    }
    ++r.count;
}

// Keeps every score of s[0 .. nb-1] at or above floor, in index order (a NaN never).
void keep_at_least_plain(RowScan& r, const float* s, int nb, int j0, float floor, int* indices,
                         float* values) {
    for (int j = 0; j < nb; ++j)
        if (s[j] >= floor) keep_candidate(r, indices, values, j0 + j, s[j]);
}

#if defined(__x86_64__)
// The same, 16 scores per comparison: most of a block lies below the floor.
__attribute__((target("avx512f"))) void keep_at_least_avx512(RowScan& r, const float* s, int nb,
                                                             int j0, float floor, int* indices,
                                                             float* values) {
    const __m512 f = _mm512_set1_ps(floor);
    // The tail under a mask: no call out to SSE code with the 512-bit registers dirty.
    for (int j = 0; j < nb; j += 16) {
        const __mmask16 in = nb - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (nb - j)) - 1);
        unsigned mask =
            _mm512_mask_cmp_ps_mask(in, _mm512_maskz_loadu_ps(in, s + j), f, _CMP_GE_OQ);
        while (mask != 0) {
            const int at = j + __builtin_ctz(mask);
            keep_candidate(r, indices, values, j0 + at, s[at]);
            mask &= mask - 1;
        }
    }
}
#endif

void keep_at_least(RowScan& r, const float* s, int nb, int j0, float floor, int* indices,
                   float* values) {
#if defined(__x86_64__)
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    if (avx512) return keep_at_least_avx512(r, s, nb, j0, floor, indices, values);
#endif
    keep_at_least_plain(r, s, nb, j0, floor, indices, values);
}

// The row's scores s against centres j0 .. j0+nb-1. Best and second merge as one
// top_two over the whole row would give them (strict '>': the lower index keeps a tie).
void scan_block(RowScan& r, const float* s, int nb, int j0, int* indices, float* values) {
    const TopTwo t = top_two(s, nb);
    if (t.index < 0) return;
    if (t.best > r.best) {
        r.second = std::max(t.second, r.best);
        r.best = t.best;
        r.index = j0 + t.index;
    } else {
        r.second = std::max(r.second, t.best);
    }
    if (!(r.error < kInf)) return;  // measured against every centre at the end
    const float floor = float_down(double(r.best) - 3 * r.error);
    if (t.best < floor) return;
    if (t.second < floor) {
        keep_candidate(r, indices, values, j0 + t.index, t.best);
        return;
    }
    keep_at_least(r, s, nb, j0, floor, indices, values);
}

// Where a tile's rows are scored: its product operand rows (the rows, or their
// shifted copies), their bf16 roundings for the bf16 filter, and the centre blocks.
struct TileGeometry {
    const float* a;             // the tile's product rows, stride d+1
    const std::uint16_t* half;  // a in bf16, stride d (filter bf16)
    const float* emulated;      // a's bf16 values, stride d+1 (filter bf16Emulated)
    int blockCentres;
    int blocks;
};

// The scores of the group's rows t0 .. t0+m-1 against centres j0 .. j0+nb-1, by the
// plan's filter. False when the library could not compute them.
bool tile_scores(const SearchPlan& plan, const TileGeometry& g, int t0, int m, int j0, int nb,
                 float* out, int ldc) {
    const int d = plan.d;
    const int lda = d + 1;
    const std::size_t stride = std::size_t(d) + 1;
    switch (plan.filter) {
    case ScoreFilter::bf16:
        if (plan.packs && g.blockCentres == plan.packBlock && ldc == nb) {
            const Bf16PackedRows& block = plan.packs[std::size_t(j0 / g.blockCentres)];
            if (block &&
                bf16_score_product_packed(m, nb, d, g.half + std::size_t(t0) * std::size_t(d), d,
                                          *block, plan.halfBias + j0, out))
                return true;
        }
        return bf16_score_product(m, nb, d, g.half + std::size_t(t0) * std::size_t(d), d,
                                  plan.halfCentres + std::size_t(j0) * std::size_t(d), d,
                                  plan.halfBias + j0, out, ldc);
    case ScoreFilter::bf16Emulated:
        return score_product(m, nb, lda, g.emulated + std::size_t(t0) * stride, lda,
                             plan.emulated + std::size_t(j0) * stride, lda, out, ldc);
    case ScoreFilter::float32: break;
    }
    return score_product(m, nb, lda, g.a + std::size_t(t0) * stride, lda,
                         plan.operand + std::size_t(j0) * stride, lda, out, ldc);
}

// The centres whose score for product row `a` is at least `floor`, scored again one
// block at a time into `buffer` (blockCentres floats): the candidates of a row that
// had too many to keep. -1 when the library could not compute a product. Always in
// float, whose bound the bf16 filter's dominates.
int rescore(const SearchPlan& plan, const TileGeometry& g, const float* a, float floor,
            float* buffer, int* candidates) {
    const std::size_t stride = std::size_t(plan.d) + 1;
    const int lda = plan.d + 1;
    int m = 0;
    for (int b = 0; b < g.blocks; ++b) {
        const int j0 = b * g.blockCentres;
        const int nb = std::min(g.blockCentres, plan.k - j0);
        if (!score_product(1, nb, lda, a, lda, plan.operand + std::size_t(j0) * stride, lda, buffer,
                           nb))
            return -1;
        for (int j = 0; j < nb; ++j)
            if (buffer[j] >= floor) candidates[m++] = j0 + j;
    }
    return m;
}

// The float score a'.b'_j - n'_j / 2 of product row a against operand row b (K = d + 1
// values each), summed in 16 lanes: the float bound holds for any order.
float float_score_plain(const float* a, const float* b, int K) {
    float lanes[16] = {};
    int t = 0;
    for (; t + 16 <= K; t += 16)
        for (int l = 0; l < 16; ++l) lanes[l] += a[t + l] * b[t + l];
    for (; t < K; ++t) lanes[0] += a[t] * b[t];
    float sum = 0;
    for (float l : lanes) sum += l;
    return sum;
}

#if defined(__x86_64__)
__attribute__((target("avx512f"))) float float_score_avx512(const float* a, const float* b, int K) {
    __m512 sum = _mm512_setzero_ps();
    int t = 0;
    for (; t + 16 <= K; t += 16)
        sum = _mm512_fmadd_ps(_mm512_loadu_ps(a + t), _mm512_loadu_ps(b + t), sum);
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, sum);
    for (; t < K; ++t) lanes[0] += a[t] * b[t];
    float total = 0;
    for (float l : lanes) total += l;
    return total;
}
#endif

float float_score(const float* a, const float* b, int K) {
#if defined(__x86_64__)
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    if (avx512) return float_score_avx512(a, b, K);
#endif
    return float_score_plain(a, b, K);
}

// True when, for a row whose best score is v with bound `error`, every centre scoring
// below v - 3 error is proven farther than the best (4 above: the double evaluation's
// own error is small enough).
bool certified(const SearchPlan& plan, double v, double error, float bound) {
    const double gd = plan.distanceError;
    const double radius = double(bound) * (1 + kU);
    const double farthest = radius * radius * (1 + 0x1p-50) - 2 * v + 2 * error;  // >= D_b
    return gd * farthest <= error * (1 - gd) / kEnlarge;
}

// The bf16 filter's m candidates of a row, rescored in float (the operand rows a and
// the plan's float centres) and narrowed again by the float bound, which is some 2^8
// times sharper: the proof of 4 among the candidates, whose complement the bf16 scores
// already ruled out. Returns the candidates left (in place, in index order).
int refine_in_float(const SearchPlan& plan, const float* a, float bound, int* candidates, int m,
                    float* values) {
    const double error = (plan.floatAlpha * double(bound) + plan.floatBeta) * kEnlarge;
    const int K = plan.d + 1;
    const std::size_t stride = std::size_t(K);
    float v = -kInfFloat;
    for (int c = 0; c < m; ++c) {
        values[c] = float_score(a, plan.operand + std::size_t(candidates[c]) * stride, K);
        v = std::max(v, values[c]);
    }
    if (!std::isfinite(v) || !certified(plan, v, error, bound)) return m;
    const float floor = float_down(double(v) - 3 * error);
    int kept = 0;
    for (int c = 0; c < m; ++c)
        if (values[c] >= floor) candidates[kept++] = candidates[c];
    return kept;
}

// The certified choice for one row once every block is scanned (see the proof above):
// x the row itself, a its product row, bound its upper bound of |x - mu|, candidates
// scratch for k indices, buffer for one block of scores.
int choose(const SearchPlan& plan, const TileGeometry& g, const RowScan& r, const int* indices,
           const float* values, const float* x, const float* a, float* rowCopy, float bound,
           int* candidates, float* buffer, SearchCounts& counts) {
    // The product row, formed here when the tile did not keep it (see search_tiles).
    const auto product_row = [&]() -> const float* {
        if (a != nullptr) return a;
        for (int t = 0; t < plan.d; ++t) rowCopy[t] = x[t] - plan.shift[t];
        rowCopy[plan.d] = x[plan.d];
        return a = rowCopy;
    };
    const double error = r.error;
    if (r.index >= 0 && std::isfinite(r.best) && error < kInf) {
        const double v = r.best;
        if (certified(plan, v, error, bound)) {
            const float floor = float_down(v - 3 * error);
            if (r.second < floor) return r.index;
            int m = 0;
            if (r.count <= kRowCandidates) {
                for (int c = 0; c < r.count; ++c)
                    if (values[c] >= floor) candidates[m++] = indices[c];
            } else {
                // Scored again, perhaps rounded otherwise: any scores within E of the
                // exact ones serve, and the best centre b scores at least v - 2E.
                m = rescore(plan, g, product_row(), floor, buffer, candidates);
            }
            if (m > 1 && m <= kRowCandidates && plan.filter != ScoreFilter::float32) {
                float scores[kRowCandidates];
                ++counts.refined;
                m = refine_in_float(plan, product_row(), bound, candidates, m, scores);
                if (m == 1) return candidates[0];
            }
            if (m > 0) {
                ++counts.narrowed;
                return nearest_among(x, plan, candidates, m);
            }
        }
    }
    ++counts.exhaustive;
    return nearest_among(x, plan, nullptr, plan.k);
}

#ifdef KMEANS_TEST_HOOKS
// Test hook: every score moved by 3/4 of its row's bound, the sign alternating along
// the row and from row to row.
void perturb(const RowScan* scans, float* scores, int rows, int nb, int j0, int ldc) {
    for (int i = 0; i < rows; ++i) {
        const double error = scans[i].error;
        if (!(error < kInf)) continue;
        for (int j = 0; j < nb; ++j)
            scores[std::size_t(i) * std::size_t(ldc) + std::size_t(j)] +=
                float(((i + j0 + j) & 1 ? 0.75 : -0.75) * error);
    }
}
#endif

// Copies a tile of scores to the caller's matrix. When a call's scores are too many
// to stay in cache anyway (a training block), they go out with streaming stores: no
// cache line is read for ownership and the tile buffer stays in cache for the next
// sgemm.
constexpr std::size_t kStreamFloats = std::size_t(1) << 23;  // 32 MB of scores
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void stream_copy_avx2(float* dst, const float* src,
                                                      std::size_t count) {
    std::size_t i = 0;
    while (i < count && (reinterpret_cast<std::uintptr_t>(dst + i) & 31) != 0) {
        dst[i] = src[i];
        ++i;
    }
    for (; i + 8 <= count; i += 8) _mm256_stream_ps(dst + i, _mm256_loadu_ps(src + i));
    for (; i < count; ++i) dst[i] = src[i];
}

void copy_scores(float* dst, const float* src, std::size_t count, bool stream) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (stream && avx2)
        stream_copy_avx2(dst, src, count);
    else
        std::memcpy(dst, src, sizeof(float) * count);
}

void finish_copies() { _mm_sfence(); }  // streaming stores are weakly ordered
#else
void copy_scores(float* dst, const float* src, std::size_t count, bool) {
    std::memcpy(dst, src, sizeof(float) * count);
}
void finish_copies() {}
#endif

}  // namespace

// Every row against every centre in double: the path without float scores.
static void measure_every_centre(const SearchPlan& plan, const float* rows, int count,
                                 int* nearest) {
    const std::size_t stride = std::size_t(plan.d) + 1;
    for (int i = 0; i < count; ++i)
        nearest[i] = nearest_among(rows + std::size_t(i) * stride, plan, nullptr, plan.k);
}

// A tile's rows as the product takes them: with a shift, x - mu into `moved` (rounded
// as row_bounds rounds it; null: the bf16 rounding forms it, and so do the rows that
// need it later); and unless the caller gave them, the rows' bounds into `tileBounds`.
static void prepare_tile(const SearchPlan& plan, const float* x, int size, bool haveBounds,
                         float* moved, float* tileBounds) {
    const int d = plan.d;
    const std::size_t stride = std::size_t(d) + 1;
    if (plan.shift != nullptr) {
        for (int i = 0; i < size; ++i) {
            const float* xi = x + std::size_t(i) * stride;
            if (moved == nullptr) {
                if (!haveBounds) tileBounds[i] = bound_row<true, false>(xi, d, plan.shift, nullptr);
                continue;
            }
            float* ai = moved + std::size_t(i) * stride;
            if (haveBounds) {
                for (int t = 0; t < d; ++t) ai[t] = xi[t] - plan.shift[t];
            } else {
                tileBounds[i] = bound_row<true, true>(xi, d, plan.shift, ai);
            }
            ai[d] = xi[d];
        }
    } else if (!haveBounds) {
        for (int i = 0; i < size; ++i)
            tileBounds[i] =
                bound_row<false, false>(x + std::size_t(i) * stride, d, nullptr, nullptr);
    }
}

// k centres in equal blocks of a multiple of 16, at most `most` each.
static int equal_blocks(int k, int most) {
    if (most >= k) return k;
    const int blocks = (k + most - 1) / most;
    const int even = (k + blocks - 1) / blocks;
    return std::min(k, (even + 15) / 16 * 16);
}

// Centres per block: as many as keep a tile's scores within kTileFloats, in equal
// blocks of a multiple of 16.
static int centres_per_block(int k, int tileRows, std::size_t tileFloats) {
    int most = int(tileFloats / std::size_t(tileRows));
#ifdef KMEANS_TEST_HOOKS
    if (search_test_hooks.centreBlock > 0) return std::min(search_test_hooks.centreBlock, k);
#endif
    return equal_blocks(k, most);
}

int bf16_block_centres(int k) {
    return equal_blocks(k, int(kHalfTileFloats / std::size_t(kHalfTileRows)));
}

int bf16_tile_rows() { return kHalfTileRows; }

// A lower bound of D_j - D_c for every centre j other than the chosen c, from the
// row's scan (item 4 above: |s_j - T_j| <= E and D_j - D_c = 2 (T_c - T_j)): when c
// is the float argmax, T_c - T_j >= s_c - s_j - 2E >= best - second - 2E. 0 where the
// scores prove nothing (another centre chosen, the bound not holding, no score).
// With groups of centres, the same per group from its best score (the chosen
// centre's group from `second`, the best score of every other centre).
float score_gap(const RowScan& r, float other) {
    if (other == -kInfFloat) return kInfFloat;  // no other centre has a score
    double margin = 2 * r.error;
    double down = 1 - 0x1p-50;
#ifdef KMEANS_TEST_HOOKS
    if (search_test_hooks.noPruneMargin) margin = 0, down = 1;
#endif
    const double gap = 2 * ((double(r.best) - double(other)) - margin) * down;
    return gap > 0 ? float_down(gap) : 0.0f;
}

// score_gap for each group's best score.
void group_gaps_plain(const RowScan& r, const float* groupBest, int groups, float* gaps) {
    for (int g = 0; g < groups; ++g) gaps[g] = score_gap(r, groupBest[g]);
}

#if defined(__x86_64__)
__attribute__((target("avx512f,avx512vl"))) void group_gaps_avx512(const RowScan& r,
                                                                   const float* groupBest,
                                                                   int groups, float* gaps) {
    double margin = 2 * r.error;
    double down = 1 - 0x1p-50;
#ifdef KMEANS_TEST_HOOKS
    if (search_test_hooks.noPruneMargin) margin = 0, down = 1;
#endif
    const __m512d best = _mm512_set1_pd(double(r.best));
    const __m512d less = _mm512_set1_pd(margin);
    const __m512d scale = _mm512_set1_pd(2 * down);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d none = _mm512_set1_pd(-kInf);
    const __m512d inf = _mm512_set1_pd(kInf);
    for (int g = 0; g < groups; g += 8) {
        const __mmask8 in = groups - g >= 8 ? __mmask8(0xFF) : __mmask8((1u << (groups - g)) - 1);
        const __m512d other = _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(in, groupBest + g));
        // (best - other) is exact in double; the rest rounds, and down covers it.
        __m512d gap = _mm512_mul_pd(_mm512_sub_pd(_mm512_sub_pd(best, other), less), scale);
        gap = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(gap, zero, _CMP_GT_OQ), zero, gap);
        gap = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(other, none, _CMP_EQ_OQ), gap, inf);
        _mm256_mask_storeu_ps(
            gaps + g, in,
            _mm512_maskz_cvt_roundpd_ps(0xFF, gap, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
    }
}
#endif

void group_gaps(const RowScan& r, const float* groupBest, int groups, float* gaps) {
#if defined(__x86_64__)
    static const bool avx512 =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    if (avx512) return group_gaps_avx512(r, groupBest, groups, gaps);
#endif
    group_gaps_plain(r, groupBest, groups, gaps);
}

void chosen_gaps(const SearchPlan& plan, const RowScan& r, int chosen, float bound,
                 const float* groupBest, int groups, int groupSize, float* gaps) {
    const bool proven = chosen == r.index && r.error < kInf && std::isfinite(r.best) &&
                        certified(plan, r.best, r.error, bound);
    if (!proven) {
        std::fill(gaps, gaps + groups, 0.0f);
        return;
    }
    if (groups == 1) {
        gaps[0] = score_gap(r, r.second);
        return;
    }
    const int own = chosen / groupSize;
    group_gaps(r, groupBest, groups, gaps);
    gaps[own] = score_gap(r, r.second);
}

// Each group's best score in one row of a tile (centres j0 .. j0+nb-1), into best[]
// (groups of groupSize consecutive centres; NaNs skipped).
void group_best_plain(const float* s, int nb, int j0, int groupSize, float* best) {
    for (int j = 0; j < nb; ++j) {
        float& b = best[(j0 + j) / groupSize];
        b = s[j] > b ? s[j] : b;
    }
}

#if defined(__x86_64__)
// The largest of the scores of centres [from, to) (row s starts at centre j0), as a
// vector whose lanes each hold the largest of theirs (max(v, m) keeps m where v is a
// NaN).
__attribute__((target("avx512f"))) inline __m512 lanes_max(const float* s, int from, int to,
                                                           int j0) {
    __m512 m = _mm512_set1_ps(-kInfFloat);
    for (int at = from; at < to; at += 16) {
        const __mmask16 in = to - at >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (to - at)) - 1);
        m = _mm512_mask_max_ps(m, in, _mm512_maskz_loadu_ps(in, s + (at - j0)), m);
    }
    return m;
}

// Halves, quarters, pairs, neighbours: lane 0 ends with the largest.
// (The zero-masked forms: GCC 12 warns on the plain ones' undefined operand.)
__attribute__((target("avx512f"))) inline float lane_max(__m512 m) {
    const __mmask16 all = 0xFFFF;
    m = _mm512_maskz_max_ps(all, m, _mm512_maskz_shuffle_f32x4(all, m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm512_maskz_max_ps(all, m, _mm512_maskz_shuffle_f32x4(all, m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    m = _mm512_maskz_max_ps(all, m, _mm512_maskz_permute_ps(all, m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm512_maskz_max_ps(all, m, _mm512_maskz_permute_ps(all, m, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm512_cvtss_f32(m);
}

// Sixteen vectors into one whose lane i holds the largest of v[i]'s lanes: four
// rounds, each taking pairs of vectors to one (the even lanes of both against their
// odd lanes), the lanes' order kept.
__attribute__((target("avx512f"))) inline __m512 sixteen_max(__m512* v) {
    const __m512i even =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odd =
        _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    for (int n = 16; n > 1; n /= 2)
        for (int i = 0; i < n / 2; ++i)
            v[i] = _mm512_maskz_max_ps(0xFFFF, _mm512_permutex2var_ps(v[2 * i], even, v[2 * i + 1]),
                                       _mm512_permutex2var_ps(v[2 * i], odd, v[2 * i + 1]));
    return v[0];
}

__attribute__((target("avx512f"))) void group_best_avx512(const float* s, int nb, int j0,
                                                          int groupSize, float* best) {
    const int end = j0 + nb;
    // The groups wholly inside the block, sixteen at a time; the others one by one.
    int g = j0 / groupSize;
    const int whole = groupSize % 16 == 0 ? end / groupSize : 0;  // past the last whole group
    if (j0 % groupSize != 0) {
        const int to = std::min(end, (g + 1) * groupSize);
        best[g] = std::max(best[g], lane_max(lanes_max(s, j0, to, j0)));
        ++g;
    }
    for (; g + 16 <= whole; g += 16) {
        __m512 v[16];
        for (int u = 0; u < 16; ++u)
            v[u] = lanes_max(s, (g + u) * groupSize, (g + u + 1) * groupSize, j0);
        _mm512_storeu_ps(best + g,
                         _mm512_maskz_max_ps(0xFFFF, sixteen_max(v), _mm512_loadu_ps(best + g)));
    }
    for (; g * groupSize < end; ++g) {
        const int from = std::max(j0, g * groupSize);
        const int to = std::min(end, (g + 1) * groupSize);
        best[g] = std::max(best[g], lane_max(lanes_max(s, from, to, j0)));
    }
}
#endif

void group_best(const float* s, int nb, int j0, int groupSize, float* best) {
#if defined(__x86_64__)
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    if (avx512 && groupSize >= 16) return group_best_avx512(s, nb, j0, groupSize, best);
#endif
    group_best_plain(s, nb, j0, groupSize, best);
}

void search_tiles(const SearchPlan& plan, const float* rows, int count, const float* bounds,
                  float* scores, int* nearest, SearchCounts* counts, ExactSums* sums, float* gaps,
                  int groupSize) {
    if (count <= 0 || plan.k <= 0) return;
    score_product_single_thread();
    const int d = plan.d;
    const int k = plan.k;
    const std::size_t stride = std::size_t(d) + 1;
    const std::size_t kk = std::size_t(k);
    if (groupSize <= 0 || groupSize > k) groupSize = k;
    const int groups = (k + groupSize - 1) / groupSize;
    const std::size_t G = std::size_t(groups);

    // Scratch: a tile of scores against one centre block, a tile of shifted rows, the
    // rows' bounds, their scans and kept candidates, and the candidates of one row.
    // Short of memory, one row at a time.
    const bool shifted = plan.shift != nullptr;
    std::unique_ptr<float[]> buffer;
    std::unique_ptr<RowScan[]> scans;
    std::unique_ptr<int[]> kept;
    std::unique_ptr<float[]> keptValues;
    std::unique_ptr<float[]> rounded;    // bf16 filter: the group's rows rounded, their deltas
    std::unique_ptr<float[]> groupBest;  // gaps by groups of centres: each row's best per group
    std::unique_ptr<int[]> candidates(new (std::nothrow) int[kk]);
    const bool half = plan.filter == ScoreFilter::bf16;
    const bool emulated = plan.filter == ScoreFilter::bf16Emulated;
    const bool bf16 = half || emulated;
    // The bf16 filter rounds x - mu straight from x: no shifted float copy of the
    // tiles; the few rows that need x - mu in float (candidates rescored) form it
    // again in `rowCopy`.
    const bool fused = bf16 && shifted;
    // With several blocks, a group of kGroupTiles tiles goes through each block
    // before the next block: the block's centres are read from cache by every tile of
    // the group.
    int tileRows = bf16 ? kHalfTileRows : kTileRows;
    const std::size_t tileFloats = bf16 ? kHalfTileFloats : kTileFloats;
    int blockCentres = centres_per_block(k, tileRows, tileFloats);
    int groupRows = tileRows;
    for (; tileRows >= 1 && candidates; tileRows = tileRows > 1 ? 1 : 0) {
        const std::size_t t = std::size_t(tileRows);
        blockCentres = centres_per_block(k, tileRows, tileFloats);
        groupRows = blockCentres < k ? tileRows * kGroupTiles : tileRows;
        const std::size_t group = std::size_t(groupRows);
        const std::size_t cells = t * std::size_t(blockCentres);
        buffer.reset(new (
            std::nothrow) float[cells + (shifted && !fused ? group * stride : 0) + group + stride]);
        scans.reset(new (std::nothrow) RowScan[group]);
        if (gaps != nullptr && groups > 1) groupBest.reset(new (std::nothrow) float[group * G]);
        kept.reset(new (std::nothrow) int[group * kRowCandidates]);
        keptValues.reset(new (std::nothrow) float[group * kRowCandidates]);
        // bf16 rows: d values of 2 bytes per row, in floats; emulated: augmented rows.
        const std::size_t roundedFloats = half       ? group * ((std::size_t(d) + 1) / 2)
                                          : emulated ? group * stride
                                                     : 0;
        rounded.reset(new (std::nothrow) float[roundedFloats + group]);
        if (buffer && scans && kept && keptValues && rounded &&
            (groupBest || gaps == nullptr || groups == 1))
            break;
    }
    SearchCounts local;
    local.rows = count;
    // (until a scan proves more)
    if (gaps != nullptr) std::fill(gaps, gaps + std::size_t(count) * G, 0.0f);
    if (tileRows < 1 || !candidates) {
        measure_every_centre(plan, rows, count, nearest);
        if (sums != nullptr) sums->addRows(rows, count, nearest, plan.centers, 0, k);
        local.exhaustive = count;
        if (counts != nullptr) *counts += local;
        return;
    }
    const int blocks = (k + blockCentres - 1) / blockCentres;
    float* tile = buffer.get();
    float* moved = tile + std::size_t(tileRows) * std::size_t(blockCentres);
    float* tileBounds = moved + (shifted && !fused ? std::size_t(groupRows) * stride : 0);
    float* rowCopy = tileBounds + groupRows;
    float* deltas = rounded.get();
    std::uint16_t* halfRows = half ? reinterpret_cast<std::uint16_t*>(deltas + groupRows) : nullptr;
    float* emulatedRows = emulated ? deltas + groupRows : nullptr;

    const bool stream = scores != nullptr && std::size_t(count) * kk >= kStreamFloats;
    for (int first = 0; first < count;) {
        const int left = count - first;
        const int size = left < groupRows ? left : groupRows;
        const float* x = rows + std::size_t(first) * stride;
        const TileGeometry g{fused     ? nullptr
                             : shifted ? moved
                                       : x,
                             halfRows, emulatedRows, blockCentres, blocks};
        prepare_tile(plan, x, size, bounds != nullptr, fused ? nullptr : moved, tileBounds);
        if (bf16)
            round_tile_rows(plan, fused ? x : g.a, fused ? plan.shift : nullptr, size, halfRows,
                            emulatedRows, deltas);
        const float* rowBounds = bounds != nullptr ? bounds + first : tileBounds;
        for (int i = 0; i < size; ++i)
            scans[i] = {-kInfFloat, -kInfFloat, -1, 0,
                        row_error(plan, rowBounds[i], bf16 ? deltas[i] : 0.0f)};
        if (groupBest)
            std::fill(groupBest.get(), groupBest.get() + std::size_t(size) * G, -kInfFloat);
        bool scored = true;
        for (int b = 0; b < blocks && scored; ++b) {
            const int j0 = b * blockCentres;
            const int nb = std::min(blockCentres, k - j0);
            for (int t0 = 0; t0 < size && scored; t0 += tileRows) {
                const int m = std::min(tileRows, size - t0);
                const std::size_t top = std::size_t(first) + std::size_t(t0);
                // A call that hands back its scores gets them straight into its matrix
                // when they are few; otherwise they pass through the tile buffer.
                const bool direct = scores != nullptr && !stream;
                float* out = direct ? scores + top * kk + std::size_t(j0) : tile;
                const int ldc = direct ? k : nb;
                scored = tile_scores(plan, g, t0, m, j0, nb, out, ldc);
                if (!scored) break;
                RowScan* scan = scans.get() + t0;
#ifdef KMEANS_TEST_HOOKS
                if (search_test_hooks.perturb) perturb(scan, out, m, nb, j0, ldc);
#endif
                for (int i = 0; i < m; ++i) {
                    const std::size_t at = std::size_t(t0 + i) * kRowCandidates;
                    const float* row = out + std::size_t(i) * std::size_t(ldc);
                    scan_block(scan[i], row, nb, j0, kept.get() + at, keptValues.get() + at);
                    if (!groupBest) continue;
                    group_best(row, nb, j0, groupSize, groupBest.get() + std::size_t(t0 + i) * G);
                }
                if (scores != nullptr && !direct)
                    for (int i = 0; i < m; ++i)
                        copy_scores(scores + (top + std::size_t(i)) * kk + std::size_t(j0),
                                    tile + std::size_t(i) * std::size_t(nb), std::size_t(nb),
                                    stream);
            }
        }
        if (!scored) {
            // The library is short of memory: these rows are measured in double (their
            // scores, if asked for, are left as they were).
            measure_every_centre(plan, x, size, nearest + first);
            if (sums != nullptr) sums->addRows(x, size, nearest + first, plan.centers, 0, k);
            local.exhaustive += size;
            first += size;
            continue;
        }
        for (int i = 0; i < size; ++i) {
            int& chosen = nearest[std::size_t(first) + std::size_t(i)];
#ifdef KMEANS_TEST_HOOKS
            if (search_test_hooks.plainArgmax) {
                chosen = scans[i].index < 0 ? 0 : scans[i].index;
                continue;
            }
#endif
            chosen = choose(plan, g, scans[i], kept.get() + std::size_t(i) * kRowCandidates,
                            keptValues.get() + std::size_t(i) * kRowCandidates,
                            x + std::size_t(i) * stride,
                            g.a != nullptr ? g.a + std::size_t(i) * stride : nullptr, rowCopy,
                            rowBounds[i], candidates.get(), tile, local);
            if (gaps != nullptr)
                chosen_gaps(plan, scans[i], chosen, rowBounds[i],
                            groupBest ? groupBest.get() + std::size_t(i) * G : nullptr, groups,
                            groupSize, gaps + (std::size_t(first) + std::size_t(i)) * G);
        }
        if (sums != nullptr) sums->addRows(x, size, nearest + first, plan.centers, 0, k);
        first += size;
    }
    finish_copies();
    if (counts != nullptr) *counts += local;
}

}  // namespace kmeans::detail
