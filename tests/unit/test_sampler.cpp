// test_sampler.cpp - the Sampler draws and the engine's own cblas_dscal.
//
// Every draw is checked against rand() values the test knows independently, in one of
// two ways:
// - replayed: the test seeds libc with the same seed and reads rand() itself;
// - scripted: this file interposes rand(). While a script is loaded, rand() returns the
//   script's values in order and counts every call (past the end of the script it falls
//   back to libc, so a faulty loop still ends and the count exposes it); otherwise it
//   forwards to libc's rand(), and the rest of the program sees the usual generator.
//   A script can feed values no seed gives on demand: 2^31 - 1, or 2^30 (u = 0.5).
// Expected indices come from the draw's definition worked by hand (comments give the
// arithmetic) or from a naive linear scan, never from the routine's own output.
//
// <cblas.h>, sampler.h and dscal.h share this unit on purpose: the engine's headers
// must stay includable next to the BLAS header, and the engine's cblas_dscal must
// neither clash with the library's declaration nor replace its routine.
#include <cblas.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "detail/dscal.h"
#include "sampler.h"

using namespace kmeans;

// The engine's cblas_dscal beside the BLAS routine of the same name.
constexpr auto engine_dscal = &kmeans::detail::cblas_dscal;

namespace {

struct RandScript {
    std::vector<int> values;
    std::size_t next = 0;
    long calls = 0;
    bool active = false;
};
RandScript g_script;

}  // namespace

extern "C" int rand() noexcept {
    using RandFn = int (*)();
    static const RandFn libc_rand = reinterpret_cast<RandFn>(dlsym(RTLD_NEXT, "rand"));
    if (libc_rand == nullptr) std::abort();  // no libc rand() to forward to
    if (g_script.active) {
        ++g_script.calls;
        if (g_script.next < g_script.values.size()) return g_script.values[g_script.next++];
    }
    return libc_rand();
}

namespace {

const int kMaxRand = 2147483647;     // 2^31 - 1, the largest value of libc's generator
const int kHalf = 1 << 30;           // u = 0.5
const int kQuarter = 1 << 29;        // u = 0.25
const int kThreeQuarters = 3 << 29;  // u = 0.75 (1610612736)
const char kRefusal[] = "Cannot sampling. Please support pmf or frequencies' table !\n";

// The unit real of r, formed independently of the engine: r * 2^-31 is exact in double.
double unit(int r) { return std::ldexp(static_cast<double>(r), -31); }

// The uniform integer by its definition: first 2^31 / n, then r divided by it, truncated.
int below(int r, int n) { return static_cast<int>(r / (2147483648.0 / n)); }

// Naive inverse CDF: the smallest i with u < c[i], n-1 when there is none. Equal to the
// binary search whenever no midpoint entry equals u exactly.
int linear_search(std::vector<double> const& c, double u) {
    for (std::size_t i = 0; i < c.size(); ++i)
        if (u < c[i]) return static_cast<int>(i);
    return static_cast<int>(c.size()) - 1;
}

// Redirects a stream into a string for the life of the object.
class Capture {
public:
    explicit Capture(std::ostream& stream) : stream_(stream), old_(stream.rdbuf(text_.rdbuf())) {}
    ~Capture() { stream_.rdbuf(old_); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::string text() const { return text_.str(); }

private:
    std::ostream& stream_;
    std::ostringstream text_;
    std::streambuf* old_;
};

// Owns the rand() script: loaded by feed(), unloaded after every test.
class SamplerScripted : public ::testing::Test {
protected:
    void feed(std::vector<int> values) {
        g_script.values = std::move(values);
        g_script.next = 0;
        g_script.calls = 0;
        g_script.active = true;
    }
    long consumed() const { return g_script.calls; }
    void TearDown() override {
        g_script.active = false;
        g_script.values.clear();
    }
};

// Owns libc's generator: every test seeds it itself; it is left at libc's default seed.
class SamplerReplay : public ::testing::Test {
protected:
    void TearDown() override { std::srand(1); }

    // The next `count` values of libc's generator after srand(seed).
    static std::vector<int> replay(unsigned seed, int count) {
        std::srand(seed);
        std::vector<int> r(static_cast<std::size_t>(count));
        for (int& v : r) v = std::rand();
        return r;
    }
};

// ---------------------------------------------------------------------------------------
// Uniform integer and unit real

TEST_F(SamplerScripted, RandomOfOneIsAlwaysZero) {
    feed({0, 1, kHalf, kMaxRand - 1, kMaxRand});
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Sampler::random(1), 0) << "draw " << i;
    EXPECT_EQ(consumed(), 5);
}

TEST_F(SamplerScripted, RandomIntegerDividesByTwoPow31OverN) {
    // Worked by hand; the first two differ from r % n (1 % 3 = 1, (2^31 - 1) % 3 = 1).
    feed({1, kMaxRand, 214748364, 214748365, kHalf - 1, kHalf, kMaxRand});
    EXPECT_EQ(Sampler::random(3), 0);   // 1 / 715827882.67 < 1
    EXPECT_EQ(Sampler::random(3), 2);   // 3 * (1 - 2^-31) = 2.99999...
    EXPECT_EQ(Sampler::random(10), 0);  // 214748364 / 214748364.8 < 1
    EXPECT_EQ(Sampler::random(10), 1);  // 214748365 / 214748364.8 > 1
    EXPECT_EQ(Sampler::random(2), 0);   // (2^30 - 1) / 2^30 < 1
    EXPECT_EQ(Sampler::random(2), 1);   // 2^30 / 2^30 = 1
    // (2^31 - 1)^2 / 2^31 = 2^31 - 2 + 2^-31: the largest r stays below the largest n.
    EXPECT_EQ(Sampler::random(kMaxRand), kMaxRand - 1);
    EXPECT_EQ(consumed(), 7);
}

TEST_F(SamplerScripted, UnitRealNeverReachesOne) {
    feed({kMaxRand, 0, kHalf});
    const double largest = Sampler::random();
    // 1 - 2^-31 exactly: a quotient by 2^31 - 1, or the product formed in float
    // (which rounds 2^31 - 1 up to 2^31), would give 1.
    EXPECT_EQ(largest, 1.0 - std::ldexp(1.0, -31));
    EXPECT_LT(largest, 1.0);
    EXPECT_EQ(Sampler::random(), 0.0);
    EXPECT_EQ(Sampler::random(), 0.5);
    EXPECT_EQ(consumed(), 3);
}

TEST_F(SamplerReplay, RandomIntegerAndUnitRealFollowLibcSequence) {
    const std::vector<int> r = replay(2024, 200);
    std::srand(2024);
    for (int i = 0; i < 100; ++i) {
        const int n = 1 + 37 * i;
        EXPECT_EQ(Sampler::random(n), below(r[i], n)) << "draw " << i << ", n = " << n;
    }
    for (int i = 100; i < 200; ++i) EXPECT_EQ(Sampler::random(), unit(r[i])) << "draw " << i;
}

TEST_F(SamplerReplay, FillReseedsThenWritesOneUnitRealPerEntry) {
    const std::vector<int> r = replay(31, 8);
    std::srand(99);
    double first[5];
    Sampler::sample(first, 5, 31);  // reseeds with 31
    double more[3];
    Sampler::sample(more, 3, -1);  // continues the same sequence
    for (int i = 0; i < 5; ++i) EXPECT_EQ(first[i], unit(r[i])) << "entry " << i;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(more[i], unit(r[5 + i])) << "entry " << i;
}

TEST_F(SamplerReplay, ZeroCountDrawsNothingButStillReseeds) {
    const int seeded = replay(17, 1)[0];
    const int unseeded = replay(3, 1)[0];

    double reals[2] = {-1.0, -2.0};
    std::srand(3);
    Sampler::sample(reals, 0, 17);
    EXPECT_EQ(reals[0], -1.0);
    EXPECT_EQ(reals[1], -2.0);
    EXPECT_EQ(std::rand(), seeded);

    std::srand(3);
    Sampler::sample(reals, -4, -1);
    EXPECT_EQ(reals[0], -1.0);
    EXPECT_EQ(std::rand(), unseeded);

    for (bool replacement : {false, true}) {
        int out[2] = {-7, -8};
        Capture err(std::cerr);
        std::srand(3);
        Sampler::sample(10, out, 0, replacement, 17);
        EXPECT_EQ(out[0], -7);
        EXPECT_EQ(out[1], -8);
        EXPECT_EQ(std::rand(), seeded);

        std::srand(3);
        Sampler::sample(10, out, -2, replacement, -1);
        EXPECT_EQ(out[0], -7);
        EXPECT_EQ(std::rand(), unseeded);
        EXPECT_EQ(err.text(), "");
    }
}

// ---------------------------------------------------------------------------------------
// Distinct indices (the trainer's seeding draw)

// Independent replay of the rejection draw over a given run of rand() values.
std::vector<int> replay_distinct(std::vector<int> const& r, std::size_t& used, int n, int m) {
    std::vector<bool> taken(static_cast<std::size_t>(n), false);
    std::vector<int> out;
    while (static_cast<int>(out.size()) < m) {
        const int index = below(r.at(used++), n);
        if (!taken[index]) {
            taken[index] = true;
            out.push_back(index);
        }
    }
    return out;
}

TEST_F(SamplerReplay, SameSeedGivesSameIndices) {
    const int n = 1000;
    const int m = 50;
    std::vector<int> a(m), b(m);
    Sampler::sample(n, a.data(), m, false, 42);
    for (int i = 0; i < 10; ++i) std::rand();  // move the generator on
    Sampler::sample(n, b.data(), m, false, 42);
    EXPECT_EQ(a, b);

    const std::vector<int> r = replay(42, 200);
    std::size_t used = 0;
    EXPECT_EQ(a, replay_distinct(r, used, n, m));
}

TEST_F(SamplerReplay, SeedMinusOneContinuesTheSequence) {
    // n = 12 and m = 10 force rejections, so the replay also checks one rand() per attempt.
    const int n = 12;
    const int m = 10;
    const std::vector<int> r = replay(42, 1000);
    std::vector<int> a(m), b(m);
    std::srand(5);
    Sampler::sample(n, a.data(), m, false, 42);
    Sampler::sample(n, b.data(), m, true, -1);

    std::size_t used = 0;
    EXPECT_EQ(a, replay_distinct(r, used, n, m));
    EXPECT_EQ(b, replay_distinct(r, used, n, m));
    EXPECT_EQ(std::rand(), r[used]) << "attempts consumed differ from the replay";
}

TEST_F(SamplerReplay, FullDrawIsAPermutationWithEitherFlag) {
    const int n = 64;
    std::vector<int> identity(n);
    std::iota(identity.begin(), identity.end(), 0);
    std::vector<int> with_flag[2];
    for (bool replacement : {false, true}) {
        std::vector<int> out(n, -1);
        Sampler::sample(n, out.data(), n, replacement, 7);
        with_flag[replacement] = out;
        std::sort(out.begin(), out.end());
        EXPECT_EQ(out, identity) << "replacement = " << replacement;
    }
    EXPECT_EQ(with_flag[0], with_flag[1]);  // the flag changes nothing
}

TEST_F(SamplerScripted, TakenIndexIsDrawnAgainOneRandPerAttempt) {
    // n = 4: 2^31 - 1 -> 3, 3 again (taken), 3 again (taken), 0 -> 0, 2^30 -> 2.
    feed({kMaxRand, kMaxRand, kMaxRand, 0, kHalf});
    int out[3] = {-1, -1, -1};
    Sampler::sample(4, out, 3, false, -1);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 2);
    EXPECT_EQ(consumed(), 5);
}

TEST_F(SamplerReplay, MoreIndicesThanCandidatesIsRefused) {
    const int unseeded = replay(3, 1)[0];
    for (bool replacement : {false, true}) {
        int out[4] = {-1, -2, -3, -4};
        Capture err(std::cerr);
        std::srand(3);
        Sampler::sample(3, out, 4, replacement, 9);  // refused before the reseed
        EXPECT_EQ(err.text(), kRefusal) << "replacement = " << replacement;
        EXPECT_EQ(out[0], -1);
        EXPECT_EQ(out[1], -2);
        EXPECT_EQ(out[2], -3);
        EXPECT_EQ(out[3], -4);
        EXPECT_EQ(std::rand(), unseeded) << "the generator was touched";
    }
}

// ---------------------------------------------------------------------------------------
// Inverse-CDF search

TEST_F(SamplerScripted, SearchFindsSmallestEntryAboveU) {
    // Entries k/7 are not multiples of 2^-31, so no unit real meets one exactly and the
    // binary search must agree with a linear scan everywhere.
    std::vector<double> c(7);
    for (int i = 0; i < 6; ++i) c[i] = (i + 1) / 7.0;
    c[6] = 1.0;
    std::mt19937 gen(12345);
    std::uniform_int_distribution<int> any(0, kMaxRand);
    std::vector<int> r(400);
    for (int& v : r) v = any(gen);
    r[0] = 0;
    r[1] = kMaxRand;
    feed(r);
    for (std::size_t i = 0; i < r.size(); ++i)
        EXPECT_EQ(Sampler::random(c.data(), 7), linear_search(c, unit(r[i]))) << "r = " << r[i];
    EXPECT_EQ(consumed(), 400);
}

TEST_F(SamplerScripted, UNotBelowLastEntryYieldsLastIndex) {
    // A table whose total fell short of 1: u = 0.75 and u = 1 - 2^-31 lie above 0.6.
    const double c[3] = {0.2, 0.4, 0.6};
    feed({kThreeQuarters, kMaxRand});
    EXPECT_EQ(Sampler::random(c, 3), 2);
    EXPECT_EQ(Sampler::random(c, 3), 2);
    const double one[1] = {1.0};
    feed({kMaxRand});
    EXPECT_EQ(Sampler::random(one, 1), 0);
    EXPECT_EQ(consumed(), 1);
}

TEST_F(SamplerScripted, ExactMidpointReturnsCurrentUpperBound) {
    const double c[4] = {0.25, 0.5, 0.75, 1.0};
    feed({kHalf - 1, kHalf, kHalf + 1});
    EXPECT_EQ(Sampler::random(c, 4), 1);  // u just below 0.5: smallest i with u < c[i]
    EXPECT_EQ(Sampler::random(c, 4), 3);  // u = c[mid = 1]: stops with hi = 3, not 2
    EXPECT_EQ(Sampler::random(c, 4), 2);  // u just above 0.5
    EXPECT_EQ(consumed(), 3);
}

TEST_F(SamplerReplay, ExactMidpointWithLibcValue) {
    // The first value after srand(7), as a unit real u, placed at the first midpoint.
    const double u = unit(replay(7, 1)[0]);
    const double c[4] = {u / 2, u, (1.0 + u) / 2, 1.0};
    std::srand(7);
    EXPECT_EQ(Sampler::random(c, 4), 3);
}

TEST_F(SamplerScripted, NaNEntryCountsAsAboveU) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // u = 0.5: mid 1 is NaN -> hi = 1; mid 0 (0.1 <= u) -> lo = 1. Treating NaN as below
    // u would go right and give 2.
    const double c[4] = {0.1, nan, 0.9, 1.0};
    const double all_nan[3] = {nan, nan, nan};
    feed({kHalf, kMaxRand});
    EXPECT_EQ(Sampler::random(c, 4), 1);
    EXPECT_EQ(Sampler::random(all_nan, 3), 0);
}

TEST_F(SamplerScripted, EmptyOrMissingCdfIsRefusedWithoutDrawing) {
    const double c[2] = {0.5, 1.0};
    feed({kMaxRand});
    Capture err(std::cerr);
    EXPECT_EQ(Sampler::random(c, 0), 0);
    EXPECT_EQ(Sampler::random(c, -3), 0);
    EXPECT_EQ(Sampler::random(nullptr, 2), 0);
    EXPECT_EQ(err.text(), std::string(kRefusal) + kRefusal + kRefusal);
    EXPECT_EQ(consumed(), 0);
}

// ---------------------------------------------------------------------------------------
// Probability table draw

TEST_F(SamplerScripted, ProbabilityDrawPrintsTableThenDrawsWithReplacement) {
    // (1, 1, 2) -> (0.25, 0.25, 0.5), cumulative (0.25, 0.5, 1). By hand:
    // u = 0 -> 0; u just below 0.25 -> 0; u = 0.25 (mid 1: 0.25 < 0.5 -> hi = 1; mid 0
    // equal -> stop) -> 1; u = 0.5 (equal at mid 1) -> 2; u = 1 - 2^-31 -> 2.
    const double pmf[3] = {1.0, 1.0, 2.0};
    feed({0, kQuarter - 1, kQuarter, kHalf, kMaxRand});
    int out[5] = {-1, -1, -1, -1, -1};
    Capture out_text(std::cout);
    Capture err(std::cerr);
    EXPECT_EQ(Sampler::sample(pmf, 3, out, 5, false, 5), 1);
    EXPECT_EQ(out_text.text(), "pmf normalized =\t 0.25 0.25 0.5\n");
    EXPECT_EQ(err.text(), "");
    // The flag false does not prevent the repeated 0 and 2.
    const int expected[5] = {0, 0, 1, 2, 2};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], expected[i]) << "draw " << i;
    EXPECT_EQ(consumed(), 5);
}

TEST_F(SamplerScripted, ProbabilityLineHasSixDigitsWhateverTheStreamPrecision) {
    // m = 0 still prepares and prints, and draws nothing.
    const double pmf[2] = {1.0, 2.0};
    feed({});
    int out[1] = {-1};
    Capture out_text(std::cout);
    std::cout.precision(20);
    EXPECT_EQ(Sampler::sample(pmf, 2, out, 0, true, -1), 1);
    EXPECT_EQ(out_text.text(), "pmf normalized =\t 0.333333 0.666667\n");
    EXPECT_EQ(std::cout.precision(), 20);  // the caller's setting survives
    std::cout.precision(6);
    EXPECT_EQ(out[0], -1);
    EXPECT_EQ(consumed(), 0);
}

TEST_F(SamplerReplay, ProbabilityDrawFollowsLibcValuesAndIgnoresSeed) {
    const double pmf[4] = {2.0, 1.0, 4.0, 1.0};  // cumulative (0.25, 0.375, 0.875, 1)
    const std::vector<double> c = {0.25, 0.375, 0.875, 1.0};
    const std::vector<int> r = replay(10, 31);
    std::vector<int> out(30);
    Capture out_text(std::cout);
    std::srand(10);
    EXPECT_EQ(Sampler::sample(pmf, 4, out.data(), 30, true, 77), 1);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(out[i], linear_search(c, unit(r[i]))) << "draw " << i;
    EXPECT_EQ(std::rand(), r[30]);
}

TEST_F(SamplerScripted, ProbabilityDrawRefusesMissingOrEmptyTable) {
    const double pmf[2] = {1.0, 1.0};
    feed({0, 0});
    int out[2] = {-1, -2};
    Capture out_text(std::cout);
    Capture err(std::cerr);
    EXPECT_EQ(Sampler::sample(static_cast<double const*>(nullptr), 2, out, 2, true, -1), 0);
    EXPECT_EQ(Sampler::sample(pmf, -1, out, 2, true, -1), 0);
    EXPECT_EQ(Sampler::sample(pmf, 0, out, 2, false, -1), 0);
    EXPECT_EQ(err.text(), std::string(kRefusal) + kRefusal + kRefusal);
    EXPECT_EQ(out_text.text(), "");
    EXPECT_EQ(out[0], -1);
    EXPECT_EQ(out[1], -2);
    EXPECT_EQ(consumed(), 0);
}

// ---------------------------------------------------------------------------------------
// Frequency table draw

TEST_F(SamplerScripted, FrequencyThreeToOneSplitsAtThreeQuarters) {
    // (3, 1) -> (0.75, 0.25), cumulative (0.75, 1): u < 0.75 draws 0, any other u draws 1
    // (u = 0.75 equals c[mid = 0] and stops with hi = 1).
    const int freq[2] = {3, 1};
    feed({0, kThreeQuarters - 1, kThreeQuarters, kMaxRand});
    int out[4] = {-1, -1, -1, -1};
    Capture out_text(std::cout);
    EXPECT_EQ(Sampler::sample(freq, 2, out, 4, true, -1), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 1);
    EXPECT_EQ(out[3], 1);
    EXPECT_EQ(out_text.text(), "");  // only the probability draw prints
    EXPECT_EQ(consumed(), 4);
}

TEST_F(SamplerReplay, FrequencyDrawFollowsLibcValuesAndIgnoresSeed) {
    const int freq[2] = {3, 1};
    auto index_of = [](int r) { return unit(r) < 0.75 ? 0 : 1; };

    const std::vector<int> r = replay(123, 200);
    std::vector<int> out(40);
    std::srand(123);
    EXPECT_EQ(Sampler::sample(freq, 2, out.data(), 40, true, 5), 1);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(out[i], index_of(r[i])) << "draw " << i;

    // Without replacement, continuing the same sequence: the first draw takes its index,
    // the second skips values that give the same index again.
    std::size_t used = 40;
    const int first = index_of(r[used++]);
    while (index_of(r[used]) == first) ++used;
    ++used;
    int pair[2] = {-1, -1};
    EXPECT_EQ(Sampler::sample(freq, 2, pair, 2, false, 5), 1);
    EXPECT_EQ(pair[0], first);
    EXPECT_EQ(pair[1], 1 - first);
    EXPECT_EQ(std::rand(), r[used]) << "attempts consumed differ from the replay";
}

TEST_F(SamplerScripted, FrequencyWithoutReplacementDrawsTakenIndexAgain) {
    const int freq[2] = {3, 1};
    feed({0, 0, kThreeQuarters - 1, kThreeQuarters});  // 0, then 0 and 0 rejected, then 1
    int out[2] = {-1, -1};
    EXPECT_EQ(Sampler::sample(freq, 2, out, 2, false, -1), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(consumed(), 4);

    // A zero weight is never drawn: (5, 0, 3) has the cumulative table (0.625, 0.625, 1).
    const int gap[3] = {5, 0, 3};
    feed({0, 0, kMaxRand});
    EXPECT_EQ(Sampler::sample(gap, 3, out, 2, false, -1), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(consumed(), 3);
}

TEST_F(SamplerScripted, FrequencyWithReplacementMayDrawMoreThanTableSize) {
    const int freq[2] = {3, 1};
    feed({0, kMaxRand, 5});
    int out[3] = {-1, -1, -1};
    EXPECT_EQ(Sampler::sample(freq, 2, out, 3, true, -1), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(consumed(), 3);
}

TEST_F(SamplerScripted, FrequencyDrawRefusals) {
    struct Case {
        const char* what;
        const int* freq;
        int n;
        int m;
    };
    const int pair[2] = {3, 1};
    const int one_zero[3] = {5, 0, 3};
    const int zero_total[3] = {1, 1, -2};
    const Case cases[] = {
        {"missing table", nullptr, 2, 1},
        {"negative n", pair, -1, 1},
        {"empty table", pair, 0, 1},
        {"m > n without replacement", pair, 2, 3},
        {"fewer positive weights than m", one_zero, 3, 3},
        {"zero total", zero_total, 3, 2},
    };
    for (const Case& c : cases) {
        feed({0, 0, 0, 0});
        int out[3] = {-1, -2, -3};
        Capture err(std::cerr);
        EXPECT_EQ(Sampler::sample(c.freq, c.n, out, c.m, false, -1), 0) << c.what;
        EXPECT_EQ(err.text(), kRefusal) << c.what;
        EXPECT_EQ(out[0], -1) << c.what;
        EXPECT_EQ(out[1], -2) << c.what;
        EXPECT_EQ(out[2], -3) << c.what;
        EXPECT_EQ(consumed(), 0) << c.what;
    }
    // The first three are refused with replacement too.
    for (int i = 0; i < 3; ++i) {
        feed({0});
        int out[1] = {-1};
        Capture err(std::cerr);
        EXPECT_EQ(Sampler::sample(cases[i].freq, cases[i].n, out, 1, true, -1), 0) << cases[i].what;
        EXPECT_EQ(err.text(), kRefusal) << cases[i].what;
        EXPECT_EQ(out[0], -1) << cases[i].what;
        EXPECT_EQ(consumed(), 0) << cases[i].what;
    }
}

// ---------------------------------------------------------------------------------------
// The engine's cblas_dscal

TEST(SamplerDscal, PositiveStrideScalesEveryIncxthElement) {
    double x[7] = {1, 2, 3, 4, 5, 6, 7};
    engine_dscal(3, 2.0, x + 1, 2);  // x[1], x[3], x[5]
    const double expected[7] = {1, 4, 3, 8, 5, 12, 7};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(x[i], expected[i]) << "element " << i;

    double y[3] = {1, 2, 3};
    engine_dscal(3, -0.5, y, 1);
    EXPECT_EQ(y[0], -0.5);
    EXPECT_EQ(y[1], -1.0);
    EXPECT_EQ(y[2], -1.5);
}

TEST(SamplerDscal, NegativeStrideWalksBackwardsFromX) {
    double x[7] = {1, 2, 3, 4, 5, 6, 7};
    engine_dscal(3, 3.0, x + 6, -2);  // x[6], x[4], x[2]
    const double expected[7] = {1, 2, 9, 4, 15, 6, 21};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(x[i], expected[i]) << "element " << i;
}

TEST(SamplerDscal, ZeroStrideScalesFirstElementNTimes) {
    double x[2] = {1, 5};
    engine_dscal(3, 2.0, x, 0);
    EXPECT_EQ(x[0], 8.0);
    EXPECT_EQ(x[1], 5.0);
}

TEST(SamplerDscal, NonPositiveCountChangesNothing) {
    double x[2] = {1, 5};
    engine_dscal(0, 2.0, x, 1);
    engine_dscal(-3, 2.0, x, 1);
    EXPECT_EQ(x[0], 1.0);
    EXPECT_EQ(x[1], 5.0);
}

TEST(SamplerDscal, BlasRoutineIsNotReplaced) {
    // BLAS does nothing for a stride <= 0; the engine's routine walks backwards. The
    // BLAS name, called here through <cblas.h>, must still reach the library.
    double blas[3] = {1, 2, 3};
    cblas_dscal(3, 2.0, blas + 2, -1);
    EXPECT_EQ(blas[0], 1.0);
    EXPECT_EQ(blas[1], 2.0);
    EXPECT_EQ(blas[2], 3.0);

    double engine[3] = {1, 2, 3};
    engine_dscal(3, 2.0, engine + 2, -1);
    EXPECT_EQ(engine[0], 2.0);
    EXPECT_EQ(engine[1], 4.0);
    EXPECT_EQ(engine[2], 6.0);

    double both[2][3] = {{1, 2, 3}, {1, 2, 3}};
    cblas_dscal(3, 0.5, both[0], 1);
    engine_dscal(3, 0.5, both[1], 1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(both[0][i], both[1][i]) << "element " << i;
}

}  // namespace
