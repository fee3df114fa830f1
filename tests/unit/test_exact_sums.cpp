// The pass's integer totals: the grid each kind of data gets, totals that no order,
// split or carry changes, and the update step computed from them: each centre the
// exact mean of its members, whatever the data's range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "detail/exact_sums.h"
#include "detail/fixed_order.h"
#include "kmeans.h"
#include "support/exact_mean.h"
#include "support/printed_distortions.h"

using namespace kmeans;
using namespace kmeans::detail;

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

// n augmented rows of d values: whole numbers (narrow), or (wide) values up to 1000
// beside values whose bits reach below 2^-40.
std::vector<float> mixed_rows(std::mt19937& gen, int n, int d, bool wide) {
    std::normal_distribution<float> g(0.f, 1.f);
    std::vector<float> x(std::size_t(n) * d);
    for (float& v : x)
        v = wide ? (gen() % 2 ? 1000.f : 0.f) + g(gen) * std::ldexp(1.f, -int(gen() % 40))
                 : float(int(g(gen) * 50));
    return augmented(x, d);
}

// The grid a run chooses for these rows; `off` receives the rows' marks.
FixedGrid grid_of(const std::vector<float>& rows, int n, int d, const std::vector<float>& centres,
                  int k, std::vector<std::uint8_t>* off = nullptr) {
    const float maxAbs = max_abs(rows.data(), std::size_t(n), d);
    const bool exact = on_grid(rows.data(), std::size_t(n), d, narrow_shift(maxAbs, n));
    int lowest = kNoOffGrid;
    if (!exact && off) {
        off->assign(std::size_t(n), 0);
        lowest = mark_off_grid(rows.data(), std::size_t(n), d, wide_shift(maxAbs), off->data());
    }
    return choose_grid(maxAbs, exact, n, d, max_abs(centres.data(), std::size_t(k), d), lowest);
}

// Everything the update step reads (value totals at every level, spreads, counts,
// registers), as the packed cells' bytes.
std::vector<unsigned char> totals(const ExactSums& s) {
    std::vector<int128> cells(s.cells());
    s.pack(cells.data());
    const auto* b = reinterpret_cast<const unsigned char*>(cells.data());
    return std::vector<unsigned char>(b, b + sizeof(int128) * cells.size());
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
    const int n = 7000;
    const int d = 11;
    const int k = 7;
    for (bool wide : {false, true}) {
        const std::vector<float> rows = mixed_rows(gen, n, d, wide);
        std::vector<float> centres(std::size_t(k) * (d + 1));
        for (int c = 0; c < k; ++c) {
            for (int t = 0; t < d; ++t)
                centres[c * (d + 1) + t] = rows[std::size_t(c) * (d + 1) + t];
            centres[c * (d + 1) + d] = norm_column(&centres[c * (d + 1)], d);
        }
        std::vector<int> nearest(n);
        for (int i = 0; i < n; ++i)
            nearest[i] = i % 3 == 0 ? 0 : int(gen() % k);  // cluster 0: > 2048
        std::vector<std::uint8_t> off;
        const FixedGrid grid = grid_of(rows, n, d, centres, k, &off);
        ASSERT_EQ(grid.wide, wide);
        ASSERT_EQ(grid.levels > 1, wide);  // rows off the grid: finer levels
        const auto bind = [&](ExactSums& s) { s.bindRows(rows.data(), n, off.data()); };

        ExactSums whole;
        ASSERT_TRUE(whole.allocate(k, d, grid));
        bind(whole);
        whole.addRows(rows.data(), n, nearest.data(), centres.data(), 0, k);
        whole.settle();
        const std::vector<unsigned char> expected = totals(whole);

        ExactSums reversed;
        ASSERT_TRUE(reversed.allocate(k, d, grid));
        bind(reversed);
        for (int i = n - 1; i >= 0; --i)
            reversed.addRows(rows.data() + std::size_t(i) * (d + 1), 1, &nearest[i], centres.data(),
                             0, k);
        reversed.settle();
        EXPECT_EQ(totals(reversed), expected) << "wide " << wide;

        ExactSums main;
        ASSERT_TRUE(main.allocate(k, d, grid));
        bind(main);
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
        bind(ranged);
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

        // Packed, summed cell by cell with a process that added nothing, unpacked:
        // the same totals.
        ExactSums other;
        ASSERT_TRUE(other.allocate(k, d, grid));
        std::vector<int128> cells(whole.cells());
        std::vector<int128> none(other.cells());
        ASSERT_EQ(cells.size(), none.size());
        ExactSums again;
        ASSERT_TRUE(again.allocate(k, d, grid));
        bind(again);
        again.addRows(rows.data(), n, nearest.data(), centres.data(), 0, k);
        again.settle();
        again.pack(cells.data());
        other.settle();
        other.pack(none.data());
        for (std::size_t i = 0; i < cells.size(); ++i) cells[i] += none[i];
        other.unpack(cells.data());
        EXPECT_EQ(totals(other), expected) << "wide " << wide;
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

namespace {

std::vector<float> uniform_rows(int n, int d, float scale, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<float> x(std::size_t(n) * std::size_t(d));
    for (float& v : x) v = scale * std::ldexp(float(gen() >> 8), -24);  // [0, scale)
    return x;
}

}  // namespace

// Whatever the range of the data (one value at 1e15 among values below 1, one near
// the top of the float range, columns near 1e-3 beside columns near 1e12, subnormal
// and negative values), every trained centre is its members' exact mean rounded
// once to float, and the last distortion is within 1e-6 of the sum of squares it
// stands for, for any worker count and block size.
TEST(ExactSums, CentresAreTheMembersExactMeanAtAnyRange) {
    const int n = 2000;
    const int d = 4;
    const int k = 5;
    std::vector<std::vector<float>> sets;
    sets.push_back(uniform_rows(n, d, 1.f, 1));
    sets.back()[0] = 1e15f;
    sets.push_back(uniform_rows(n, d, 10.f, 2));
    sets.back()[0] = 3.4e38f;
    sets.push_back(uniform_rows(n, d, 1.f, 3));
    for (std::size_t i = 0; i < sets.back().size(); ++i)
        sets.back()[i] = (i % 4 < 2 ? 1e-3f : 1e12f) * (1 + sets.back()[i]);
    sets.push_back(uniform_rows(n, d, 1.f, 4));
    for (std::size_t i = 0; i < sets.back().size(); ++i)
        sets.back()[i] = (i % 3 == 0 ? -1e-39f : 1e-38f) * sets.back()[i];
    for (std::size_t s = 0; s < sets.size(); ++s) {
        const std::vector<float>& x = sets[s];
        const std::vector<float> rows = augmented(x, d);
        std::vector<float> first;
        for (const auto& [threads, block] : {std::pair<int, int>{2, n}, {1, 301}, {3, 77}}) {
            KMeans::nb_threads = threads;
            KMeans m;
            std::vector<int> nearest(static_cast<std::size_t>(n));
            testing::internal::CaptureStdout();
            ASSERT_TRUE(m.run(rows.data(), n, d, k, 5, nearest.data(), block));
            const std::vector<double> printed =
                printed_distortions(testing::internal::GetCapturedStdout());
            ASSERT_FALSE(printed.empty());
            long double direct = 0;
            for (int c = 0; c < k; ++c) {
                for (int t = 0; t < d; ++t) {
                    std::vector<float> members;
                    for (int i = 0; i < n; ++i)
                        if (nearest[std::size_t(i)] == c)
                            members.push_back(x[std::size_t(i) * d + t]);
                    if (members.empty()) continue;
                    const float centre = m.centers[std::size_t(c) * (d + 1) + t];
                    EXPECT_EQ(centre, oracle_mean(members))
                        << "set " << s << " cluster " << c << " column " << t << " of "
                        << members.size();
                    for (float v : members)
                        direct += ((long double)v - centre) * ((long double)v - centre);
                }
            }
            for (double v : printed) EXPECT_GE(v, 0.0);
            EXPECT_NEAR(printed.back(), double(direct), 1e-6 * double(direct)) << "set " << s;
            const std::vector<float> centres(m.centers, m.centers + std::size_t(k) * (d + 1));
            if (first.empty()) first = centres;
            EXPECT_EQ(0, std::memcmp(first.data(), centres.data(), sizeof(float) * first.size()))
                << "set " << s << " -p " << threads << " -b " << block;
        }
    }
}

// A wide grid's 64-bit partial sums hold about 2^13 values near the grid's top: a
// cluster of 10000 such rows is exact only if they are carried in time.
TEST(ExactSums, WidePartialSumsAreCarriedBeforeTheyOverflow) {
    const int n = 10000;
    const int d = 2;
    std::vector<float> x(std::size_t(n) * d);
    for (int i = 0; i < n; ++i) {
        x[std::size_t(i) * d] = 1000.f - 0.25f * float(i % 3);  // q near 2^50
        x[std::size_t(i) * d + 1] = i == 0 ? 1e-30f : 1.f;      // off the narrow grid
    }
    const std::vector<float> rows = augmented(x, d);
    std::vector<float> centre = {0, 0, 0};
    std::vector<std::uint8_t> off;
    const FixedGrid grid = grid_of(rows, n, d, centre, 1, &off);
    ASSERT_TRUE(grid.wide);
    ExactSums s;
    ASSERT_TRUE(s.allocate(1, d, grid));
    s.bindRows(rows.data(), n, off.data());
    const std::vector<int> nearest(static_cast<std::size_t>(n), 0);
    s.addRows(rows.data(), n, nearest.data(), centre.data(), 0, 1);
    s.settle();
    s.moveCentre(0, n, centre.data());
    std::vector<float> column(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) column[std::size_t(i)] = x[std::size_t(i) * d];
    EXPECT_EQ(centre[0], oracle_mean(column));
    for (int i = 0; i < n; ++i) column[std::size_t(i)] = x[std::size_t(i) * d + 1];
    EXPECT_EQ(centre[1], oracle_mean(column));
}

// Totals beyond 2^53 round once on their way to double; a mean that then lands on the
// midpoint between two floats would round a second time, the wrong way when the
// exact mean lies just past it. Members 3, totals 3 (2^24 + 1) 2^40 (+ 1) on a grid
// of 2^-40: the mean 2^24 + 1 (+ 2^-40 / 3).
TEST(ExactSums, MeansRoundOnceWhereADoubleWouldRoundTwice) {
    FixedGrid grid = choose_grid(16777220.f, false, 3, 1, 0.f);
    grid.shift = 40;
    ExactSums s;
    ASSERT_TRUE(s.allocate(1, 1, grid));
    for (int past = 0; past < 2; ++past) {
        std::vector<int128> cells(s.cells(), 0);
        cells[0] = (int128(3 * (16777216 + 1)) << 40) + past;
        cells[2] = 3;  // members
        s.unpack(cells.data());
        float centre[2] = {0, 0};
        s.moveCentre(0, 3, centre);
        // Just past the midpoint: up; on it: to the even float.
        EXPECT_EQ(centre[0], past ? 16777218.f : 16777216.f) << past;
    }
}

// The accumulation's loops are built twice; the AVX2 build (the one the programs run
// where the CPU has it) and the plain one must give the same bits, on rows on the
// grid, rows split over finer levels and distances off the spread grid alike.
TEST(ExactSums, PlainAndAvx2BuildsGiveTheSameBits) {
    const int n = 3000;
    const int d = 19;  // two full lanes of 8 and a tail
    const int k = 6;
    std::vector<std::vector<float>> sets;
    sets.push_back(uniform_rows(n, d, 256.f, 7));
    for (float& v : sets.back()) v = std::floor(v);  // integers: the 64-bit grid
    sets.push_back(uniform_rows(n, d, 1.f, 8));
    sets.back()[5] = 1e15f;  // every row split, one finer level
    sets.push_back(uniform_rows(n, d, 10.f, 9));
    sets.back()[0] = 3.4e38f;  // distances beyond the spread grid's reach
    for (std::size_t s = 0; s < sets.size(); ++s) {
        const std::vector<float> rows = augmented(sets[s], d);
        std::vector<float> centres(std::size_t(k) * (d + 1));
        for (std::size_t i = 0; i < centres.size(); ++i) centres[i] = rows[i + 7 * (d + 1)];
        for (int c = 0; c < k; ++c)
            centres[std::size_t(c) * (d + 1) + d] =
                norm_column(&centres[std::size_t(c) * (d + 1)], d);
        std::vector<int> nearest(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) nearest[std::size_t(i)] = (i * 7) % k;
        std::vector<std::uint8_t> off;
        const FixedGrid grid = grid_of(rows, n, d, centres, k, &off);
        std::vector<unsigned char> built[2];
        for (int b = 0; b < 2; ++b) {
            ExactSums sums;
            ASSERT_TRUE(sums.allocate(k, d, grid));
            sums.bindRows(rows.data(), n, off.empty() ? nullptr : off.data());
            const auto build = b == 0 ? ExactSums::Build::plain : ExactSums::Build::avx2;
            if (!sums.addRowsBuilt(build, rows.data(), n, nearest.data(), centres.data(), 0, k))
                GTEST_SKIP() << "no AVX2 on this CPU";
            sums.settle();
            built[b] = totals(sums);
        }
        EXPECT_TRUE(built[0] == built[1]) << "set " << s << ", levels " << grid.levels;
    }
}

// The many-at-once distances of the seeding against the one distance that defines a
// nearest centre, bit for bit, in both builds: values far apart in magnitude, so that
// every difference and every sum rounds, and a column count that is not a multiple of
// any vector width.
TEST(FixedOrder, ManyDistancesAtOnceAreTheOneDistanceBitForBit) {
    const int m = 37, d = 21;
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> u(-1.f, 1.f);
    const std::size_t mm = static_cast<std::size_t>(m);
    std::vector<float> rows(mm * (d + 1)), x(static_cast<std::size_t>(d));
    for (float& v : rows) v = u(gen) * std::ldexp(1.f, int(gen() % 60) - 30);
    for (float& v : x) v = u(gen) * std::ldexp(1.f, int(gen() % 60) - 30);
    std::vector<float> columns(mm * d);
    for (int c = 0; c < m; ++c)
        for (int t = 0; t < d; ++t)
            columns[std::size_t(t) * m + std::size_t(c)] = rows[std::size_t(c) * (d + 1) + t];
    std::vector<double> expected(mm), plain(mm), avx2(mm), paired(mm);
    std::vector<int> which(mm);
    for (int c = 0; c < m; ++c) {
        expected[std::size_t(c)] = squared_distance(x.data(), &rows[std::size_t(c) * (d + 1)], d);
        which[std::size_t(c)] = (c * 5) % m;
    }
    squared_distances_transposed_plain(columns.data(), std::size_t(m), m, x.data(), d,
                                       plain.data());
    EXPECT_TRUE(std::memcmp(plain.data(), expected.data(), sizeof(double) * m) == 0);
    if (__builtin_cpu_supports("avx2")) {
        squared_distances_transposed_avx2(columns.data(), std::size_t(m), m, x.data(), d,
                                          avx2.data());
        EXPECT_TRUE(std::memcmp(avx2.data(), expected.data(), sizeof(double) * m) == 0);
    }
    // Row i against centre which[i], four rows at once and the tail alone.
    squared_distances_paired(rows.data(), std::size_t(d) + 1, m, rows.data(), std::size_t(d) + 1,
                             which.data(), d, paired.data());
    for (int i = 0; i < m; ++i)
        EXPECT_EQ(paired[std::size_t(i)],
                  squared_distance(&rows[std::size_t(i) * (d + 1)],
                                   &rows[std::size_t(which[std::size_t(i)]) * (d + 1)], d))
            << i;
}

// Totals kept from pass to pass and updated by the rows that moved (addRows with
// `previous`) against a full re-summation, after every pass of a changing assignment:
// the same bytes, narrow and wide (rows off the grid: finer levels), through parts and
// through cluster ranges, with a wide cluster past a partial sum's carry. The spreads
// are the pass's own (cleared each pass), those of rows that stay given or measured.
TEST(ExactSums, TotalsKeptAndMovedEqualAFullSum) {
    std::mt19937 gen(9);
    const int n = 5000;
    const int d = 9;
    const int k = 6;
    for (bool wide : {false, true}) {
        const std::vector<float> rows = mixed_rows(gen, n, d, wide);
        std::vector<float> centres(std::size_t(k) * (d + 1));
        for (std::size_t v = 0; v < centres.size(); ++v) centres[v] = rows[v];
        std::vector<std::uint8_t> off;
        const FixedGrid grid = grid_of(rows, n, d, centres, k, &off);
        ASSERT_EQ(grid.levels > 1, wide);
        ExactSums kept, copy;
        ASSERT_TRUE(kept.allocate(k, d, grid) && copy.allocate(k, d, grid));
        kept.bindRows(rows.data(), n, off.data());
        copy.bindRows(rows.data(), n, off.data());
        std::vector<int> previous(n), nearest(n);
        for (int pass = 0; pass < 5; ++pass) {
            // Cluster 0 takes a third of the rows (past 2048: a carry between passes).
            for (int i = 0; i < n; ++i)
                nearest[i] =
                    pass > 0 && gen() % 4 != 0 ? previous[i] : (i % 3 == 0 ? 0 : int(gen() % k));
            std::vector<double> known(n, -1.0);
            for (int i = 0; i < n; i += 2)
                if (pass > 0 && nearest[i] == previous[i])
                    known[i] = spread_distance(&rows[std::size_t(i) * (d + 1)],
                                               &centres[std::size_t(nearest[i]) * (d + 1)], d);
            const int* was = pass > 0 ? previous.data() : nullptr;
            if (pass % 2 == 0) {
                kept.addRows(rows.data(), n, nearest.data(), centres.data(), 0, k, was,
                             known.data());
            } else {  // through a part, by cluster ranges
                copy.addRows(rows.data(), n, nearest.data(), centres.data(), 0, 2, was);
                copy.addRows(rows.data(), n, nearest.data(), centres.data(), 2, k, was);
                copy.settle();
                kept.add(copy);
                copy.clear();
            }
            kept.settle();
            ExactSums full;
            ASSERT_TRUE(full.allocate(k, d, grid));
            full.bindRows(rows.data(), n, off.data());
            full.addRows(rows.data(), n, nearest.data(), centres.data(), 0, k);
            full.settle();
            EXPECT_EQ(totals(kept), totals(full)) << "wide " << wide << " pass " << pass;
            kept.clearSpreads();
            previous = nearest;
        }
    }
}
