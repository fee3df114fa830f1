// counter_random.h - random draws that are a pure function of (seed, stream, index):
// no hidden state, so the draw for row i is the same whichever thread, block or
// process looks at row i, and in whatever order. Each value is SplitMix64's output
// function (Steele, Lea and Flood's mix of a Weyl sequence) applied to a counter made
// from the three: the seed and the stream are mixed first, so that nearby seeds or
// streams do not give shifted copies of one sequence.
#ifndef KMEANS_COUNTER_RANDOM_H
#define KMEANS_COUNTER_RANDOM_H

#include <cstdint>

namespace kmeans::detail {

inline std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// 64 random bits: draw `index` of `stream` under `seed`.
inline std::uint64_t counter_bits(std::uint64_t seed, std::uint64_t stream, std::uint64_t index) {
    const std::uint64_t key = mix64(mix64(seed + 0x9e3779b97f4a7c15ull) ^ stream);
    return mix64(key + (index + 1) * 0x9e3779b97f4a7c15ull);
}

// A unit real in [0, 1): the top 53 bits, exactly representable.
inline double counter_unit(std::uint64_t seed, std::uint64_t stream, std::uint64_t index) {
    return double(counter_bits(seed, stream, index) >> 11) * 0x1p-53;
}

// An integer in 0 .. n-1 for n >= 1: the high word of bits * n, which is uniform to
// within n / 2^64.
inline std::uint64_t counter_below(std::uint64_t n, std::uint64_t seed, std::uint64_t stream,
                                   std::uint64_t index) {
    const unsigned __int128 wide =
        static_cast<unsigned __int128>(counter_bits(seed, stream, index)) * n;
    return std::uint64_t(wide >> 64);
}

}  // namespace kmeans::detail

#endif  // KMEANS_COUNTER_RANDOM_H
