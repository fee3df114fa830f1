// block_size.h - the trainer's block-size estimate: as many rows per block as fit a
// budget of 1.8 GiB (0.45 * 2^30 floats) beside the augmented data matrix and the
// centres, each row of a block costing k floats of score matrix.
#ifndef KMEANS_BLOCK_SIZE_H
#define KMEANS_BLOCK_SIZE_H

// (483183820.8 - (n + k) * (d + 1)) / k, truncated. (n + k) * (d + 1) is formed in
// 64 bits: in 32 bits it overflows from about 16.6 million 128-d rows. When the
// matrix and centres alone exceed the budget, the block whose score matrix takes
// about 64 MiB (2^24 / k rows), at least 16 rows per worker and at most n.
int estimate_block_size(int n, int d, int k, int workers);

#endif
