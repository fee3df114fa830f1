// bench_accumulate - one assignment pass (the multi-threaded search of one block of
// n rows, then its accumulation), per iteration: the exact integer totals, added
// either by the search's workers tile by tile or after the search by cluster ranges,
// against the double accumulation they replaced (each row's offset from its centre
// and its squared distance, in row order on one thread, kept here as the baseline).
// Also the once-per-run choice of the grid.
// Usage: bench_accumulate [-n rows] [-d dim] [-k clusters] [-p threads] [-r runs]
//        [-f] (float data with fractional values instead of SIFT-like integers)
//        [-w] (fractional, a third of the values below 1e-10: the 128-bit grid)
//        [-o] (values around 0.5 and one at 1e15: every row off the grid)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "bench_util.h"
#include "detail/exact_sums.h"
#include "detail/fixed_order.h"
#include "detail/search.h"
#include "kmeans.h"

using namespace kmeans;
using namespace kmeans::detail;

namespace {

// The previous accumulation, for comparison: offsets and squared distances in
// double, 8 fixed lanes, on the calling thread.
__attribute__((target("avx2"))) double accumulate_double(const float* row, const float* centre,
                                                         double* off, int d) {
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        for (int l = 0; l < 8; ++l) {
            const double diff = double(row[t + l]) - double(centre[t + l]);
            off[t + l] += diff;
            lanes[l] += diff * diff;
        }
    }
    for (; t < d; ++t) {
        const double diff = double(row[t]) - double(centre[t]);
        off[t] += diff;
        lanes[0] += diff * diff;
    }
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
           ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

template <typename F>
double best_of(int runs, F&& f) {
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        const double t0 = bench::now();
        f();
        const double t = bench::now() - t0;
        if (t < best) best = t;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    int n = 1000000, d = 128, k = 1000, threads = 2, runs = 3;
    bool fractional = false;
    bool wide = false;
    bool outlier = false;
    int opt;
    while ((opt = getopt(argc, argv, "n:d:k:p:r:fwo")) != -1) {
        switch (opt) {
        case 'n': n = std::atoi(optarg); break;
        case 'd': d = std::atoi(optarg); break;
        case 'k': k = std::atoi(optarg); break;
        case 'p': threads = std::atoi(optarg); break;
        case 'r': runs = std::atoi(optarg); break;
        case 'f': fractional = true; break;
        case 'w': fractional = wide = true; break;
        case 'o': fractional = outlier = true; break;
        default: return 2;
        }
    }
    const std::size_t stride = std::size_t(d) + 1;
    std::vector<float> rows(std::size_t(n) * stride);
    std::vector<float> centres(std::size_t(k) * stride);
    std::vector<int> nearest(static_cast<std::size_t>(n));
    std::mt19937 gen(7);
    // Rows around 64 random points, as descriptors gather, so that the search
    // decides from the float scores as it does on real data.
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> noise(-12, 12);
    std::normal_distribution<float> gauss(0.f, 1.f);
    std::vector<float> points(std::size_t(64) * std::size_t(d));
    for (float& v : points) v = fractional ? 10.f * gauss(gen) : float(byte(gen));
    for (int i = 0; i < n; ++i) {
        const float* p = points.data() + std::size_t(gen() % 64u) * std::size_t(d);
        float* row = rows.data() + std::size_t(i) * stride;
        for (int t = 0; t < d; ++t)
            row[t] = wide && (i + t) % 3 == 0 ? 1e-10f * gauss(gen)
                     : fractional             ? p[t] + gauss(gen)
                                  : std::min(255.f, std::max(0.f, p[t] + float(noise(gen))));
        if (outlier)
            for (int t = 0; t < d; ++t) row[t] = 0.05f * (p[t] + gauss(gen)) + 0.5f;
        row[d] = -0.5f;
    }
    if (outlier) rows[0] = 1e15f;
    for (std::size_t i = 0; i < centres.size(); ++i) centres[i] = rows[i];
    for (int c = 0; c < k; ++c)  // a centre row ends with its squared norm
        centres[std::size_t(c) * stride + std::size_t(d)] =
            norm_column(centres.data() + std::size_t(c) * stride, d);
    for (int i = 0; i < n; ++i) nearest[std::size_t(i)] = int(gen() % unsigned(k));

    KMeans::nb_threads = threads;
    // The search as a training pass runs it: shifted by the data's mean when that pays.
    std::vector<float> mu(static_cast<std::size_t>(d));
    const bool shifted = choose_shift(rows.data(), n, d, mu.data());
    SearchPlan plan;
    if (!prepare_search(plan, centres.data(), k, d, shifted ? mu.data() : nullptr)) return 1;
    SearchCounts searched;
    const auto search = [&](ExactSums* const* parts) {
        KMeans::searchBlock(plan, rows.data(), n, nullptr, nullptr, nearest.data(), false,
                            &searched, parts);
    };
    std::vector<double> off(std::size_t(k) * std::size_t(d));
    std::vector<double> spread(static_cast<std::size_t>(k));
    std::vector<int> counts(static_cast<std::size_t>(k));
    const auto before = [&] {
        search(nullptr);
        std::fill(off.begin(), off.end(), 0.0);
        for (int i = 0; i < n; ++i) {
            const int c = nearest[std::size_t(i)];
            spread[std::size_t(c)] += accumulate_double(
                rows.data() + std::size_t(i) * stride, centres.data() + std::size_t(c) * stride,
                off.data() + std::size_t(c) * std::size_t(d), d);
            counts[std::size_t(c)] += 1;
        }
    };

    FixedGrid grid;
    std::vector<std::uint8_t> marks(static_cast<std::size_t>(n));
    const double choose = best_of(runs, [&] {
        const float maxAbs = max_abs(rows.data(), std::size_t(n), d);
        const bool exact = on_grid(rows.data(), std::size_t(n), d, narrow_shift(maxAbs, n));
        const int lowest =
            exact ? kNoOffGrid
                  : mark_off_grid(rows.data(), std::size_t(n), d, wide_shift(maxAbs), marks.data());
        grid = choose_grid(maxAbs, exact, n, d, max_abs(centres.data(), std::size_t(k), d), lowest);
    });
    ExactSums sums;
    if (!sums.allocate(k, d, grid)) return 1;
    sums.bindRows(rows.data(), std::size_t(n), marks.data());
    const auto ranges = [&] {
        search(nullptr);
        KMeans::accumulateBlock(sums, rows.data(), n, nearest.data(), centres.data());
        sums.settle();
        sums.clear();
    };
    SumParts parts;
    if (!parts.split(sums, KMeans::maxSearchWorkers(n), std::size_t(n) * stride)) return 1;
    const auto fused = [&] {
        search(parts.get());
        parts.gather(sums);
        sums.clear();
    };
    // Round robin, best of each: the machine's load drifts alike for all four.
    double best[4] = {1e30, 1e30, 1e30, 1e30};
    for (int r = 0; r < runs; ++r) {
        const double t0 = bench::now();
        search(nullptr);
        const double t1 = bench::now();
        before();
        const double t2 = bench::now();
        ranges();
        const double t3 = bench::now();
        fused();
        const double t4 = bench::now();
        const double took[4] = {t1 - t0, t2 - t1, t3 - t2, t4 - t3};
        for (int v = 0; v < 4; ++v) best[v] = std::min(best[v], took[v]);
    }
    const double searchOnly = best[0];
    long marked = 0;
    for (std::uint8_t m : marks) marked += m;
    std::printf("n %d  d %d  k %d  -p %d  %s values, %s grid (shift %d), %ld rows off it\n", n, d,
                k, threads,
                outlier      ? "outlier"
                : fractional ? "gaussian"
                             : "integer",
                grid.wide ? "wide" : "narrow", grid.shift, marked);
    std::printf("  search alone                                  %8.1f ms\n", searchOnly * 1e3);
    std::printf("  pass, double sums after it, one thread (before) %6.1f ms  (+%.1f)\n",
                best[1] * 1e3, (best[1] - searchOnly) * 1e3);
    std::printf("  pass, exact sums after it, cluster ranges     %8.1f ms  (+%.1f)\n",
                best[2] * 1e3, (best[2] - searchOnly) * 1e3);
    std::printf("  pass, exact sums in the search's tiles        %8.1f ms  (+%.1f)\n",
                best[3] * 1e3, (best[3] - searchOnly) * 1e3);
    std::printf("  rows searched %lld, narrowed %lld, measured against every centre %lld\n",
                searched.rows, searched.narrowed, searched.exhaustive);
    std::printf("  grid choice, once per run                     %8.1f ms\n", choose * 1e3);
    return 0;
}
