// block_size.cpp - the trainer's block-size estimate: how many rows of score matrix
// fit the fixed memory budget beside the data and the centres (block_size.h).
#include "block_size.h"

#include <climits>

int estimate_block_size(int n, int d, int k, int workers) {
    const long long used = (static_cast<long long>(n) + k) * (static_cast<long long>(d) + 1);
    const double estimate = (483183820.8 - double(used)) / double(k);
    if (estimate >= 1) return estimate > INT_MAX ? INT_MAX : int(estimate);
    long long rows = (1LL << 24) / k;
    const long long least = 16LL * (workers < 1 ? 1 : workers);
    if (rows < least) rows = least;
    if (rows > n) rows = n;
    return int(rows);
}
