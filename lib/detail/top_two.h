// top_two.h - one pass over a row of float scores: the largest value, the lowest index
// that holds it, and the largest of the other values. The search uses the gap between
// the two to decide whether the float scores alone settle the nearest centre.
//
// NaNs are skipped. With no value above -inf, index is -1 and both values are -inf.
// When the largest value occurs twice, second equals best. -0 and +0 count as one
// value (as == has it), so best may be either zero.
#ifndef KMEANS_TOP_TWO_H
#define KMEANS_TOP_TWO_H

namespace kmeans::detail {

struct TopTwo {
    int index;
    float best;
    float second;
};

// Picks the widest variant the CPU runs; every variant returns the same index and
// values equal under == (the scalar loop is the reference).
TopTwo top_two(const float* s, int k);

TopTwo top_two_scalar(const float* s, int k);
#if defined(__x86_64__) || defined(__i386__)
TopTwo top_two_avx2(const float* s, int k);    // needs AVX2
TopTwo top_two_avx512(const float* s, int k);  // needs AVX-512F
#endif

}  // namespace kmeans::detail

#endif  // KMEANS_TOP_TWO_H
