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

namespace kmeans::detail {

namespace {

// The squared distance between the first d values of x and c in double, summed in
// lanes (any order serves: prune.h bounds every order alike).
double lane_distance_plain(const float* x, const float* c, int d) {
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int t = 0;
    for (; t + 8 <= d; t += 8)
        for (int l = 0; l < 8; ++l) {
            const double diff = double(x[t + l]) - double(c[t + l]);
            lanes[l] += diff * diff;
        }
    for (; t < d; ++t) {
        const double diff = double(x[t]) - double(c[t]);
        lanes[0] += diff * diff;
    }
    double sum = 0;
    for (double l : lanes) sum += l;
    return sum;
}

#if defined(__x86_64__)
__attribute__((target("avx512f,avx512vl"))) double lane_distance_avx512(const float* x,
                                                                        const float* c, int d) {
    __m512d sum0 = _mm512_setzero_pd();
    __m512d sum1 = _mm512_setzero_pd();
    for (int t = 0; t < d; t += 16) {
        // The tail under a mask (no call out to SSE code with the registers dirty).
        const __mmask16 in = d - t >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (d - t)) - 1);
        const __m512d x0 = _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(__mmask8(in), x + t));
        const __m512d c0 = _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(__mmask8(in), c + t));
        const __m512d x1 =
            _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(__mmask8(in >> 8), x + t + 8));
        const __m512d c1 =
            _mm512_maskz_cvtps_pd(0xFF, _mm256_maskz_loadu_ps(__mmask8(in >> 8), c + t + 8));
        const __m512d d0 = _mm512_sub_pd(x0, c0);
        const __m512d d1 = _mm512_sub_pd(x1, c1);
        sum0 = _mm512_fmadd_pd(d0, d0, sum0);
        sum1 = _mm512_fmadd_pd(d1, d1, sum1);
    }
    double lanes[8];
    _mm512_storeu_pd(lanes, _mm512_add_pd(sum0, sum1));
    double sum = 0;
    for (double l : lanes) sum += l;
    return sum;
}
#endif

double lane_distance(const float* x, const float* c, int d) {
#if defined(__x86_64__)
    static const bool avx512 =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    if (avx512) return lane_distance_avx512(x, c, d);
#endif
    return lane_distance_plain(x, c, d);
}

// Rows gathered for one search call: enough that the call's set-up is small beside
// it, few enough that the copy stays a fraction of the slice.
constexpr int kGatherRows = 8192;

struct Margins {
    double g;     // the double evaluation's relative error
    double down;  // a factor below 1 for each result rounded down
    double up;
};

Margins margins(int d) {
#ifdef KMEANS_TEST_HOOKS
    if (search_test_hooks.noPruneMargin) return {0, 1, 1};
#endif
    return {gamma_double(double(d) + 2), 1 - 0x1p-50, 1 + 0x1p-50};
}

// The row's new bound from its distance e to the chosen centre and the search's gap.
float fresh_bound(const Margins& m, double e, float gap) {
    if (!(gap > 0)) return 0;  // nothing proven: D_j may lie below D_c
    const double squared = (e / (1 + m.g)) * m.down + double(gap);
    if (!(squared > 0)) return 0;
    if (std::isinf(squared)) return std::numeric_limits<float>::infinity();
    return float_down(std::sqrt(squared) * m.down);
}

// Whether bound L (over every other centre) proves the row's centre at distance e.
bool proves(const Margins& m, double L, double e) {
    if (!(L > 0) || !std::isfinite(e)) return false;
    const double left = L * L * (1 - m.g) * m.down;
    const double right = e * (1 + m.g) / (1 - m.g) * m.up;
    return left > right;
}

}  // namespace

int prune_group_size(int k, int d) {
    // At most 64 groups, and bounds taking at most half the rows' own bytes; at least
    // 16 centres a group.
    int groups = std::min(64, std::max(1, (d + 1) / 2));
    int size = std::max(16, (k + groups - 1) / groups);
    return std::min(size, std::max(k, 1));
}

void group_drift(const float* before, const float* after, int k, int d, int groupSize,
                 double* drift) {
    const std::size_t stride = std::size_t(d) + 1;
    const Margins m = margins(d);
    const int groups = (k + groupSize - 1) / groupSize;
    std::fill(drift, drift + groups, 0.0);
    for (int j = 0; j < k; ++j) {
        const double e =
            lane_distance(before + std::size_t(j) * stride, after + std::size_t(j) * stride, d);
        const double moved = e == 0 ? 0 : std::sqrt(e * (1 + m.g) * m.up) * m.up;
        drift[j / groupSize] = std::max(drift[j / groupSize], moved);
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
    drift.reset(new (std::nothrow) double[std::size_t(groups)]);
    transposed.reset(new (std::nothrow) float[std::size_t(k) * std::size_t(d)]);
    if (!lower || !previous || !before || !drift || !transposed) {
        lower.reset();
        previous.reset();
        before.reset();
        drift.reset();
        transposed.reset();
        return false;
    }
    forget(n, k);
    return true;
}

std::size_t PruneState::bytes(int n, int k, int d) {
    const int size = prune_group_size(k, d);
    const std::size_t groups = std::size_t((k + size - 1) / size);
    return std::size_t(n) * (groups * sizeof(float) + sizeof(int)) +
           std::size_t(k) * (2 * std::size_t(d) + 1) * sizeof(float) + groups * sizeof(double);
}

void PruneState::forget(int n, int k) {
    (void)k;
    std::fill(lower.get(), lower.get() + std::size_t(n) * std::size_t(groups), 0.0f);
    std::fill(drift.get(), drift.get() + groups, 0.0);
    totalsKept = false;
}

void PruneState::prepare(const float* centres, int k, int d) {
    const std::size_t stride = std::size_t(d) + 1;
    for (int j = 0; j < k; ++j)
        for (int t = 0; t < d; ++t)
            transposed[std::size_t(t) * std::size_t(k) + std::size_t(j)] =
                centres[std::size_t(j) * stride + std::size_t(t)];
}

namespace {

// A row measured in double (search.h's definition, bit for bit) against the centres of
// `count` groups (their indices in `which`, the row's own among them): its nearest
// centre among them, and fresh bounds for those groups. `dist` holds groupSize doubles
// per group examined.
int measure_groups(const PruneState& st, const Margins& m, const float* x, int k, int d,
                   const int* which, int count, double* dist, float* lower) {
    double best = std::numeric_limits<double>::infinity();
    int chosen = -1;
    for (int w = 0; w < count; ++w) {
        const int j0 = which[w] * st.groupSize;
        const int size = std::min(st.groupSize, k - j0);
        double* out = dist + std::size_t(w) * std::size_t(st.groupSize);
        squared_distances_transposed(st.transposed.get() + j0, std::size_t(k), size, x, d, out);
        for (int j = 0; j < size; ++j)
            if (out[j] < best || (out[j] == best && j0 + j < chosen) || chosen < 0) {
                best = out[j];
                chosen = j0 + j;
            }
    }
    for (int w = 0; w < count; ++w) {
        const int j0 = which[w] * st.groupSize;
        const int size = std::min(st.groupSize, k - j0);
        const double* out = dist + std::size_t(w) * std::size_t(st.groupSize);
        double nearest = std::numeric_limits<double>::infinity();
        for (int j = 0; j < size; ++j)
            if (j0 + j != chosen) nearest = std::min(nearest, out[j]);
        float& L = lower[which[w]];
        if (std::isinf(nearest))
            L = std::numeric_limits<float>::infinity();
        else
            L = nearest > 0 ? float_down(std::sqrt(nearest / (1 + m.g) * m.down) * m.down) : 0.0f;
    }
    return chosen;
}

}  // namespace

void prune_search(const SearchPlan& plan, const float* rows, int count, const float* bounds,
                  float* lower, const PruneState& st, int* nearest, SearchCounts* counts) {
    if (count <= 0) return;
    const int d = plan.d;
    const int k = plan.k;
    const int G = st.groups;
    const std::size_t stride = std::size_t(d) + 1;
    const Margins m = margins(d);
    const float* centres = plan.centers;
    // A row with this many failing groups (its own besides) is measured by groups; one
    // with more is searched whole (a group costs about as much as 8 times its centres
    // in the product).
    const int most = std::max(1, k / (8 * st.groupSize) - 1);
    std::unique_ptr<int[]> left(new (std::nothrow) int[std::size_t(count)]);
    std::unique_ptr<int[]> failing(new (std::nothrow) int[std::size_t(G) + 1]);
    std::unique_ptr<double[]> dist(
        new (std::nothrow) double[std::size_t(most + 1) * std::size_t(st.groupSize)]);
    const bool measure = failing && dist;
    int searched = 0;
    long long grouped = 0, examined = 0;
    for (int i = 0; i < count; ++i) {
        const int a = nearest[i];
        float* L = lower + std::size_t(i) * std::size_t(G);
        const float* x = rows + std::size_t(i) * stride;
        // Pass 0 (no bounds yet) reads no centre: nearest[] holds nothing then.
        bool any = false;
        for (int g = 0; g < G; ++g) {
            const double loose = (double(L[g]) - st.drift[g]) * m.down;
            L[g] = loose > 0 ? float_down(loose) : 0.0f;
            any = any || L[g] > 0;
        }
        int fails = 0;
        if (any) {
            const double e = lane_distance(x, centres + std::size_t(a) * stride, d);
            for (int g = 0; g < G && fails <= most; ++g)
                if (!proves(m, L[g], e)) {
                    if (measure) failing[fails] = g;
                    ++fails;
                }
            if (fails == 0) continue;  // kept
        }
        if (any && measure && fails <= most) {
            const int own = a / st.groupSize;
            bool has = false;
            for (int f = 0; f < fails; ++f) has = has || failing[f] == own;
            if (!has) failing[fails++] = own;
            nearest[i] = measure_groups(st, m, x, k, d, failing.get(), fails, dist.get(), L);
            ++grouped;
            examined += fails;
            continue;
        }
        if (left) left[searched] = i;
        ++searched;
    }
    const int settled = count - searched;
    if (counts != nullptr) {
        counts->kept += settled - grouped;
        counts->grouped += grouped;
        counts->groupsExamined += examined;
        counts->rows += settled;  // (the search counts the others)
    }
    if (searched == 0) return;

    // Most rows left (or no memory to gather them): the slice is searched whole, the
    // settled rows again with it (the same answer).
    const std::size_t Gs = std::size_t(G);
    const int gather = std::min(searched, kGatherRows);
    std::unique_ptr<float[]> buffer;
    if (left && searched <= count / 2)
        buffer.reset(new (std::nothrow) float[std::size_t(gather) * (stride + 2 + Gs)]);
    if (!buffer) {
        if (counts != nullptr) {  // every row counted by the search
            counts->kept -= settled - grouped;
            counts->grouped -= grouped;
            counts->groupsExamined -= examined;
            counts->rows -= settled;
        }
        search_tiles(plan, rows, count, bounds, nullptr, nearest, counts, nullptr, lower,
                     st.groupSize);
        for (int i = 0; i < count; ++i) {
            const float* x = rows + std::size_t(i) * stride;
            const double e = lane_distance(x, centres + std::size_t(nearest[i]) * stride, d);
            float* L = lower + std::size_t(i) * Gs;
            for (int g = 0; g < G; ++g) L[g] = fresh_bound(m, e, L[g]);
        }
        return;
    }
    float* copies = buffer.get();
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
                     counts, nullptr, gaps, st.groupSize);
        for (int r = 0; r < size; ++r) {
            const int i = left[std::size_t(from + r)];
            nearest[i] = chosen[r];
            const double e = lane_distance(copies + std::size_t(r) * stride,
                                           centres + std::size_t(chosen[r]) * stride, d);
            float* L = lower + std::size_t(i) * Gs;
            const float* gap = gaps + std::size_t(r) * Gs;
            for (int g = 0; g < G; ++g) L[g] = fresh_bound(m, e, gap[g]);
        }
    }
}

void prune_slice(const SearchPlan& plan, const float* rows, int count, const float* bounds,
                 int* nearest, SearchCounts* counts, ExactSums* sums, const PruneBlock& block,
                 std::size_t first) {
    prune_search(plan, rows, count, bounds, block.lower + first * std::size_t(block.state->groups),
                 *block.state, nearest, counts);
    if (sums != nullptr)
        sums->addRows(rows, count, nearest, plan.centers, 0, plan.k,
                      block.previous != nullptr ? block.previous + first : nullptr);
}

bool pruning_enabled() {
    // Off by default for now: on SIFT-like rows at k = 1000 a pruned run still takes
    // longer than a full one (the groups' best scores and the groups measured in
    // double cost more than the products they save).
    const char* v = std::getenv("KMEANS_PRUNE");
    return v != nullptr && (std::strcmp(v, "on") == 0 || std::strcmp(v, "1") == 0);
}

}  // namespace kmeans::detail
