// The trainer's block-size estimate, including sizes whose 32-bit product overflows
// and data sets that alone exceed the memory budget.
#include <gtest/gtest.h>

#include "block_size.h"

TEST(BlockSize, BudgetLeftOverPerScoreRow) {
    // (483183820.8 - 101000 * 129) / 1000 = 470154.8208
    EXPECT_EQ(estimate_block_size(100000, 128, 1000, 4), 470154);
    // (483183820.8 - 3 * 3) / 1 = 483183811.8
    EXPECT_EQ(estimate_block_size(2, 2, 1, 4), 483183811);
}

TEST(BlockSize, OverBudgetFallsBackToA64MiBScoreMatrix) {
    // 4M rows of 128 values: the matrix alone takes 516M of the 483M-float budget.
    EXPECT_EQ(estimate_block_size(4000000, 128, 1000, 4), (1 << 24) / 1000);
    // Never fewer than 16 rows per worker, never more than n.
    EXPECT_EQ(estimate_block_size(4000000, 128, 1000000, 4), 64);
    EXPECT_EQ(estimate_block_size(4000000, 128, 1000000, 0), 16);
    EXPECT_EQ(estimate_block_size(3000, 200000, 2, 4), 3000);
}

TEST(BlockSize, ProductIsFormedIn64Bits) {
    // 17M x 129 = 2.19e9 floats: in 32 bits the product wraps negative and the
    // estimate would come out huge instead of falling back.
    EXPECT_EQ(estimate_block_size(17000000, 128, 2, 4), (1 << 24) / 2);
}
