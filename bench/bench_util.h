// bench_util.h - small helpers shared by bench_parse and bench_assign: a wall clock,
// reading a list file, warming the page cache, and silencing the readers' stdout.
#ifndef KMEANS_BENCH_UTIL_H
#define KMEANS_BENCH_UTIL_H

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
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

}  // namespace bench

#endif
