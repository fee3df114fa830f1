// bench_large_k - the training iteration's speed as the vocabulary grows: one
// iteration in steady state (search, totals, update: a 2-iteration run from k given
// centres minus a 1-iteration run), in GFLOP/s of its score product (2 n k d /
// seconds), for each k asked, in the trainers' estimated block size.
//
//   bench_large_k [-n rows] [-p threads] [-r repetitions] [-f filters] [-u] [k ...]
//     defaults: -n 100000 -p 2 -r 1 -f auto, k = 1000 16384 65536 262144
//
// The rows are SIFT-like (integers 0..255 around 500 blobs, d = 128), or with -u the
// same rows scaled to unit length (non-integer data, as RootSIFT); the centres k of
// them drawn at random, the same for every k (the first k of one draw). -f: the
// score filters to time, comma-separated (float, bf16, bf16-emulated, auto: the
// values of KMEANS_FILTER), each k timed with each in turn, so that their ratio
// comes from one run. Prints one line per k and filter: seconds (the best 2-iteration
// run minus the best 1-iteration run) and GFLOP/s, and in the second pass the share of rows the
// scores left undecided (measured in double) and, for bf16, the share whose candidates were
// rescored in float.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "block_size.h"
#include "detail/bf16_filter.h"  // the filter each run takes
#include "detail/product.h"      // the bf16 kernel's name
#include "detail/search.h"       // the pass counts
#include "kmeans.h"

using namespace kmeans;
using kmeans::detail::ScoreFilter;

int main(int argc, char** argv) {
    int n = 100000;
    int threads = 2;
    int reps = 1;
    bool unit = false;
    std::vector<std::string> filters;
    int opt;
    while ((opt = getopt(argc, argv, "n:p:r:f:u")) != -1) {
        if (opt == 'n')
            n = std::atoi(optarg);
        else if (opt == 'p')
            threads = std::atoi(optarg);
        else if (opt == 'r')
            reps = std::atoi(optarg);
        else if (opt == 'u')
            unit = true;
        else if (opt == 'f') {
            std::stringstream list(optarg);
            for (std::string f; std::getline(list, f, ',');) filters.push_back(f);
        } else
            return 2;
    }
    std::vector<int> ks;
    for (int i = optind; i < argc; ++i) ks.push_back(std::atoi(argv[i]));
    if (ks.empty()) ks = {1000, 16384, 65536, 262144};
    const int d = 128;
    const std::size_t stride = std::size_t(d) + 1;
    if (filters.empty()) filters = {"auto"};
    std::vector<float> rows = bench::sift_like_rows(n, d, 12345);
    if (unit)
        for (int i = 0; i < n; ++i) {
            float* r = &rows[std::size_t(i) * stride];
            double sq = 0;
            for (int t = 0; t < d; ++t) sq += double(r[t]) * r[t];
            const float scale = sq > 0 ? float(1 / std::sqrt(sq)) : 1.f;
            for (int t = 0; t < d; ++t) r[t] *= scale;
        }
    int most = 0;
    for (int k : ks) most = std::max(most, k);
    std::mt19937_64 gen(777);
    std::vector<float> centres(std::size_t(most) * std::size_t(d));
    for (int c = 0; c < most; ++c) {
        const float* r = &rows[std::size_t(gen() % std::uint64_t(n)) * stride];
        std::copy(r, r + d, &centres[std::size_t(c) * std::size_t(d)]);
    }
    std::unique_ptr<int[]> nearest(new int[std::size_t(n)]);
    KMeans::nb_threads = threads;
    std::printf("n = %d, d = %d, %d threads, %s rows; product %s, bf16 kernel %s\n", n, d, threads,
                unit ? "unit-length" : "SIFT-like integer", detail::score_product_library(),
                detail::bf16_product_kernel(384, 1000, d));
    // The product library's first call sets it up (kernels, buffers): not timed.
    {
        KMeans warm;
        warm.setCenters(centres.data(), std::min(ks.front(), n), d);
        std::stringbuf sink;
        std::streambuf* saved = std::cout.rdbuf(&sink);
        KMeans::reserveSearch(4096);
        warm.nearestCentres(rows.data(), std::min(n, 4096), nearest.get());
        std::cout.rdbuf(saved);
    }
    for (int k : ks) {
        for (const std::string& filter : filters) {
            setenv("KMEANS_FILTER", filter.c_str(), 1);
            const ScoreFilter taken = detail::default_filter();
            const char* name = taken == ScoreFilter::bf16           ? "bf16"
                               : taken == ScoreFilter::bf16Emulated ? "bf16-emulated"
                                                                    : "float";
            // The best of each run length, then their difference: the best of the
            // differences would pick a slow 1-iteration run and undercut the truth.
            double fastest[2] = {0, 0};
            double undecided = 0;
            double refined = 0;
            const int block = estimate_block_size(n, d, k, threads);
            for (int r = 0; r < reps; ++r) {
                double took[2];
                for (int iterations = 1; iterations <= 2; ++iterations) {
                    KMeans model;
                    model.setCenters(centres.data(), k, d);
                    TrainSettings settings;
                    settings.init = TrainSettings::Init::given;
                    model.configure(settings);
                    std::stringbuf sink;
                    std::streambuf* saved = std::cout.rdbuf(&sink);
                    const double t = bench::now();
                    model.run(rows.data(), n, d, k, iterations, nearest.get(), block);
                    took[iterations - 1] = bench::now() - t;
                    std::cout.rdbuf(saved);
                    const auto& pass = model.passCounts().back();
                    undecided = double(pass.narrowed + pass.exhaustive) / double(pass.rows);
                    refined = double(pass.refined) / double(pass.rows);
                }
                for (int i = 0; i < 2; ++i)
                    if (r == 0 || took[i] < fastest[i]) fastest[i] = took[i];
            }
            const double best = fastest[1] - fastest[0];
            const double flops = 2.0 * double(n) * double(k) * double(d);
            std::printf("k = %7d  %-13s %9.3f s  %7.1f GFLOP/s  undecided %.4f  refined %.4f\n", k,
                        name, best, flops / best * 1e-9, undecided, refined);
            std::fflush(stdout);
        }
    }
    return 0;
}
