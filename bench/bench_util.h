// bench_util.h - small helpers shared by the benchmarks: a wall clock, reading a list
// file, warming the page cache, silencing the readers' stdout, SIFT-like rows.
#ifndef KMEANS_BENCH_UTIL_H
#define KMEANS_BENCH_UTIL_H

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace bench {

inline double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A list file: a count N, then N names separated by white space. Empty on failure.
inline std::vector<std::string> read_list(const char* path) {
    std::vector<std::string> names;
    std::ifstream in(path);
    long count = 0;
    if (!(in >> count) || count < 0) return names;
    std::string name;
    for (long i = 0; i < count && in >> name; ++i) names.push_back(name);
    return names;
}

// Reads the whole file once and returns its size, so timed reads find it in the
// page cache whichever method runs first. -1 when it cannot be opened.
inline long long warm(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    static char buffer[1 << 20];
    long long total = 0;
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        total += static_cast<long long>(got);
    std::fclose(f);
    return total;
}

// The readers announce every file on std::cout ("rows = ..."): not timed noise we want.
struct QuietCout {
    QuietCout() { std::cout.setstate(std::ios::failbit); }
    ~QuietCout() { std::cout.clear(); }
};

// SIFT-like rows: n augmented rows of d integers 0..255 (column d = -0.5) around 500
// exponential blobs with Gaussian noise, the same for the same seed.
inline std::vector<float> sift_like_rows(int n, int d, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::exponential_distribution<float> expo(1.0f / 25.0f);
    std::normal_distribution<float> noise(0.f, 9.f);
    std::vector<float> blob(std::size_t(500) * std::size_t(d));
    for (float& c : blob) c = expo(gen);
    const std::size_t stride = std::size_t(d) + 1;
    std::vector<float> rows(std::size_t(n) * stride);
    for (std::size_t i = 0; i < std::size_t(n); ++i) {
        const float* c = &blob[std::size_t(gen() % 500) * std::size_t(d)];
        float* r = &rows[i * stride];
        for (int j = 0; j < d; ++j) {
            const int v = int(c[j] + noise(gen) + 0.5f);
            r[j] = float(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
        r[d] = -0.5f;
    }
    return rows;
}

}  // namespace bench

#endif
