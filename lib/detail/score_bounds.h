// score_bounds.h - the directed roundings that the search's error bounds are built
// from (search.cpp proves them), shared by the float and the bf16 filter.
#ifndef KMEANS_SCORE_BOUNDS_H
#define KMEANS_SCORE_BOUNDS_H

#include <cmath>
#include <limits>

namespace kmeans::detail {

constexpr double kU = 0x1p-24;  // float unit roundoff
constexpr double kInf = std::numeric_limits<double>::infinity();
// Every bound is enlarged by this much, to cover its own rounding in double.
constexpr double kEnlarge = 1 + 0x1p-40;

// n 2^-53 / (1 - n 2^-53): the relative error of n roundings in double.
inline double gamma_double(double n) {
    const double t = n * 0x1p-53;
    return t / (1 - t);
}

inline float float_up(double x) {
    float f = float(x);
    if (double(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

inline float float_down(double x) {
    float f = float(x);
    if (double(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}

// An upper bound of the exact norm from a double sum of d squares (any order).
inline float norm_up(double sumsq, int d) {
    return float_up(std::sqrt(sumsq) * (1 + gamma_double(double(d) + 2)));
}

}  // namespace kmeans::detail

#endif  // KMEANS_SCORE_BOUNDS_H
