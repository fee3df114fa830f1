// nearest_centre.h - the nearest centre by its definition, written out plainly so
// that the engine's search can be checked against it: the squared distance
// sum_t (x_t - c_t)^2, each difference and square formed in double and summed for
// t = 0 .. d-1 in that order, the lowest index among equal distances. A distance
// that is NaN never wins (a row with no comparable distance gets 0).
#ifndef KMEANS_TESTS_NEAREST_CENTRE_H
#define KMEANS_TESTS_NEAREST_CENTRE_H

#include <cstddef>
#include <limits>
#include <vector>

// `centres`: k rows of d values, float (as the engine holds them) or double.
template <class Centre>
int nearest_centre(const float* x, const Centre* centres, int k, int d) {
    int best = 0;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (int c = 0; c < k; ++c) {
        const Centre* centre = centres + std::size_t(c) * d;
        double distance = 0;
        for (int t = 0; t < d; ++t) {
            const double diff = double(x[t]) - double(centre[t]);
            distance += diff * diff;
        }
        if (distance < bestDistance) {
            bestDistance = distance;
            best = c;
        }
    }
    return best;
}

// Every row of x (n rows of d values).
template <class Centre>
std::vector<int> nearest_centres(const std::vector<float>& x, int n,
                                 const std::vector<Centre>& centres, int k, int d) {
    std::vector<int> out(std::size_t(n), 0);
    for (int i = 0; i < n; ++i)
        out[std::size_t(i)] = nearest_centre(x.data() + std::size_t(i) * d, centres.data(), k, d);
    return out;
}

#endif
