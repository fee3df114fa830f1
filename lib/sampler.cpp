// sampler.cpp - the Sampler draws and the engine's strided cblas_dscal (dscal.h).
#include "sampler.h"

#include <cstddef>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "detail/dscal.h"

namespace kmeans {

namespace {

// The scaling constants, single precision; both are exact powers of two, and every
// product or quotient with them is formed in double.
const float kTwoPow31 = 2147483648.0f;              // 2^31, one past the largest rand()
const float kTwoPowMinus31 = 1.0f / 2147483648.0f;  // 2^-31, about 4.656613e-10

void refuse() {
    std::cerr << "Cannot sampling. Please support pmf or frequencies' table !" << std::endl;
}

// One unit real: r * 2^-31 with r converted to double first. (Letting r meet the
// float constant as a float would round 2^31 - 1 up to 2^31 and yield 1.)
double unit_real() {
    return static_cast<double>(std::rand()) * static_cast<double>(kTwoPowMinus31);
}

// Inverse-CDF search of u in c[0 .. n-1], n >= 1. Binary search for the smallest i with
// u < c[i], ending at n-1 when u is not below the last entry. An entry equal to u at a
// midpoint ends the search at once with the current upper bound, which can lie above
// that smallest i: this is part of the draw's definition and keeps a seed's output
// fixed, so it is not "fixed" here. A NaN entry fails every comparison; testing
// !(c[mid] <= u) rather than u < c[mid] makes it count as lying above u.
int search(double const* c, int n, double u) {
    int lo = 0;
    int hi = n - 1;
    do {
        const int mid = (lo + hi) / 2;
        if (c[mid] == u) break;
        if (!(c[mid] <= u))
            hi = mid;
        else
            lo = mid + 1;
    } while (lo < hi);
    return hi;
}

// Shared by both table draws. In place: p holds the weights as doubles and receives
// p[i] * (1 / total), the reciprocal formed once; these products, not the quotients
// p[i] / total (which can differ in the last bit), define the normalised table.
void normalise(double* p, int n, double total) {
    const double inv = 1.0 / total;
    for (int i = 0; i < n; ++i) p[i] *= inv;
}

// c[i] = c[i-1] + p[i], each partial sum rounded to double.
void cumulate(double const* p, int n, double* c) {
    c[0] = p[0];
    for (int i = 1; i < n; ++i) c[i] = c[i - 1] + p[i];
}

}  // namespace

int Sampler::random(int n) {
    // First 2^31 / n, then r divided by it, truncated; never r % n. For r <= 2^31 - 1 the
    // exact quotient is at most n * (1 - 2^-31), far enough below n that double
    // rounding cannot reach n.
    const double r = static_cast<double>(std::rand());
    return static_cast<int>(r / (static_cast<double>(kTwoPow31) / n));
}

double Sampler::random() { return unit_real(); }

void Sampler::sample(double* out, int m, int seed) {
    if (seed != -1) std::srand(static_cast<unsigned>(seed));
    for (int i = 0; i < m; ++i) out[i] = unit_real();
}

int Sampler::random(double const* cdf, int n) {
    // An empty or missing table has no index to give; the search would read cdf[0]
    // (and cdf[-1] for n = 0). Refused before the rand() so the sequence stays intact.
    if (cdf == nullptr || n <= 0) {
        refuse();
        return 0;
    }
    return search(cdf, n, unit_real());
}

void Sampler::sample(int n, int* out, int m, bool /*replacement*/, int seed) {
    // More distinct indices than candidates would reject forever. Refused before the
    // reseed: a refusal touches neither the output nor the generator.
    if (m > 0 && m > n) {
        refuse();
        return;
    }
    if (seed != -1) std::srand(static_cast<unsigned>(seed));
    if (m <= 0) return;

    // Marks for every candidate, all clear (value-initialised); 64-bit element count.
    std::unique_ptr<int[]> taken(new int[static_cast<std::size_t>(n)]());
    for (int i = 0; i < m; ++i) {
        int index;
        do {
            index = random(n);  // one rand() per attempt, rejected while taken
        } while (taken[index] != 0);
        taken[index] = 1;
        out[i] = index;
    }
}

int Sampler::sample(double const* pmf, int n, int* out, int m, bool /*replacement*/, int /*seed*/) {
    // n = 0 is refused too: the search of an empty table would read c[0].
    if (pmf == nullptr || n <= 0) {
        refuse();
        return 0;
    }

    const std::size_t count = static_cast<std::size_t>(n);
    std::unique_ptr<double[]> p(new double[count]);
    std::unique_ptr<double[]> c(new double[count]);
    double total = 0.0;
    for (int i = 0; i < n; ++i) {
        p[i] = pmf[i];
        total += p[i];
    }
    normalise(p.get(), n, total);

    // The line is always printed at the stream's default formatting (6 significant
    // digits), whatever precision someone else left on std::cout (a training run sets
    // 20); the caller's settings are restored afterwards.
    const std::ios_base::fmtflags flags = std::cout.flags();
    const std::streamsize precision = std::cout.precision();
    std::cout.unsetf(std::ios_base::floatfield);
    std::cout.precision(6);
    std::cout << "pmf normalized =\t";
    for (int i = 0; i < n; ++i) std::cout << ' ' << p[i];
    std::cout << std::endl;
    std::cout.flags(flags);
    std::cout.precision(precision);

    cumulate(p.get(), n, c.get());
    // Always with replacement, whatever the flag.
    for (int i = 0; i < m; ++i) out[i] = search(c.get(), n, unit_real());
    return 1;
}

int Sampler::sample(int const* freq, int n, int* out, int m, bool replacement, int /*seed*/) {
    if (freq == nullptr || n <= 0 || (!replacement && n < m)) {
        refuse();
        return 0;
    }

    const std::size_t count = static_cast<std::size_t>(n);
    std::unique_ptr<double[]> p(new double[count]);
    double total = 0.0;
    int positive = 0;
    for (int i = 0; i < n; ++i) {
        p[i] = static_cast<double>(freq[i]);
        total += p[i];
        if (freq[i] > 0) ++positive;
    }

    // Without replacement, every accepted index must be drawable by some later attempt.
    // Fewer than m positive weights, or a total that is not positive (a zero total makes
    // every normalised weight NaN and the search then always yields 0), would make the
    // rejection loop spin forever, so such a request is refused before any rand().
    // Weights of ordinary size cover at least one unit real each; negative weights, which
    // can hide an index from the search, remain the caller's concern.
    if (!replacement && m > 0 && (positive < m || !(total > 0.0))) {
        refuse();
        return 0;
    }

    std::unique_ptr<double[]> c(new double[count]);
    normalise(p.get(), n, total);
    cumulate(p.get(), n, c.get());

    if (replacement) {
        for (int i = 0; i < m; ++i) out[i] = search(c.get(), n, unit_real());
        return 1;
    }

    // Without replacement: each attempt is one fresh unit real; a taken index is drawn
    // again, so each accepted index follows the weights of those not yet taken.
    std::unique_ptr<int[]> taken(new int[count]());
    for (int i = 0; i < m; ++i) {
        int index;
        do {
            index = search(c.get(), n, unit_real());
        } while (taken[index] != 0);
        taken[index] = 1;
        out[i] = index;
    }
    return 1;
}

void detail::cblas_dscal(int n, double alpha, double* x, int incx) {
    // Offsets in elements from x itself, formed in 64 bits (i * incx can pass 2^31);
    // a negative stride therefore walks backwards from x.
    for (int i = 0; i < n; ++i) x[static_cast<std::ptrdiff_t>(i) * incx] *= alpha;
}

}  // namespace kmeans
