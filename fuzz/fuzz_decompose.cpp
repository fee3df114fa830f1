// The region decomposition on arbitrary floats; for a positive definite matrix the
// two rows must be perpendicular semi-axes on the ellipse.
#include <cmath>
#include <cstring>

#include "fuzz_util.h"
#include "sift_io.h"

using namespace kmeans;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silence_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 12) return 0;
    float v[3];
    std::memcpy(v, data, sizeof v);
    float a11 = 0, a12 = 0, a21 = 0, a22 = 0;
    decompose(v[0], v[1], v[2], a11, a12, a21, a22);
    const double a = v[0], b = v[1], c = v[2];
    // Well-conditioned positive definite inputs only: extreme ratios lose the
    // check to rounding, not to a fault.
    const bool sane = std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && a > 1e-3 &&
                      c > 1e-3 && a < 1e3 && c < 1e3 && std::fabs(b) < 1e3 &&
                      a * c - b * b > 1e-2 * (a * c);
    if (sane) {
        const double r1 = a * a11 * a11 + 2 * b * a11 * a12 + c * a12 * a12;
        const double r2 = a * a21 * a21 + 2 * b * a21 * a22 + c * a22 * a22;
        const double dot = a11 * a21 + a12 * a22;
        const double scale = std::hypot(a11, a12) * std::hypot(a21, a22);
        if (std::fabs(r1 - 1) > 1e-3 || std::fabs(r2 - 1) > 1e-3 || std::fabs(dot) > 1e-3 * scale)
            __builtin_trap();
    }
    return 0;
}
