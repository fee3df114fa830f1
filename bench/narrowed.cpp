// narrowed - how many rows per assignment pass the scores leave undecided, for a real
// data file:
//   narrowed <data file> <k> <iterations> [threads]
// prints, per pass, the rows whose bf16 scores left several candidates (rescored in
// float), the rows measured in double among several candidates, and the rows measured
// against every centre, and the rows whose bounds kept their centre unsearched, as
// counts and percentages of n. The filter is KMEANS_FILTER's; KMEANS_PRUNE=off
// searches every row.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "data_file.h"
#include "detail/search.h"
#include "kmeans.h"

using namespace kmeans;
using namespace kmeans::detail;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "Use: %s <data file> <k> <iterations> [threads]\n", argv[0]);
        return 1;
    }
    const int k = std::atoi(argv[2]);
    const int iterations = std::atoi(argv[3]);
    KMeans::nb_threads = argc > 4 ? std::atoi(argv[4]) : 2;
    DataFile file;
    int n = 0;
    int d = 0;
    float* matrix = nullptr;
    if (file.open(argv[1]) != ReadStatus::ok || file.readHeader(n, d) != ReadStatus::ok ||
        file.readBody(n, d, KMeans::nb_threads, &matrix) != ReadStatus::ok || n < k) {
        std::fprintf(stderr, "Cannot read '%s' (or fewer rows than clusters).\n", argv[1]);
        return 1;
    }
    file.close();
    std::unique_ptr<float[]> data(matrix);
    std::unique_ptr<int[]> nearest(new int[std::size_t(n)]);
    KMeans model;
    std::cout.setstate(std::ios::failbit);  // the training's own lines
    const bool ran = model.run(data.get(), n, d, k, iterations, nearest.get(), 50000);
    std::cout.clear();
    if (!ran) return 1;
    std::printf(
        "pass   refined  (%%)        narrowed  (%%)       exhaustive  (%%)       kept  (%%)    "
        "grouped  (%%)  groups/row\n");
    for (std::size_t p = 0; p < model.passCounts().size(); ++p) {
        const SearchCounts& c = model.passCounts()[p];
        std::printf(
            "%4zu  %8lld  %8.4f  %8lld  %8.4f  %10lld  %8.4f  %8lld  %8.4f  %8lld  %8.4f  %6.2f\n",
            p, c.refined, 100.0 * double(c.refined) / double(c.rows), c.narrowed,
            100.0 * double(c.narrowed) / double(c.rows), c.exhaustive,
            100.0 * double(c.exhaustive) / double(c.rows), c.kept,
            100.0 * double(c.kept) / double(c.rows), c.grouped,
            100.0 * double(c.grouped) / double(c.rows),
            c.grouped > 0 ? double(c.groupsExamined) / double(c.grouped) : 0.0);
    }
    return 0;
}
