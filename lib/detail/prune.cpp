// prune.cpp - the rows' bounds, their test, and the search of the rows they leave
// (the proof is in prune.h).
#include "detail/prune.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "detail/exact_sums.h"
#include "detail/fixed_order.h"
#include "detail/score_bounds.h"
#include "detail/search.h"
#include "kmeans.h"

namespace kmeans::detail {

namespace {

// Rows gathered for one search call: enough that the call's set-up is small beside
// it, few enough that the copy stays a fraction of the slice.
constexpr int kGatherRows = 8192;

struct Margins {
    double g;     // the double evaluation's relative error
    double down;  // a factor below 1 for each result rounded down
    double up;
    float loosen;  // the float loosening's factor (prune_search)
};

Margins margins(int d) {
#ifdef KMEANS_TEST_HOOKS
    if (search_test_hooks.noPruneMargin) return {0, 1, 1, 1};
#endif
    return {gamma_double(double(d) + 2), 1 - 0x1p-50, 1 + 0x1p-50, 1 - 0x1p-22f};
}

// The row's new bound from its distance e to the chosen centre and the search's gap.
float fresh_bound(const Margins& m, double e, float gap) {
    if (!(gap > 0)) return 0;  // nothing proven: D_j may lie below D_c
    const double squared = (e / (1 + m.g)) * m.down + double(gap);
    if (!(squared > 0)) return 0;
    if (std::isinf(squared)) return std::numeric_limits<float>::infinity();
    return float_down(std::sqrt(squared) * m.down);
}

// The same for a row's G groups at once (out may be gaps).
void fresh_bounds_plain(const Margins& m, double e, const float* gaps, int G, float* out) {
    for (int g = 0; g < G; ++g) out[g] = fresh_bound(m, e, gaps[g]);
}

#if defined(__x86_64__)
__attribute__((target("avx512f,avx512vl"))) void fresh_bounds_avx512(const Margins& m, double e,
                                                                     const float* gaps, int G,
                                                                     float* out) {
    const double low = (e / (1 + m.g)) * m.down;
    if (!(low >= 0) || std::isinf(low)) return fresh_bounds_plain(m, e, gaps, G, out);
    const __m512d base = _mm512_set1_pd(low);
    const __m512d down = _mm512_set1_pd(m.down);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    for (int g = 0; g < G; g += 8) {
        const __mmask8 in = G - g >= 8 ? __mmask8(0xFF) : __mmask8((1u << (G - g)) - 1);
        const __m512d gap = _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(in, gaps + g));
        // Nothing proven (gap <= 0 or NaN): 0. An infinite gap stays infinite.
        const __mmask8 proven = _mm512_cmp_pd_mask(gap, zero, _CMP_GT_OQ);
        const __mmask8 endless = _mm512_cmp_pd_mask(gap, inf, _CMP_EQ_OQ);
        __m512d b = _mm512_mul_pd(_mm512_maskz_sqrt_pd(0xFF, _mm512_add_pd(base, gap)), down);
        b = _mm512_mask_blend_pd(proven, zero, b);
        b = _mm512_mask_blend_pd(endless, b, inf);
        _mm256_mask_storeu_ps(
            out + g, in,
            _mm512_maskz_cvt_roundpd_ps(0xFF, b, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
    }
}
#endif

void fresh_bounds(const Margins& m, double e, const float* gaps, int G, float* out) {
#if defined(__x86_64__)
    static const bool avx512 =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    if (avx512) return fresh_bounds_avx512(m, e, gaps, G, out);
#endif
    fresh_bounds_plain(m, e, gaps, G, out);
}

// The least float that a group's bound L must exceed to prove the row's centre at
// distance e (a double evaluation of D_a): L > t with t^2 = e (1 + g) / (1 - g)^2 gives
// (1 - g) L^2 > e (1 + g) / (1 - g) (prune.h). +inf where e is not finite.
float least_bound(const Margins& m, double e) {
    if (!std::isfinite(e)) return std::numeric_limits<float>::infinity();
#ifdef KMEANS_TEST_HOOKS
    // No margin: just below the distance itself, so that a bound equal to it passes.
    if (search_test_hooks.noPruneMargin) return std::nextafter(float(std::sqrt(e)), 0.0f);
#endif
    return float_up(std::sqrt(e * (1 + m.g) / ((1 - m.g) * (1 - m.g)) * m.up) * m.up);
}

// A group's bound from the least double distance D^ to its centres (other than the
// chosen one): sqrt(D^ / (1 + g)), rounded down.
float bound_of(const Margins& m, double nearest) {
    if (std::isinf(nearest)) return std::numeric_limits<float>::infinity();
#ifdef KMEANS_TEST_HOOKS
    if (search_test_hooks.noPruneMargin) return float(std::sqrt(nearest));
#endif
    return nearest > 0 ? float_down(std::sqrt(nearest / (1 + m.g) * m.down) * m.down) : 0.0f;
}

// Distances D^ (search.h's definition, bit for bit) from x to `count` runs of
// consecutive centres, read from the transposed centres T (value t of centre j at
// t * ld + j): run r holds centres from[r] .. from[r] + size[r] - 1 (size <= 8), its
// distances at out[8 r ..]. Each lane sums its own centre's terms in order t = 0, 1,
// ..., a difference and a square formed in double and added, as squared_distance does.
void run_distances_plain(const float* T, std::size_t ld, const int* from, const int* size,
                         int count, const float* x, int d, double* out) {
    for (int r = 0; r < count; ++r)
        squared_distances_transposed(T + from[r], ld, size[r], x, d, out + 8 * std::size_t(r));
}

#if defined(__x86_64__)
__attribute__((target("avx512f,avx512vl"))) void run_distances_avx512(
    const float* T, std::size_t ld, const int* from, const int* size, int count, const float* x,
    int d, double* out) {
    // Four runs at a time: four independent sums per step, held in registers.
    for (int r0 = 0; r0 < count; r0 += 4) {
        const int runs = std::min(4, count - r0);
        __mmask8 in[4];
        const float* at[4];
        for (int u = 0; u < 4; ++u) {
            const int r = r0 + (u < runs ? u : 0);
            in[u] = u < runs ? __mmask8((1u << size[r]) - 1) : __mmask8(0);
            at[u] = T + from[r];
        }
        __m512d sum0 = _mm512_setzero_pd(), sum1 = sum0, sum2 = sum0, sum3 = sum0;
        for (int t = 0; t < d; ++t) {
            const __m512d xt = _mm512_set1_pd(double(x[t]));
            const std::size_t row = std::size_t(t) * ld;
            const __m512d d0 = _mm512_sub_pd(
                xt, _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(in[0], at[0] + row)));
            sum0 = _mm512_add_pd(sum0, _mm512_mul_pd(d0, d0));
            const __m512d d1 = _mm512_sub_pd(
                xt, _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(in[1], at[1] + row)));
            sum1 = _mm512_add_pd(sum1, _mm512_mul_pd(d1, d1));
            const __m512d d2 = _mm512_sub_pd(
                xt, _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(in[2], at[2] + row)));
            sum2 = _mm512_add_pd(sum2, _mm512_mul_pd(d2, d2));
            const __m512d d3 = _mm512_sub_pd(
                xt, _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(in[3], at[3] + row)));
            sum3 = _mm512_add_pd(sum3, _mm512_mul_pd(d3, d3));
        }
        const __m512d sums[4] = {sum0, sum1, sum2, sum3};
        for (int u = 0; u < runs; ++u) _mm512_storeu_pd(out + 8 * std::size_t(r0 + u), sums[u]);
    }
}
#endif

void run_distances(const float* T, std::size_t ld, const int* from, const int* size, int count,
                   const float* x, int d, double* out) {
#if defined(__x86_64__)
    static const bool avx512 =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    if (avx512) return run_distances_avx512(T, ld, from, size, count, x, d, out);
#endif
    run_distances_plain(T, ld, from, size, count, x, d, out);
}

// A row's G bounds loosened by their groups' drift (in place, 0 at least); whether
// any stays above 0. The factor takes the float difference below the exact one.
bool loosen_plain(float* L, const float* drift, int G, float factor) {
    bool any = false;
    for (int g = 0; g < G; ++g) {
        const float loose = (L[g] - drift[g]) * factor;
        L[g] = loose > 0 ? loose : 0.0f;
        any = any || L[g] > 0;
    }
    return any;
}

// The groups whose bound is not above `at`, in `failing` (at most limit + 1 of them
// counted, limit of them written).
int failing_plain(const float* L, int G, float at, int* failing, int limit) {
    int fails = 0;
    for (int g = 0; g < G && fails <= limit; ++g)
        if (!(L[g] > at)) {
            if (fails < limit) failing[fails] = g;
            ++fails;
        }
    return fails;
}

#if defined(__x86_64__)
__attribute__((target("avx512f"))) bool loosen_avx512(float* L, const float* drift, int G,
                                                      float factor) {
    const __m512 f = _mm512_set1_ps(factor);
    const __m512 zero = _mm512_setzero_ps();
    __mmask16 any = 0;
    for (int g = 0; g < G; g += 16) {
        const __mmask16 in = G - g >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (G - g)) - 1);
        const __m512 loose = _mm512_mul_ps(
            _mm512_sub_ps(_mm512_maskz_loadu_ps(in, L + g), _mm512_maskz_loadu_ps(in, drift + g)),
            f);
        const __m512 kept = _mm512_maskz_max_ps(in, loose, zero);  // (a NaN gives 0)
        _mm512_mask_storeu_ps(L + g, in, kept);
        any |= _mm512_mask_cmp_ps_mask(in, kept, zero, _CMP_GT_OQ);
    }
    return any != 0;
}

__attribute__((target("avx512f"))) int failing_avx512(const float* L, int G, float at, int* failing,
                                                      int limit) {
    const __m512 bar = _mm512_set1_ps(at);
    int fails = 0;
    for (int g = 0; g < G && fails <= limit; g += 16) {
        const __mmask16 in = G - g >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (G - g)) - 1);
        unsigned bad = unsigned(in) & ~unsigned(_mm512_mask_cmp_ps_mask(
                                          in, _mm512_maskz_loadu_ps(in, L + g), bar, _CMP_GT_OQ));
        while (bad != 0 && fails <= limit) {
            if (fails < limit) failing[fails] = g + __builtin_ctz(bad);
            ++fails;
            bad &= bad - 1;
        }
    }
    return fails;
}
#endif

bool loosen(float* L, const float* drift, int G, float factor) {
#if defined(__x86_64__)
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    if (avx512) return loosen_avx512(L, drift, G, factor);
#endif
    return loosen_plain(L, drift, G, factor);
}

int failing_groups(const float* L, int G, float at, int* failing, int limit) {
#if defined(__x86_64__)
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    if (avx512) return failing_avx512(L, G, at, failing, limit);
#endif
    return failing_plain(L, G, at, failing, limit);
}

// Scratch of one worker for the rows measured by groups.
struct GroupScratch {
    std::unique_ptr<int[]> from, size, first;  // first[w]: group w's first run
    std::unique_ptr<double[]> dist;
    bool allocate(int runs, int groups) {
        from.reset(new (std::nothrow) int[std::size_t(runs)]);
        size.reset(new (std::nothrow) int[std::size_t(runs)]);
        first.reset(new (std::nothrow) int[std::size_t(groups) + 1]);
        dist.reset(new (std::nothrow) double[8 * std::size_t(runs)]);
        return from && size && first && dist;
    }
};

// A row measured in double against the centres of `count` groups (their indices in
// `which`) and against its own centre a: its nearest centre among them (the nearest of
// all: every other group's bound proved it farther than a), and fresh bounds for those
// groups (and the own group's taking a in, when the row leaves it).
int measure_groups(const PruneState& st, const Margins& m, const float* x, int a, int k, int d,
                   const int* which, int count, GroupScratch& scratch, float* lower) {
    const int own = a / st.groupSize;
    bool ownExamined = false;
    int runs = 0;
    for (int w = 0; w < count; ++w) {
        ownExamined = ownExamined || which[w] == own;
        scratch.first[w] = runs;
        const int j1 = std::min(k, (which[w] + 1) * st.groupSize);
        for (int j = which[w] * st.groupSize; j < j1; j += 8) {
            scratch.from[runs] = j;
            scratch.size[runs] = std::min(8, j1 - j);
            ++runs;
        }
    }
    scratch.first[count] = runs;
    if (!ownExamined) {
        scratch.from[runs] = a;
        scratch.size[runs] = 1;
        ++runs;
    }
    double* out = scratch.dist.get();
    run_distances(st.transposed.get(), std::size_t(k), scratch.from.get(), scratch.size.get(), runs,
                  x, d, out);
    // The smallest D^, the lowest index among equals.
    double best = std::numeric_limits<double>::infinity();
    int chosen = a;
    bool first = true;
    for (int r = 0; r < runs; ++r)
        for (int l = 0; l < scratch.size[r]; ++l) {
            const double v = out[8 * r + l];
            const int j = scratch.from[r] + l;
            if (first || v < best || (v == best && j < chosen)) {
                best = v;
                chosen = j;
                first = false;
            }
        }
    // Fresh bounds: per examined group, its nearest centre other than the chosen one.
    for (int w = 0; w < count; ++w) {
        double nearest = std::numeric_limits<double>::infinity();
        for (int r = scratch.first[w]; r < scratch.first[w + 1]; ++r)
            for (int l = 0; l < scratch.size[r]; ++l)
                if (scratch.from[r] + l != chosen) nearest = std::min(nearest, out[8 * r + l]);
        lower[which[w]] = bound_of(m, nearest);
    }
    if (!ownExamined && chosen != a)
        lower[own] = std::min(lower[own], bound_of(m, out[8 * (runs - 1)]));
    return chosen;
}

}  // namespace

int prune_group_size(int k, int d) {
    // At most 64 groups, and bounds taking at most half the rows' own bytes; at least
    // 16 centres a group.
    const int groups = std::min(64, std::max(1, (d + 1) / 2));
    const int size = std::max(16, (k + groups - 1) / groups);
    return std::min(size, std::max(k, 1));
}

void group_drift(const float* before, const float* after, int k, int d, int groupSize,
                 float* drift) {
    const std::size_t stride = std::size_t(d) + 1;
    const Margins m = margins(d);
    const int groups = (k + groupSize - 1) / groupSize;
    std::fill(drift, drift + groups, 0.0f);
    for (int j = 0; j < k; ++j) {
        const double e =
            spread_distance(before + std::size_t(j) * stride, after + std::size_t(j) * stride, d);
        const double moved = e == 0 ? 0 : std::sqrt(e * (1 + m.g) * m.up) * m.up;
        drift[j / groupSize] = std::max(drift[j / groupSize], float_up(moved));
    }
}

bool PruneState::allocate(int n, int k, int d) {
    groupSize = prune_group_size(k, d);
    groups = (k + groupSize - 1) / groupSize;
    const std::size_t rows = std::size_t(n > 0 ? n : 1);
    const std::size_t centres = std::size_t(k) * (std::size_t(d) + 1);
    lower.reset(new (std::nothrow) float[rows * std::size_t(groups)]);
    previous.reset(new (std::nothrow) int[rows]);
    before.reset(new (std::nothrow) float[centres]);
    drift.reset(new (std::nothrow) float[std::size_t(groups)]);
    transposed.reset(new (std::nothrow) float[std::size_t(k) * std::size_t(d)]);
    known.reset(new (std::nothrow) double[rows]);
    left.reset(new (std::nothrow) int[rows]);
    if (!lower || !previous || !before || !drift || !transposed || !known || !left) {
        lower.reset();
        previous.reset();
        before.reset();
        drift.reset();
        transposed.reset();
        known.reset();
        left.reset();
        return false;
    }
    forget(n);
    return true;
}

std::size_t PruneState::bytes(int n, int k, int d) {
    const int size = prune_group_size(k, d);
    const std::size_t groups = std::size_t((k + size - 1) / size);
    return std::size_t(n) * (groups * sizeof(float) + 2 * sizeof(int) + sizeof(double)) +
           std::size_t(k) * (2 * std::size_t(d) + 1) * sizeof(float) + groups * sizeof(float);
}

void PruneState::forget(int n) {
    std::fill(lower.get(), lower.get() + std::size_t(n) * std::size_t(groups), 0.0f);
    std::fill(drift.get(), drift.get() + groups, 0.0f);
    totalsKept = false;
    refresh = false;
}

float* PruneState::Gather::get(std::size_t n) {
    if (n > floats) {
        data.reset(new (std::nothrow) float[n]);
        floats = data ? n : 0;
    }
    return data ? data.get() : nullptr;
}

void PruneState::prepare(const float* centres, int k, int d) {
    const std::size_t stride = std::size_t(d) + 1;
    for (int j = 0; j < k; ++j)
        for (int t = 0; t < d; ++t)
            transposed[std::size_t(t) * std::size_t(k) + std::size_t(j)] =
                centres[std::size_t(j) * stride + std::size_t(t)];
}

void prune_search(const SearchPlan& plan, const float* rows, int count, const float* bounds,
                  float* lower, const PruneState& st, int* nearest, SearchCounts* counts,
                  double* known, int* left, PruneState::Gather& gatherBuffer) {
    if (count <= 0) return;
    const int d = plan.d;
    const int k = plan.k;
    const int G = st.groups;
    const std::size_t Gs = std::size_t(G);
    const std::size_t stride = std::size_t(d) + 1;
    const Margins m = margins(d);
    const float* centres = plan.centers;
    const float* drift = st.drift.get();
    // A row with this many failing groups (its own besides) is measured by groups; one
    // with more is searched whole (a group costs about as much as 8 times its centres
    // in the product).
    const int most = std::max(1, k / (8 * st.groupSize) - 1);
    std::unique_ptr<int[]> failing(new (std::nothrow) int[Gs + 1]);
    GroupScratch scratch;
    const bool measure = failing && scratch.allocate(most * ((st.groupSize + 7) / 8) + 1, most);
    int searched = 0;
    long long grouped = 0, examined = 0;
    for (int i = 0; i < count; ++i) {
        const int a = nearest[i];
        float* L = lower + std::size_t(i) * Gs;
        const float* x = rows + std::size_t(i) * stride;
        // Each bound loosened by its group's drift (rounded up), in float: the
        // difference rounds to nearest, the factor 1 - 2^-22 takes it below the exact one.
        // Pass 0 (no bounds yet) reads no centre: nearest[] holds nothing then.
        const bool any = loosen(L, drift, G, m.loosen);
        int fails = 0;
        if (any) {
            // (Measured as the totals measure it: they take it for a row that stays.)
            const double e = spread_distance(x, centres + std::size_t(a) * stride, d);
            if (known != nullptr) known[i] = e;
            const float at = least_bound(m, e);  // a bound above it proves its group
            // (A distance that is not finite: searched whole.)
            fails = std::isinf(at) ? most + 1
                                   : failing_groups(L, G, at, measure ? failing.get() : nullptr,
                                                    measure ? most : 0);
            if (fails == 0) continue;  // kept
        }
        if (any && measure && fails <= most) {
            nearest[i] = measure_groups(st, m, x, a, k, d, failing.get(), fails, scratch, L);
            ++grouped;
            examined += fails;
            continue;
        }
        left[searched++] = i;
    }
    // Most rows left (or no memory to gather them): the slice is searched whole, the
    // settled rows again with it (the same answer), and the search counts every row.
    const int gather = std::min(searched, kGatherRows);
    float* buffer = searched > 0 && searched <= count / 2
                        ? gatherBuffer.get(std::size_t(gather) * (stride + 2 + Gs))
                        : nullptr;
    const int settled = count - searched;
    if (counts != nullptr && (searched == 0 || buffer != nullptr)) {
        counts->kept += settled - grouped;
        counts->grouped += grouped;
        counts->groupsExamined += examined;
        counts->rows += settled;  // (the search counts the others)
    }
    if (searched == 0) return;
    if (buffer == nullptr) {
        if (!st.refresh) {  // the plain search; the bounds start again at the next pass
            search_tiles(plan, rows, count, bounds, nullptr, nearest, counts);
            std::fill(lower, lower + std::size_t(count) * Gs, 0.0f);
            return;
        }
        search_tiles(plan, rows, count, bounds, nullptr, nearest, counts, nullptr, lower,
                     st.groupSize);
        for (int i = 0; i < count; ++i) {
            const float* x = rows + std::size_t(i) * stride;
            const double e = spread_distance(x, centres + std::size_t(nearest[i]) * stride, d);
            float* L = lower + std::size_t(i) * Gs;
            fresh_bounds(m, e, L, G, L);
        }
        return;
    }
    float* copies = buffer;
    float* copyBounds = copies + std::size_t(gather) * stride;
    int* chosen = reinterpret_cast<int*>(copyBounds + gather);
    float* gaps = copyBounds + 2 * std::size_t(gather);
    for (int from = 0; from < searched; from += gather) {
        const int size = std::min(gather, searched - from);
        for (int r = 0; r < size; ++r) {
            const int i = left[std::size_t(from + r)];
            std::memcpy(copies + std::size_t(r) * stride, rows + std::size_t(i) * stride,
                        sizeof(float) * stride);
            if (bounds != nullptr) copyBounds[r] = bounds[i];
        }
        search_tiles(plan, copies, size, bounds != nullptr ? copyBounds : nullptr, nullptr, chosen,
                     counts, nullptr, st.refresh ? gaps : nullptr, st.groupSize);
        if (!st.refresh) std::fill(gaps, gaps + std::size_t(size) * Gs, 0.0f);
        for (int r = 0; r < size; ++r) {
            const int i = left[std::size_t(from + r)];
            nearest[i] = chosen[r];
            const double e = spread_distance(copies + std::size_t(r) * stride,
                                             centres + std::size_t(chosen[r]) * stride, d);
            fresh_bounds(m, e, gaps + std::size_t(r) * Gs, G, lower + std::size_t(i) * Gs);
        }
    }
}

void prune_slice(const SearchPlan& plan, const float* rows, int count, const float* bounds,
                 int* nearest, SearchCounts* counts, ExactSums* sums, const PruneBlock& block,
                 std::size_t first, int worker) {
    // Each row's distance to its centre, where the bounds' test measured it.
    const PruneState& st = *block.state;
    const std::size_t at = block.first + first;
    double* known = st.known.get() + at;
    std::fill(known, known + count, -1.0);
    // (Workers past the kept buffers, with -p above 64, gather into their own.)
    PruneState::Gather own;
    PruneState::Gather& gather = worker < PruneState::kWorkers ? st.gathers[worker] : own;
    prune_search(plan, rows, count, bounds, block.lower + first * std::size_t(st.groups), st,
                 nearest, counts, known, st.left.get() + at, gather);
    if (sums != nullptr)
        sums->addRows(rows, count, nearest, plan.centers, 0, plan.k,
                      block.previous != nullptr ? block.previous + first : nullptr, known);
}

TrainSettings::Prune pruning_mode() {
    // Off by default for now: see the pruning notes in docs/PERFORMANCE.md.
    const char* v = std::getenv("KMEANS_PRUNE");
    if (v == nullptr) return TrainSettings::Prune::off;
    if (std::strcmp(v, "on") == 0 || std::strcmp(v, "1") == 0) return TrainSettings::Prune::on;
    if (std::strcmp(v, "always") == 0) return TrainSettings::Prune::always;
    return TrainSettings::Prune::off;
}

}  // namespace kmeans::detail
