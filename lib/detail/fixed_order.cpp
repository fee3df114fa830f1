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

namespace {

inline __attribute__((always_inline)) void distances_transposed(const float* rowsT, std::size_t ld,
                                                                int m, const float* x, int d,
                                                                double* out) {
    for (int c = 0; c < m; ++c) out[c] = 0;
    for (int t = 0; t < d; ++t) {
        const double xt = double(x[t]);
        const float* r = rowsT + std::size_t(t) * ld;
        for (int c = 0; c < m; ++c) {
            const double diff = xt - double(r[c]);
            out[c] += diff * diff;
        }
    }
}

}  // namespace

void squared_distances_transposed_plain(const float* rowsT, std::size_t ld, int m, const float* x,
                                        int d, double* out) {
    distances_transposed(rowsT, ld, m, x, d, out);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void squared_distances_transposed_avx2(const float* rowsT,
                                                                       std::size_t ld, int m,
                                                                       const float* x, int d,
                                                                       double* out) {
    distances_transposed(rowsT, ld, m, x, d, out);
}
#endif

void squared_distances_transposed(const float* rowsT, std::size_t ld, int m, const float* x, int d,
                                  double* out) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return squared_distances_transposed_avx2(rowsT, ld, m, x, d, out);
#endif
    squared_distances_transposed_plain(rowsT, ld, m, x, d, out);
}

void squared_distances_paired(const float* rows, std::size_t rowStride, int n, const float* centres,
                              std::size_t centreStride, const int* which, int d, double* out) {
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const float* x[4];
        const float* c[4];
        double sum[4] = {0, 0, 0, 0};
        for (int r = 0; r < 4; ++r) {
            x[r] = rows + std::size_t(i + r) * rowStride;
            c[r] = centres + std::size_t(which[i + r]) * centreStride;
        }
        for (int t = 0; t < d; ++t) {
            for (int r = 0; r < 4; ++r) {
                const double diff = double(x[r][t]) - double(c[r][t]);
                sum[r] += diff * diff;
            }
        }
        for (int r = 0; r < 4; ++r) out[i + r] = sum[r];
    }
    for (; i < n; ++i)
        out[i] = squared_distance(rows + std::size_t(i) * rowStride,
                                  centres + std::size_t(which[i]) * centreStride, d);
}

}  // namespace kmeans::detail
