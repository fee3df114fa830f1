// Nearest-centre search: against a naive double-precision argmin, on the tie and
// NaN rules, across thread counts and call splits. Built once per search variant.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "detail/bf16_filter.h"
#include "detail/product.h"
#include "detail/search.h"
#include "detail/top_two.h"
#include "kmeans.h"
#include "support/nearest_centre.h"

using namespace kmeans;
using namespace kmeans::detail;

namespace {

// Augmented rows: d values then -0.5; augmented centres: d values then |c|^2.
std::vector<float> augment_rows(const std::vector<float>& v, int n, int d) {
    std::vector<float> out(std::size_t(n) * (d + 1));
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < d; ++j) out[std::size_t(i) * (d + 1) + j] = v[std::size_t(i) * d + j];
        out[std::size_t(i) * (d + 1) + d] = -0.5f;
    }
    return out;
}

std::vector<float> augment_centres(const std::vector<float>& v, int k, int d) {
    std::vector<float> out(std::size_t(k) * (d + 1));
    for (int c = 0; c < k; ++c) {
        double sq = 0;
        for (int j = 0; j < d; ++j) {
            const float x = v[std::size_t(c) * d + j];
            out[std::size_t(c) * (d + 1) + j] = x;
            sq += double(x) * x;
        }
        out[std::size_t(c) * (d + 1) + d] = float(sq);
    }
    return out;
}

// Small integers: every score is exact in float, so the search must agree with the
// double oracle row for row, ties included.
std::vector<float> small_ints(std::mt19937& gen, std::size_t count) {
    std::uniform_int_distribution<int> v(0, 7);
    std::vector<float> out(count);
    for (float& f : out) f = float(v(gen));
    return out;
}

class MinCluster : public ::testing::Test {
protected:
    void SetUp() override { saved_ = KMeans::nb_threads; }
    void TearDown() override { KMeans::nb_threads = saved_; }
    std::vector<int> search(const std::vector<float>& rows, int n, int d, int k,
                            const std::vector<float>& centres,
                            std::vector<float>* scores = nullptr) {
        std::vector<float> s(std::size_t(n) * k + 1);
        std::vector<int> nearest(n + 1, -7);
        testing::internal::CaptureStdout();
        KMeans::minCluster(rows.data(), n, d, k, centres.data(), s.data(), nearest.data());
        lastOut_ = testing::internal::GetCapturedStdout();
        EXPECT_EQ(nearest[n], -7) << "wrote past the block";
        nearest.resize(n);
        if (scores) *scores = s;
        return nearest;
    }
    int saved_ = 0;
    std::string lastOut_;
};

TEST_F(MinCluster, AgreesWithNaiveArgminIncludingPlantedTies) {
    std::mt19937 gen(42);
    const int d = 9;
    const int k = 37;
    for (int n : {1, 15, 16, 17, 95, 96, 97, 250}) {
        std::vector<float> x = small_ints(gen, std::size_t(n) * d);
        std::vector<float> c = small_ints(gen, std::size_t(k) * d);
        // Duplicate centres: equal scores, the lower index must win.
        for (int t = 0; t < d; ++t) {
            c[std::size_t(20) * d + t] = c[std::size_t(3) * d + t];
            c[std::size_t(36) * d + t] = c[std::size_t(3) * d + t];
        }
        // A row equal to centre 3 is nearest to 3, 20 and 36 alike.
        for (int t = 0; t < d; ++t) x[t] = c[std::size_t(3) * d + t];
        const std::vector<float> rows = augment_rows(x, n, d);
        const std::vector<float> centres = augment_centres(c, k, d);
        for (int threads : {1, 2, 4, 7}) {
            KMeans::nb_threads = threads;
            std::vector<float> scores;
            EXPECT_EQ(search(rows, n, d, k, centres, &scores), nearest_centres(x, n, c, k, d))
                << "n=" << n << " threads=" << threads;
            EXPECT_EQ(search(rows, n, d, k, centres)[0], 3);
            // Every score reaches the caller's matrix, the tail tile's included.
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < k; ++j) {
                    double dot = 0;
                    for (int t = 0; t < d; ++t)
                        dot += double(x[std::size_t(i) * d + t]) * c[std::size_t(j) * d + t];
                    const double expected = dot - 0.5 * centres[std::size_t(j) * (d + 1) + d];
                    ASSERT_EQ(scores[std::size_t(i) * k + j], float(expected));
                }
        }
    }
}

TEST_F(MinCluster, SingleCentreGivesZero) {
    std::mt19937 gen(1);
    const int n = 40;
    const int d = 5;
    std::vector<float> x = small_ints(gen, std::size_t(n) * d);
    std::vector<float> c = small_ints(gen, d);
    KMeans::nb_threads = 3;
    EXPECT_EQ(search(augment_rows(x, n, d), n, d, 1, augment_centres(c, 1, d)),
              std::vector<int>(n, 0));
}

TEST_F(MinCluster, NaNNeverWinsButKeepsColumnZero) {
    const int d = 2;
    const std::vector<float> x = {8, 8, 5, 5};
    const std::vector<float> rows = augment_rows(x, 2, d);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Centre 1 holds a NaN: its score is NaN and must never be chosen.
    std::vector<float> c = {9, 9, nan, 0, 5, 5};
    EXPECT_EQ(search(rows, 2, d, 3, augment_centres(c, 3, d)), (std::vector<int>{0, 2}));
    // A NaN in column 0 wins every row: nothing is greater than NaN.
    c = {nan, 0, 1, 1, 5, 5};
    EXPECT_EQ(search(rows, 2, d, 3, augment_centres(c, 3, d)), (std::vector<int>{0, 0}));

    // Wide rows take the vector argmax: the same rules past the first lanes.
    const int k = 70;
    std::vector<float> wide(std::size_t(k) * d, 1000.f);
    wide[17 * d] = nan;                     // never wins
    wide[40 * d] = wide[40 * d + 1] = 8.f;  // nearest to row 0 ...
    wide[63 * d] = wide[63 * d + 1] = 8.f;  // ... tied: the lower index wins
    wide[69 * d] = wide[69 * d + 1] = 5.f;  // row 1 sits on the last centre
    EXPECT_EQ(search(rows, 2, d, k, augment_centres(wide, k, d)), (std::vector<int>{40, 69}));
    wide[0] = nan;  // a NaN in column 0 keeps index 0
    EXPECT_EQ(search(rows, 2, d, k, augment_centres(wide, k, d)), (std::vector<int>{0, 0}));
}

// Data sets on which float scores alone go wrong: near-ties planted on purpose, data
// far from zero, values near the top of the float range.
struct Case {
    std::string name;
    int n, d, k;
    std::vector<float> x, c;
};

std::vector<Case> hard_cases() {
    std::vector<Case> cases;
    std::mt19937 gen(7);
    std::normal_distribution<float> g(0.f, 1.f);
    {
        // Non-integer data; centres in pairs one ulp apart, and every third row the
        // exact midpoint of two centres that differ by a power-of-two step (a tie in
        // exact arithmetic, which the lowest index must win).
        Case t{"near-ties", 1003, 31, 61, {}, {}};
        t.x.resize(std::size_t(t.n) * t.d);
        t.c.resize(std::size_t(t.k) * t.d);
        for (float& v : t.c) v = g(gen) * 3.1f;
        for (int j = 1; j < t.k; j += 2)
            for (int u = 0; u < t.d; ++u)
                t.c[std::size_t(j) * t.d + u] =
                    std::nextafter(t.c[std::size_t(j - 1) * t.d + u], 10.f);
        for (float& v : t.x) v = g(gen) * 3.1f;
        for (int i = 0; i < t.n; i += 3) {
            const int j = int(gen() % 30) * 2;
            for (int u = 0; u < t.d; ++u) {
                const float base = std::round(t.c[std::size_t(j) * t.d + u] * 64) / 64;
                t.c[std::size_t(j) * t.d + u] = base;
                t.c[std::size_t(j + 1) * t.d + u] = base + 0.25f;  // j+1 is no longer a twin
                t.x[std::size_t(i) * t.d + u] = base + 0.125f;
            }
        }
        cases.push_back(t);
    }
    {
        // Unit spread at an offset of 10^4: the score x.c - |c|^2/2 cancels.
        Case t{"offset", 400, 8, 12, {}, {}};
        t.x.resize(std::size_t(t.n) * t.d);
        t.c.resize(std::size_t(t.k) * t.d);
        for (float& v : t.c) v = 10000.f + g(gen);
        for (float& v : t.x) v = 10000.f + g(gen);
        cases.push_back(t);
    }
    {
        // Values near 1e19 (norms near 1e38) and near 3.4e38, where float scores
        // overflow.
        Case t{"huge", 200, 3, 9, {}, {}};
        t.x.resize(std::size_t(t.n) * t.d);
        t.c.resize(std::size_t(t.k) * t.d);
        for (std::size_t i = 0; i < t.c.size(); ++i) t.c[i] = g(gen) * (i % 2 ? 1e19f : 1e38f);
        for (std::size_t i = 0; i < t.x.size(); ++i) t.x[i] = g(gen) * (i % 3 ? 1e19f : 1e38f);
        cases.push_back(t);
    }
    return cases;
}

// The contract: a row's nearest centre is the fixed-order double argmin, whatever
// the block size, the thread count, or the shift of the product.
TEST_F(MinCluster, NearestIsTheExactArgminWhateverTheSplit) {
    for (const Case& t : hard_cases()) {
        const std::vector<float> rows = augment_rows(t.x, t.n, t.d);
        const std::vector<float> centres = augment_centres(t.c, t.k, t.d);
        const std::vector<int> ref = nearest_centres(t.x, t.n, t.c, t.k, t.d);
        for (int threads : {1, 2, 3, 8}) {
            KMeans::nb_threads = threads;
            for (int block : {1, 7, 97, t.n}) {
                std::vector<int> got(t.n, -1);
                std::vector<float> s(std::size_t(block) * t.k);
                testing::internal::CaptureStdout();
                for (int first = 0; first < t.n; first += block)
                    KMeans::minCluster(rows.data() + std::size_t(first) * (t.d + 1),
                                       std::min(block, t.n - first), t.d, t.k, centres.data(),
                                       s.data(), got.data() + first);
                testing::internal::GetCapturedStdout();
                EXPECT_EQ(got, ref) << t.name << " block " << block << " threads " << threads;
            }
        }
        // Shifted by the mean of the rows, or by a point far away: the same choice.
        std::vector<float> mu(std::size_t(t.d), 0.f);
        const bool chosen = choose_shift(rows.data(), t.n, t.d, mu.data());
        EXPECT_EQ(chosen, t.name == "offset") << t.name;
        for (const std::vector<float>& shift : {mu, std::vector<float>(std::size_t(t.d), 5000.f)}) {
            SearchPlan plan;
            ASSERT_TRUE(prepare_search(plan, centres.data(), t.k, t.d, shift.data()));
            std::vector<int> got(t.n, -1);
            SearchCounts counts;
            search_tiles(plan, rows.data(), t.n, nullptr, nullptr, got.data(), &counts);
            EXPECT_EQ(got, ref) << t.name << " shift " << shift[0];
            EXPECT_EQ(counts.rows, t.n);
        }
    }
}

// The certificate against scores moved by 3/4 of their bound: every choice stays.
// Without the certificate the same moves change some, so the test can fail.
TEST_F(MinCluster, CertificateSurvivesScoresMovedWithinTheBound) {
    const Case t = hard_cases()[0];
    const std::vector<float> rows = augment_rows(t.x, t.n, t.d);
    const std::vector<float> centres = augment_centres(t.c, t.k, t.d);
    const std::vector<int> ref = nearest_centres(t.x, t.n, t.c, t.k, t.d);
    SearchPlan plan;
    ASSERT_TRUE(prepare_search(plan, centres.data(), t.k, t.d, nullptr));
    const auto search = [&](bool perturb, bool plain) {
        search_test_hooks.perturb = perturb;
        search_test_hooks.plainArgmax = plain;
        std::vector<int> got(t.n, -1);
        SearchCounts counts;
        search_tiles(plan, rows.data(), t.n, nullptr, nullptr, got.data(), &counts);
        search_test_hooks = SearchTestHooks();
        long changed = 0;
        for (int i = 0; i < t.n; ++i) changed += got[i] != ref[i];
        return changed;
    };
    EXPECT_EQ(search(false, false), 0);
    EXPECT_EQ(search(true, false), 0);
    EXPECT_GT(search(true, true), 0);
}

// Tiles scored one block of centres at a time carry each row's best, second best and
// candidates across the blocks: the same exact choice for blocks of one centre, of a
// few, of k - 1, k and k + 1, with the scores moved within their bound too, and for
// ties between centres in different blocks. A row with more candidates than it keeps
// (here: 90 equal centres) is scored again, still to the lowest index.
TEST_F(MinCluster, CentreBlocksKeepTheExactChoice) {
    for (const Case& t : hard_cases()) {
        const std::vector<float> rows = augment_rows(t.x, t.n, t.d);
        const std::vector<float> centres = augment_centres(t.c, t.k, t.d);
        const std::vector<int> ref = nearest_centres(t.x, t.n, t.c, t.k, t.d);
        SearchPlan plan;
        ASSERT_TRUE(prepare_search(plan, centres.data(), t.k, t.d, nullptr));
        for (int block : {1, 5, 16, t.k - 1, t.k, t.k + 1}) {
            for (bool perturb : {false, true}) {
                search_test_hooks.centreBlock = block;
                search_test_hooks.perturb = perturb;
                std::vector<int> got(std::size_t(t.n), -1);
                search_tiles(plan, rows.data(), t.n, nullptr, nullptr, got.data(), nullptr);
                search_test_hooks = SearchTestHooks();
                EXPECT_EQ(got, ref) << t.name << " block " << block << " perturb " << perturb;
            }
        }
    }
    std::mt19937 gen(11);
    const int d = 6;
    const int k = 120;
    const int n = 50;
    std::vector<float> x = small_ints(gen, std::size_t(n) * d);
    std::vector<float> c = small_ints(gen, std::size_t(k) * d);
    for (int j = 30; j < k; ++j)  // centres 30..119 equal: a tie across every block
        for (int t = 0; t < d; ++t) c[std::size_t(j) * d + t] = c[std::size_t(29) * d + t] + 40;
    for (int i = 0; i < n; i += 2)  // half the rows sit on them
        for (int t = 0; t < d; ++t) x[std::size_t(i) * d + t] = c[std::size_t(29) * d + t] + 40;
    const std::vector<float> rows = augment_rows(x, n, d);
    const std::vector<float> centres = augment_centres(c, k, d);
    const std::vector<int> ref = nearest_centres(x, n, c, k, d);
    for (int block : {7, 16, 64, 119}) {
        search_test_hooks.centreBlock = block;
        std::vector<float> scores;
        const std::vector<int> got = search(rows, n, d, k, centres, &scores);
        search_test_hooks = SearchTestHooks();
        EXPECT_EQ(got, ref) << "block " << block;
        EXPECT_EQ(got[0], 30) << "block " << block;
        // Each block's scores reach the caller's matrix at their place.
        for (int i = 0; i < n; i += 7)
            for (int j = 0; j < k; j += 5) {
                double dot = 0;
                for (int t = 0; t < d; ++t)
                    dot += double(x[std::size_t(i) * d + t]) * c[std::size_t(j) * d + t];
                ASSERT_EQ(scores[std::size_t(i) * k + j],
                          float(dot - 0.5 * centres[std::size_t(j) * (d + 1) + d]))
                    << "block " << block;
            }
    }
}

// The bf16 filter: its scores come from rows and centres rounded to 8 bits, yet the
// choice is the exact one - on the hard cases, on SIFT-like integers (rows exact in
// bf16), shifted or not, in centre blocks, and with every score moved by 3/4 of the
// bf16 bound. The emulation runs everywhere; the bf16 unit where the CPU has one.
// Without the certificate the rounding alone changes choices.
TEST_F(MinCluster, Bf16FilterKeepsTheExactChoice) {
    std::vector<Case> cases = hard_cases();
    {
        std::mt19937 gen(3);
        std::uniform_int_distribution<int> v(0, 255);
        Case t{"sift-like", 700, 128, 300, {}, {}};
        t.x.resize(std::size_t(t.n) * t.d);
        t.c.resize(std::size_t(t.k) * t.d);
        std::uniform_int_distribution<int> noise(-30, 30);
        for (float& f : t.c) f = float(v(gen)) / 1.7f;  // non-integer centres
        for (int i = 0; i < t.n; ++i)                   // integer rows around centre i % k
            for (int u = 0; u < t.d; ++u)
                t.x[std::size_t(i) * t.d + u] =
                    std::clamp(std::round(t.c[std::size_t(i % t.k) * t.d + u]) + float(noise(gen)),
                               0.f, 255.f);
        cases.push_back(t);
    }
    {
        // Where the rounding alone flips the choice. u = 2^-7 is bf16's step at 1.
        // Centres that do not round exactly: the row (all ones) is nearer c0 = 1 +
        // 0.49u in dims 0-1 (distance 0.48u^2) than c1 = 1 + 0.6u in dims 4-5
        // (0.72u^2), but c0 rounds down to the row's ones and c1 up, which moves
        // their scores by -0.98u and +0.8u.
        const float u = 0x1p-7f;
        Case t{"bf16-centres", 4, 6, 2, std::vector<float>(24, 1.f), std::vector<float>(12, 1.f)};
        t.c[0] = t.c[1] = 1 + 0.49f * u;
        t.c[10] = t.c[11] = 1 + 0.6f * u;
        cases.push_back(t);
        // A row that does not round exactly: 1 + 0.49u in dims 0-3 is nearer c0 = 1 +
        // u there (1.04u^2) than c1 = 1 + u in dims 4-5 (2.96u^2), but rounds to all
        // ones (4u^2 against 2u^2).
        Case r{"bf16-rows", 4, 6, 2, std::vector<float>(24, 1.f), std::vector<float>(12, 1.f)};
        for (int i = 0; i < 4; ++i)
            for (int u4 = 0; u4 < 4; ++u4) r.x[std::size_t(i) * 6 + u4] = 1 + 0.49f * u;
        for (int i = 0; i < 4; ++i) r.c[std::size_t(i)] = 1 + u;
        r.c[10] = r.c[11] = 1 + u;
        cases.push_back(r);
    }
    {
        // Small integers with equal centres: exact ties, which the shifted float scores
        // that settle the bf16 candidates no longer see as ties.
        std::mt19937 gen(42);
        Case t{"ties", 300, 9, 37, {}, {}};
        t.x = small_ints(gen, std::size_t(t.n) * t.d);
        t.c = small_ints(gen, std::size_t(t.k) * t.d);
        for (int u = 0; u < t.d; ++u) {
            t.c[std::size_t(20) * t.d + u] = t.c[std::size_t(36) * t.d + u] = t.c[std::size_t(u)];
            t.x[std::size_t(u)] = t.c[std::size_t(u)];
        }
        cases.push_back(t);
    }
    std::vector<ScoreFilter> filters = {ScoreFilter::bf16Emulated};
    if (bf16_product_native()) filters.push_back(ScoreFilter::bf16);
    for (const Case& t : cases) {
        const std::vector<float> rows = augment_rows(t.x, t.n, t.d);
        const std::vector<float> centres = augment_centres(t.c, t.k, t.d);
        const std::vector<int> ref = nearest_centres(t.x, t.n, t.c, t.k, t.d);
        std::vector<float> mu(std::size_t(t.d), 0.f);
        // (The planted rows sit at one point: unshifted, or the shift would take them.)
        const bool shifted =
            t.name.rfind("bf16", 0) != 0 && choose_shift(rows.data(), t.n, t.d, mu.data());
        // Each case as given, and centred as the programs centre it for bf16.
        std::vector<float> centre(std::size_t(t.d));
        ASSERT_TRUE(
            bf16_shift(centres.data(), t.k, t.d, shifted ? mu.data() : nullptr, centre.data()));
        for (int centred : {0, 1})
            for (ScoreFilter filter : filters) {
                SearchPlan plan;
                ASSERT_TRUE(prepare_search(plan, centres.data(), t.k, t.d,
                                           centred   ? centre.data()
                                           : shifted ? mu.data()
                                                     : nullptr));
                // Centres near the top of the float range round to infinity in bf16: that
                // plan stays in float.
                const bool taken = prepare_filter(plan, filter);
                EXPECT_EQ(taken, t.name != "huge") << t.name;
                const std::string what = t.name +
                                         (filter == ScoreFilter::bf16 ? " bf16" : " emulated") +
                                         (centred ? " centred" : "");
                for (int block : {0, 5}) {
                    for (bool perturb : {false, true}) {
                        search_test_hooks.centreBlock = block;
                        search_test_hooks.perturb = perturb;
                        std::vector<int> got(std::size_t(t.n), -1);
                        SearchCounts counts;
                        search_tiles(plan, rows.data(), t.n, nullptr, nullptr, got.data(), &counts);
                        search_test_hooks = SearchTestHooks();
                        EXPECT_EQ(got, ref) << what << " block " << block << " perturb " << perturb;
                        if (t.name == "sift-like" && !perturb) {  // most rows settled by the scores
                            EXPECT_LT(counts.narrowed + counts.exhaustive, t.n / 4) << what;
                        }
                    }
                }
                if (!centred && (t.name == "near-ties" || t.name.rfind("bf16", 0) == 0)) {
                    search_test_hooks.plainArgmax = true;
                    std::vector<int> got(std::size_t(t.n), -1);
                    search_tiles(plan, rows.data(), t.n, nullptr, nullptr, got.data(), nullptr);
                    search_test_hooks = SearchTestHooks();
                    EXPECT_NE(got, ref) << what;
                }
            }
    }
}

// Rounding to bf16: to nearest, ties to even, NaN kept, overflow to infinity; and the
// bf16 product (where the CPU has one) exact on small integers, with the bias added
// to each column and the strides as given.
TEST(Bf16, RoundingAndProduct) {
    EXPECT_EQ(to_bf16(1.0f), 0x3F80);
    EXPECT_EQ(from_bf16(to_bf16(1.0f + 0x1p-8f)), 1.0f);                // tie: to even (down)
    EXPECT_EQ(from_bf16(to_bf16(1.0f + 3 * 0x1p-8f)), 1.0f + 0x1p-6f);  // tie: to even (up)
    EXPECT_EQ(from_bf16(to_bf16(1.0f + 0x1p-8f + 0x1p-20f)), 1.0f + 0x1p-7f);
    EXPECT_EQ(from_bf16(to_bf16(-255.0f)), -255.0f);
    EXPECT_EQ(from_bf16(to_bf16(257.0f)), 256.0f);
    EXPECT_TRUE(std::isnan(from_bf16(to_bf16(std::numeric_limits<float>::quiet_NaN()))));
    EXPECT_TRUE(std::isinf(from_bf16(to_bf16(std::numeric_limits<float>::max()))));
    // The centring shift: the rows' mean, on integers once a component reaches 8; none
    // for rows holding a NaN (it would leave every row without a bound).
    const std::vector<float> small = {1.f, 2.25f, -0.5f, 3.f, 4.25f, -0.5f};  // d = 2
    std::vector<float> mu(2);
    ASSERT_TRUE(bf16_shift(small.data(), 2, 2, nullptr, mu.data()));
    EXPECT_EQ(mu, (std::vector<float>{2.f, 3.25f}));
    const std::vector<float> large = {10.f, 2.25f, -0.5f, 13.f, 4.25f, -0.5f};
    ASSERT_TRUE(bf16_shift(large.data(), 2, 2, nullptr, mu.data()));
    EXPECT_EQ(mu, (std::vector<float>{12.f, 3.f}));
    std::vector<float> bad = large;
    bad[1] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(bf16_shift(bad.data(), 2, 2, nullptr, mu.data()));
    if (!bf16_product_native()) GTEST_SKIP() << "no bf16 unit: the emulation is tested above";
    const int m = 37, n = 21, k = 130, lda = 131, ldb = 133, ldc = 25;
    std::mt19937 gen(9);
    std::uniform_int_distribution<int> v(-20, 20);
    std::vector<std::uint16_t> a(std::size_t(m) * lda), b(std::size_t(n) * ldb);
    std::vector<float> af(a.size()), bf(b.size()), bias(n), c(std::size_t(m) * ldc, -1.f);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = to_bf16(af[i] = float(v(gen)));
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = to_bf16(bf[i] = float(v(gen)));
    for (float& f : bias) f = float(v(gen)) * 0.5f;
    ASSERT_TRUE(
        bf16_score_product(m, n, k, a.data(), lda, b.data(), ldb, bias.data(), c.data(), ldc));
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) {
            double dot = bias[j];
            for (int t = 0; t < k; ++t)
                dot += double(af[std::size_t(i) * lda + t]) * bf[std::size_t(j) * ldb + t];
            ASSERT_EQ(c[std::size_t(i) * ldc + j], float(dot)) << i << " " << j;
        }
    EXPECT_NE(std::string(bf16_product_kernel(384, 1000, 128)), "none");

    // Centre rows packed for tiles of m rows: the same products, for a full tile and a
    // shorter last one, the rows' stride not their length, c's stride n.
    const Bf16PackedRows packed = bf16_pack(m, n, k, b.data(), ldb);
    ASSERT_TRUE(packed);
    for (int rows : {m, 5}) {
        std::vector<float> p(std::size_t(rows) * n, -1.f);
        ASSERT_TRUE(
            bf16_score_product_packed(rows, n, k, a.data(), lda, *packed, bias.data(), p.data()));
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < n; ++j)
                ASSERT_EQ(p[std::size_t(i) * n + j], c[std::size_t(i) * ldc + j])
                    << rows << " rows: " << i << " " << j;
    }
}

// Each vector scan against the scalar loop, whichever the dispatch would pick here:
// ties, NaNs, signed zeros and infinities at every position of short and long rows.
TEST(TopTwo, VectorScansMatchTheScalarLoop) {
    std::vector<std::pair<std::string, TopTwo (*)(const float*, int)>> variants;
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx2")) variants.push_back({"avx2", top_two_avx2});
    if (__builtin_cpu_supports("avx512f")) variants.push_back({"avx512", top_two_avx512});
#endif
    if (variants.empty()) GTEST_SKIP() << "no vector scan runs on this CPU";
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> specials = {nan, -inf, inf, 0.f, -0.f, 3.f, 3.f};
    std::mt19937 gen(5);
    std::uniform_int_distribution<int> small(-4, 4);
    for (int k : {1, 7, 8, 15, 16, 17, 33, 64, 100, 1000}) {
        for (int trial = 0; trial < 200; ++trial) {
            std::vector<float> s(static_cast<std::size_t>(k));
            for (float& v : s) v = float(small(gen));  // many equal values
            for (int m = 0; m < 3; ++m) s[gen() % k] = specials[gen() % specials.size()];
            if (trial % 50 == 0) std::fill(s.begin(), s.end(), nan);
            const TopTwo ref = top_two_scalar(s.data(), k);
            for (const auto& [name, scan] : variants) {
                const TopTwo got = scan(s.data(), k);
                EXPECT_EQ(got.index, ref.index) << name << " k " << k << " trial " << trial;
                EXPECT_EQ(got.best, ref.best) << name << " k " << k << " trial " << trial;
                EXPECT_EQ(got.second, ref.second) << name << " k " << k << " trial " << trial;
            }
        }
    }
    // The scalar loop itself: first index of the largest value, NaNs skipped.
    const std::vector<float> row = {nan, 2.f, 5.f, -1.f, 5.f, nan};
    const TopTwo t = top_two_scalar(row.data(), 6);
    EXPECT_EQ(t.index, 2);
    EXPECT_EQ(t.best, 5.f);
    EXPECT_EQ(t.second, 5.f);
    EXPECT_EQ(top_two_scalar(row.data(), 1).index, -1);
}

// The multi-threaded search calls sgemm from several threads at once: the BLAS must
// give each call what it gives the same call alone (Debian's serial OpenBLAS does not).
TEST_F(MinCluster, ConcurrentProductsEqualSerialOnes) {
    std::mt19937 gen(17);
    std::normal_distribution<float> g(0.f, 1.f);
    const int d = 128;
    const int k = 40;
    const int n = 8 * 48;
    std::vector<float> x(std::size_t(n) * d);
    std::vector<float> c(std::size_t(k) * d);
    for (float& v : x) v = g(gen);
    for (float& v : c) v = g(gen);
    const std::vector<float> rows = augment_rows(x, n, d);
    const std::vector<float> centres = augment_centres(c, k, d);
    SearchPlan plan;
    ASSERT_TRUE(prepare_search(plan, centres.data(), k, d, nullptr));
    // Slice s holds rows 48s .. 48s+40.
    std::vector<float> refScores(std::size_t(8) * 40 * k);
    std::vector<int> refNearest(8 * 40);
    for (int s = 0; s < 8; ++s)
        search_tiles(plan, rows.data() + std::size_t(s) * 48 * (d + 1), 40, nullptr,
                     refScores.data() + std::size_t(s) * 40 * k, refNearest.data() + s * 40,
                     nullptr);
    std::atomic<long> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<float> scores(std::size_t(40) * k);
            std::vector<int> nearest(40);
            for (int it = 0; it < 1500; ++it) {
                const int s = (it + t) % 8;
                search_tiles(plan, rows.data() + std::size_t(s) * 48 * (d + 1), 40, nullptr,
                             scores.data(), nearest.data(), nullptr);
                if (std::memcmp(scores.data(), refScores.data() + std::size_t(s) * 40 * k,
                                scores.size() * sizeof(float)) != 0 ||
                    std::memcmp(nearest.data(), refNearest.data() + s * 40, 40 * sizeof(int)) != 0)
                    ++mismatches;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// Threads of this process now.
int thread_count() {
    int count = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) count += e->d_name[0] != '.';
        closedir(d);
    }
    return count;
}

// The product runs on the search's own workers: no library starts a thread of its own
// (an OpenMP team would, and would keep its threads after the search).
TEST_F(MinCluster, NoThreadsButTheSearchWorkers) {
    std::mt19937 gen(23);
    const int n = 6000, d = 64, k = 300;
    const std::vector<float> rows = augment_rows(small_ints(gen, std::size_t(n) * d), n, d);
    const std::vector<float> centres = augment_centres(small_ints(gen, std::size_t(k) * d), k, d);
    KMeans::nb_threads = 2;
#ifdef KMEANS_SEARCH_mt
    const int workers = 2;
#else
    const int workers = 0;
#endif
    // A thread started and joined first: a sanitizer's runtime starts its own helper
    // thread with the first thread of the process, and it must count as already there.
    std::thread([] {}).join();
    const int before = thread_count();
    std::atomic<bool> done{false};
    std::atomic<int> most{0};
    std::thread watcher([&] {
        while (!done) {
            const int now = thread_count();
            if (now > most) most = now;
        }
    });
    for (int i = 0; i < 20; ++i) search(rows, n, d, k, centres);
    done = true;
    watcher.join();
    EXPECT_LE(most.load(), before + 1 + workers);  // + the watcher
    EXPECT_EQ(thread_count(), before);
}

#ifdef KMEANS_SEARCH_mt
TEST_F(MinCluster, ThreadLineFollowsTheSplit) {
    const int d = 1;
    const std::vector<float> centres = augment_centres({0.f}, 1, d);
    KMeans::nb_threads = 4;
    for (auto [n, t] :
         std::vector<std::pair<int, int>>{{100, 4}, {65, 4}, {20, 2}, {17, 2}, {10, 1}, {0, 0}}) {
        const std::vector<float> rows = augment_rows(std::vector<float>(std::size_t(n), 1.f), n, d);
        search(rows, n, d, 1, centres);
        EXPECT_EQ(lastOut_, "#thread = " + std::to_string(t) + "\n") << "n=" << n;
    }
    KMeans::nb_threads = 3;
    search(augment_rows(std::vector<float>(50, 1.f), 50, d), 50, d, 1, centres);
    EXPECT_EQ(lastOut_, "#thread = 3\n");
    KMeans::nb_threads = 0;  // treated as one worker
    search(augment_rows(std::vector<float>(50, 1.f), 50, d), 50, d, 1, centres);
    EXPECT_EQ(lastOut_, "#thread = 1\n");
}
#else
TEST_F(MinCluster, SingleThreadedSearchPrintsNothing) {
    const std::vector<float> centres = augment_centres({0.f}, 1, 1);
    KMeans::nb_threads = 4;
    search(augment_rows(std::vector<float>(100, 1.f), 100, 1), 100, 1, 1, centres);
    EXPECT_EQ(lastOut_, "");
}
#endif

class Assign : public MinCluster {};

TEST_F(Assign, SearchesBlockByBlock) {
    std::mt19937 gen(3);
    const int d = 4;
    const int k = 6;
    KMeans model;
    model.k = k;
    model.d = d;
    std::vector<float> c = small_ints(gen, std::size_t(k) * d);
    std::vector<float> centres = augment_centres(c, k, d);
    model.centers = new float[centres.size()];
    std::copy(centres.begin(), centres.end(), model.centers);
    KMeans::nb_threads = 1;
    for (auto [n, block, lines] : std::vector<std::tuple<int, int, int>>{
             {250, 100, 3}, {200, 100, 2}, {10, 25, 1}, {5, 0, 1}}) {
        std::vector<float> x = small_ints(gen, std::size_t(n) * d);
        std::vector<int> nearest(n, -1);
        std::vector<float> scores(std::size_t(std::max(1, std::min(block, n))) * k);
        if (block < 1) scores.resize(std::size_t(n) * k);
        testing::internal::CaptureStdout();
        model.assign(augment_rows(x, n, d).data(), n, d, nearest.data(), scores.data(), block);
        const std::string out = testing::internal::GetCapturedStdout();
        std::string expected;
        for (int b = 0; b < lines; ++b) {
            expected += "Block " + std::to_string(b) + "\n";
#ifdef KMEANS_SEARCH_mt
            expected += "#thread = 1\n";
#endif
        }
        EXPECT_EQ(out, expected);
        EXPECT_EQ(nearest, nearest_centres(x, n, c, k, d));
    }
}

TEST_F(Assign, DimensionMismatchLeavesNearestAlone) {
    KMeans model;
    model.k = 1;
    model.d = 128;
    std::vector<float> rows(65 * 3, 0.f);
    std::vector<int> nearest(3, 42);
    std::vector<float> scores(3);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    model.assign(rows.data(), 3, 64, nearest.data(), scores.data(), 10);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Dimensions are not equal ! 128 != 64\n");
    EXPECT_EQ(nearest, std::vector<int>(3, 42));
}

TEST_F(Assign, NoRowsDoesNothing) {
    KMeans model;
    model.k = 2;
    model.d = 3;
    testing::internal::CaptureStdout();
    model.assign(nullptr, 0, 3, nullptr, nullptr, 10);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
