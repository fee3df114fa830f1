// blas_probe - one product of fixed non-integer operands through the linked CBLAS,
// printed as a hash of its bytes. Built against each BLAS of the cross-BLAS check,
// to show that the libraries round differently where the models must not differ.
#include <cblas.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

int main() {
    const int m = 97;
    const int n = 61;
    const int k = 33;
    std::vector<float> a(std::size_t(m) * k);
    std::vector<float> b(std::size_t(n) * k);
    std::vector<float> c(std::size_t(m) * n);
    std::uint32_t state = 12345;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return float(state >> 8) / float(1u << 24) * 6.2f - 3.1f;
    };
    for (float& v : a) v = next();
    for (float& v : b) v = next();
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, n, k, 1.0f, a.data(), k, b.data(), k,
                0.0f, c.data(), n);
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a over the result's bytes
    for (float v : c) {
        unsigned char bytes[sizeof v];
        std::memcpy(bytes, &v, sizeof v);
        for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
    }
    std::printf("%016llx\n", static_cast<unsigned long long>(hash));
    return 0;
}
