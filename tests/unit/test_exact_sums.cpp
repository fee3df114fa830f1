// The pass's integer totals: the grid each kind of data gets, totals that no order,
// split or carry changes, and the update step computed from them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "exact_sums.h"
#include "fixed_order.h"
#include "kmeans.h"

namespace {

std::vector<float> augmented(const std::vector<float>& x, int d) {
    const std::size_t n = x.size() / std::size_t(d);
    std::vector<float> rows(n * std::size_t(d + 1));
    for (std::size_t i = 0; i < n; ++i) {
        for (int t = 0; t < d; ++t) rows[i * std::size_t(d + 1) + t] = x[i * d + t];
        rows[i * std::size_t(d + 1) + d] = -0.5f;
    }
    return rows;
}

FixedGrid grid_of(const std::vector<float>& rows, int n, int d, const std::vector<float>& centres,
                  int k) {
    const float maxAbs = max_abs(rows.data(), std::size_t(n), d);
    const bool exact = on_grid(rows.data(), std::size_t(n), d, narrow_shift(maxAbs, n));
    return choose_grid(maxAbs, exact, n, d, max_abs(centres.data(), std::size_t(k), d));
}

// Everything the update step reads, as bytes.
std::vector<unsigned char> totals(ExactSums& s) {
    std::vector<unsigned char> out;
    const auto put = [&out](const void* p, std::size_t bytes) {
        const auto* b = static_cast<const unsigned char*>(p);
        out.insert(out.end(), b, b + bytes);
    };
    if (s.grid().wide)
        put(s.wideSums(), sizeof(int128) * s.values());
    else
        put(s.sums(), sizeof(std::int64_t) * s.values());
    put(s.spreads(), sizeof(int128) * std::size_t(s.clusters()));
    put(s.counts(), sizeof(int) * std::size_t(s.clusters()));
    return out;
}

}  // namespace

TEST(ExactSums, GridFollowsTheData) {
    const int d = 3;
    // Integers: narrow and exact. max_abs skips what is not finite.
    std::vector<float> ints = augmented({255, 0, 7, -3, 12, 1, 40, 2, 9}, d);
    ints[4] = INFINITY;  // row 1, column 0
    EXPECT_EQ(max_abs(ints.data(), 3, d), 255.f);
    FixedGrid g = grid_of(ints, 3, d, ints, 1);
    EXPECT_FALSE(g.wide);
    EXPECT_EQ(g.shift, narrow_shift(255.f, 3));
    // A value 2^-60 beside 1.0 lies below any narrow grid: wide, and rounded.
    std::vector<float> fine = augmented({1.f, std::ldexp(1.f, -60), 0.5f}, d);
    g = grid_of(fine, 1, d, fine, 1);
    EXPECT_TRUE(g.wide);
    EXPECT_EQ(g.shift, 49);  // 50 - E, with 1.0 < 2^1
    // Halves at n = 2^40 rows still fit a narrow grid; at 2^62 they do not.
    std::vector<float> halves = augmented({0.5f, 1.5f, 3.f}, d);
    EXPECT_TRUE(on_grid(halves.data(), 1, d, narrow_shift(3.f, std::ldexp(1.0, 40))));
    EXPECT_FALSE(on_grid(halves.data(), 1, d, narrow_shift(3.f, std::ldexp(1.0, 62))));
}

// The same rows, added one by one in reverse, in one call, split over parts and over
// cluster ranges (the search variant's accumulateBlock), give the same bytes; so do
// the centres and distortion moved from them. Narrow and wide data, and a cluster
// that takes more rows than a wide partial sum holds between carries.
TEST(ExactSums, NoOrderOrSplitChangesTheTotals) {
    std::mt19937 gen(5);
    std::normal_distribution<float> g(0.f, 1.f);
    const int n = 7000;
    const int d = 11;
    const int k = 7;
    for (bool wide : {false, true}) {
        std::vector<float> x(std::size_t(n) * d);
        // Wide: values up to 1000 beside values whose bits reach below 2^-40.
        for (float& v : x)
            v = wide ? (gen() % 2 ? 1000.f : 0.f) + g(gen) * std::ldexp(1.f, -int(gen() % 40))
                     : float(int(g(gen) * 50));
        const std::vector<float> rows = augmented(x, d);
        std::vector<float> centres(std::size_t(k) * (d + 1));
        for (int c = 0; c < k; ++c) {
            for (int t = 0; t < d; ++t)
                centres[c * (d + 1) + t] = rows[std::size_t(c) * (d + 1) + t];
            centres[c * (d + 1) + d] = norm_column(&centres[c * (d + 1)], d);
        }
        std::vector<int> nearest(n);
        for (int i = 0; i < n; ++i)
            nearest[i] = i % 3 == 0 ? 0 : int(gen() % k);  // cluster 0: > 2048
        const FixedGrid grid = grid_of(rows, n, d, centres, k);
        ASSERT_EQ(grid.wide, wide);

        ExactSums whole;
        ASSERT_TRUE(whole.allocate(k, d, grid));
        whole.addRows(rows.data(), n, nearest.data(), centres.data(), 0, k);
        whole.settle();
        const std::vector<unsigned char> expected = totals(whole);

        ExactSums reversed;
        ASSERT_TRUE(reversed.allocate(k, d, grid));
        for (int i = n - 1; i >= 0; --i)
            reversed.addRows(rows.data() + std::size_t(i) * (d + 1), 1, &nearest[i], centres.data(),
                             0, k);
        reversed.settle();
        EXPECT_EQ(totals(reversed), expected) << "wide " << wide;

        ExactSums main;
        ASSERT_TRUE(main.allocate(k, d, grid));
        SumParts parts;
        ASSERT_TRUE(parts.split(main, 3, std::size_t(1) << 30));
        for (int p = 0; p < 3; ++p) {
            const int from = n * p / 3;
            const int to = n * (p + 1) / 3;
            parts.get()[2 - p]->addRows(rows.data() + std::size_t(from) * (d + 1), to - from,
                                        nearest.data() + from, centres.data(), 0, k);
        }
        parts.gather(main);
        EXPECT_EQ(totals(main), expected) << "wide " << wide;

        ExactSums ranged;
        ASSERT_TRUE(ranged.allocate(k, d, grid));
        KMeans::nb_threads = 3;
        KMeans::accumulateBlock(ranged, rows.data(), n, nearest.data(), centres.data());
        ranged.settle();
        EXPECT_EQ(totals(ranged), expected) << "wide " << wide;

        std::vector<float> a = centres;
        std::vector<float> b = centres;
        for (int c = 0; c < k; ++c) {
            const double da = whole.moveCentre(c, whole.counts()[c], &a[c * (d + 1)]);
            const double db = main.moveCentre(c, main.counts()[c], &b[c * (d + 1)]);
            EXPECT_EQ(da, db);
        }
        EXPECT_EQ(0, std::memcmp(a.data(), b.data(), sizeof(float) * a.size()));
    }
}

// The update step: the mean of the members, exact where the values allow, and the
// members' summed squared distance to it, also far from zero where |x|^2 dwarfs it.
TEST(ExactSums, MovesToTheMeanAndMeasuresTheSpread) {
    const int d = 2;
    // Members (1, 2), (2, 4), (4, 9) of a centre at (0, 0): mean (7/3, 5).
    struct Case {
        std::vector<float> x;
        float centre[2];
        float mean[2];
        double distortion;
    };
    const float third = float(7.0 / 3.0);
    const double spreadThird = (1 - 7.0 / 3) * (1 - 7.0 / 3) + (2 - 7.0 / 3) * (2 - 7.0 / 3) +
                               (4 - 7.0 / 3) * (4 - 7.0 / 3);
    const std::vector<Case> cases = {
        {{1, 2, 2, 4, 4, 9}, {0, 0}, {third, 5}, spreadThird + 9 + 1 + 16},
        // Around 10^6 + 0.25 steps: |x|^2 ~ 10^12, the spread 0.125.
        {{1e6f, 1e6f, 1000000.25f, 1e6f, 1000000.5f, 1e6f, 1000000.25f, 1000000.5f},
         {1000000.5f, 1000000.5f},
         {1000000.25f, 1000000.125f},
         0.125 + 0.1875},
    };
    for (const Case& c : cases) {
        const int n = int(c.x.size()) / d;
        const std::vector<float> rows = augmented(c.x, d);
        std::vector<float> centre = {c.centre[0], c.centre[1], 0};
        centre[2] = norm_column(centre.data(), d);
        ExactSums s;
        ASSERT_TRUE(s.allocate(1, d, grid_of(rows, n, d, centre, 1)));
        const std::vector<int> nearest(static_cast<std::size_t>(n), 0);
        s.addRows(rows.data(), n, nearest.data(), centre.data(), 0, 1);
        s.settle();
        ASSERT_EQ(s.counts()[0], n);
        const double distortion = s.moveCentre(0, n, centre.data());
        EXPECT_EQ(centre[0], c.mean[0]);
        EXPECT_EQ(centre[1], c.mean[1]);
        EXPECT_EQ(centre[2], norm_column(centre.data(), d));
        EXPECT_NEAR(distortion, c.distortion, 1e-9 * c.distortion);
    }
}
