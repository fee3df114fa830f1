// exact_mean.h - an independent oracle for a cluster's centre: the members' exact
// mean rounded once to float (to nearest, ties to even). The sum is held exactly as
// an expansion of non-overlapping doubles (error-free TwoSum additions); the float
// is then chosen by the exact sign of S - N m at the midpoints m next to a first
// guess. Slow and simple: for tests only.
#ifndef KMEANS_TESTS_EXACT_MEAN_H
#define KMEANS_TESTS_EXACT_MEAN_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

class Expansion {
public:
    void add(double b) {
        std::vector<double> out;
        double q = b;
        for (double e : parts_) {
            const double s = q + e;
            const double bv = s - q;
            const double err = (q - (s - bv)) + (e - bv);  // TwoSum: s + err = q + e
            if (err != 0) out.push_back(err);
            q = s;
        }
        if (q != 0) out.push_back(q);
        parts_.swap(out);
    }
    // The sign of the exact value: that of its largest part.
    int sign() const { return parts_.empty() ? 0 : (parts_.back() > 0 ? 1 : -1); }
    double approx() const {
        double v = 0;
        for (double p : parts_) v += p;
        return v;
    }

private:
    std::vector<double> parts_;  // increasing magnitude, non-overlapping
};

// sign(S - members * m), m exact in double.
inline int sign_against(const Expansion& sum, int members, double m) {
    Expansion e = sum;
    for (int i = 0; i < members; ++i) e.add(-m);
    return e.sign();
}

inline bool odd_mantissa(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return (bits & 1u) != 0;
}

inline float oracle_mean(const std::vector<float>& members) {
    Expansion sum;
    for (float x : members) sum.add(x);
    const int n = int(members.size());
    float f = float(sum.approx() / n);
    for (int step = 0; step < 4; ++step) {  // the guess is a unit or two off at most
        const float up = std::nextafter(f, INFINITY);
        const float down = std::nextafter(f, -INFINITY);
        const int above = sign_against(sum, n, (double(f) + double(up)) / 2);
        const int below = sign_against(sum, n, (double(f) + double(down)) / 2);
        if (above > 0 || (above == 0 && odd_mantissa(f)))
            f = up;
        else if (below < 0 || (below == 0 && odd_mantissa(f)))
            f = down;
        else
            break;
    }
    return f;
}

#endif  // KMEANS_TESTS_EXACT_MEAN_H
