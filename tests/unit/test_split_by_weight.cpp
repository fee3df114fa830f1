// split_by_weight: contiguous runs whose boundaries lie nearest to r/parts of the
// whole weight, entries past the weights weighing 1, and no overflow on weights near
// 2^62. The oracle tries every boundary.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "mpi_run.h"

namespace {

// The boundary after `from` whose prefix weight is nearest to target (the later one
// on a tie), by trying them all; weights all positive.
int nearest_boundary(const std::vector<unsigned __int128>& prefix, int from,
                     unsigned __int128 target) {
    int best = from;
    for (int i = from; i < int(prefix.size()); ++i) {
        const auto gap = [&](int j) {
            return prefix[std::size_t(j)] > target ? prefix[std::size_t(j)] - target
                                                   : target - prefix[std::size_t(j)];
        };
        if (gap(i) <= gap(best)) best = i;
    }
    return best;
}

}  // namespace

TEST(SplitByWeight, BoundariesNearestTheirShareOfTheWeight) {
    EXPECT_EQ(split_by_weight({5, 1, 1, 1, 1, 1}, 6, 2), (std::vector<int>{0, 1, 6}));
    EXPECT_EQ(split_by_weight({}, 10, 3), (std::vector<int>{0, 3, 6, 10}));  // weight 1 each
    EXPECT_EQ(split_by_weight({1, 1}, 2, 4), (std::vector<int>{0, 0, 1, 1, 2}));
    const std::uint64_t big = std::uint64_t(1) << 62;
    EXPECT_EQ(split_by_weight({big, big, big}, 3, 3), (std::vector<int>{0, 1, 2, 3}));

    std::mt19937_64 gen(3);
    for (int trial = 0; trial < 200; ++trial) {
        const int count = 1 + int(gen() % 40);
        const int parts = 1 + int(gen() % 6);
        std::vector<std::uint64_t> weights(std::size_t(gen() % std::uint64_t(count + 1)));
        for (std::uint64_t& w : weights)
            w = 1 + gen() % (trial % 2 ? 1000 : (std::uint64_t(1) << 58));
        std::vector<unsigned __int128> prefix(std::size_t(count) + 1, 0);
        for (int i = 0; i < count; ++i)
            prefix[std::size_t(i) + 1] =
                prefix[std::size_t(i)] +
                (std::size_t(i) < weights.size() ? weights[std::size_t(i)] : 1);
        const std::vector<int> bounds = split_by_weight(weights, count, parts);
        ASSERT_EQ(bounds.size(), std::size_t(parts) + 1);
        EXPECT_EQ(bounds.front(), 0);
        EXPECT_EQ(bounds.back(), count);
        for (int r = 1; r < parts; ++r) {
            const unsigned __int128 target = prefix.back() * unsigned(r) / unsigned(parts);
            EXPECT_EQ(bounds[std::size_t(r)],
                      nearest_boundary(prefix, bounds[std::size_t(r) - 1], target))
                << "trial " << trial << " run " << r;
        }
    }
}
