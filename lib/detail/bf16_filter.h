// bf16_filter.h - the filter's scores from operands rounded to bf16 (8-bit
// significands), on the CPU's bf16 unit where it has one: AMX multiplies them some
// four times faster than float. The scores still only filter: the bound grows by what
// the rounding of both operands can move a score (search.cpp proves it), and the
// certificate and the double-precision measure decide as in float, so the nearest
// centres are the same.
#ifndef KMEANS_BF16_FILTER_H
#define KMEANS_BF16_FILTER_H

#include <cstdint>
#include <cstring>

#include "detail/search.h"

namespace kmeans::detail {

// The nearest bf16, ties to even; a NaN stays a NaN, and a float beyond the largest
// bf16 becomes an infinity.
inline std::uint16_t to_bf16(float x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if ((bits & 0x7FFFFFFFu) > 0x7F800000u) return std::uint16_t((bits >> 16) | 0x40u);
    return std::uint16_t((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

inline float from_bf16(std::uint16_t h) {
    const std::uint32_t bits = std::uint32_t(h) << 16;
    float x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// The filter of a search that no caller chose: KMEANS_FILTER=float, bf16 (the bf16
// unit, or its emulation where there is none), bf16-emulated, or auto (the default):
// bf16 where the CPU multiplies bf16 and the product's library can use it, else float.
ScoreFilter default_filter();

// Gives a float plan (prepare_search) the operands and bound of `filter`. False, the
// plan left filtering in float, when the filter cannot run here or the memory for its
// centres (half the size of the centres, or as large for the emulation) is short, or
// when a centre does not round to a finite bf16. Plans with no usable bound stay so.
bool prepare_filter(SearchPlan& plan, ScoreFilter filter);

// The shift the bf16 filter multiplies with, into mu (d floats): the caller's `shift`,
// or else the mean of the k centres (augmented rows), rounded to integers when the
// values are on that scale (a component of 8 or more). Centred, rows and centres are
// shorter and so is the bound; and integer rows, as SIFT descriptors are, stay
// integers, which bf16 holds exactly up to 256. False (mu untouched) when the mean is
// not finite or its scratch cannot be had: the operands are then not centred.
bool bf16_shift(const float* centers, int k, int d, const float* shift, float* mu);

// A tile's product rows a' (size augmented rows, stride d+1) rounded to bf16: the rows
// a themselves, or with mu (d floats) fl(a - mu), as the shifted tiles form it. Into
// `half` (size x d bf16) for the bf16 product, or into `emulated` (augmented rows,
// column d copied) for its emulation; and into delta[i] an upper bound of |a''_i -
// a'_i| (0 for a row that rounds exactly, as integers up to 256 do; NaN or +inf when
// the row is not finite).
void round_tile_rows(const SearchPlan& plan, const float* a, const float* mu, int size,
                     std::uint16_t* half, float* emulated, float* delta);

}  // namespace kmeans::detail

#endif  // KMEANS_BF16_FILTER_H
