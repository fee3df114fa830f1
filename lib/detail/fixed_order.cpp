// fixed_order.cpp - plain sequential loops on purpose: the order of the additions is
// part of the result (see fixed_order.h).
#include "detail/fixed_order.h"

namespace kmeans::detail {

double squared_norm(const float* v, int d) {
    double sum = 0;
    for (int t = 0; t < d; ++t) sum += double(v[t]) * double(v[t]);
    return sum;
}

float norm_column(const float* c, int d) { return float(squared_norm(c, d)); }

double squared_distance(const float* x, const float* c, int d) {
    double sum = 0;
    for (int t = 0; t < d; ++t) {
        const double diff = double(x[t]) - double(c[t]);
        sum += diff * diff;
    }
    return sum;
}

}  // namespace kmeans::detail
