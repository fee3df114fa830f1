// bench_assign - the floor of an `assign` run: the time to read every listed descriptor
// file plus the time of a bare sgemm of the same shapes, to compare with the wall
// time of `assign` on the same list and model.
//
//   bench_assign [-t <0|1|3>] [-p <threads>] [-r <reps>] <model file> <list file>
//
// Per file: the reader of the type (read_sift_0/1/3, timed), then one sgemm per thread
// of the file's m x (d+1) augmented rows against the model's k x (d+1) centres
// (column d = |c|^2), the rows cut into <threads> equal slices (default 2), one POSIX
// thread per slice, OpenBLAS kept on the calling thread (openblas_set_num_threads(1)).
// No argmax, no counting, no output. Best of <reps> (default 3) whole passes over
// the list, for the reads and the sgemms separately. The files are read once before
// timing, so they come from the page cache. "RESULT" lines carry key=value pairs.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "detail/product.h"
#include "kmeans.h"
#include "sift_io.h"

using namespace kmeans;
using namespace kmeans::detail;

namespace {

using bench::now;

struct Slice {
    const float* rows;
    int count;
    int d;
    int k;
    const float* centres;
    float* scores;
};

void* slice_sgemm(void* arg) {
    const Slice* s = static_cast<const Slice*>(arg);
    if (s->count <= 0) return nullptr;
    score_product(s->count, s->k, s->d + 1, s->rows, s->d + 1, s->centres, s->d + 1, s->scores,
                  s->k);
    return nullptr;
}

void sgemm_threads(const float* rows, int n, int d, int k, const float* centres, float* scores,
                   int threads) {
    const int chunk = (n + threads - 1) / threads;
    std::vector<pthread_t> ids(static_cast<std::size_t>(threads));
    std::vector<Slice> slices(static_cast<std::size_t>(threads));
    for (int t = 0; t < threads; ++t) {
        const int lo = std::min(n, t * chunk);
        slices[t] = {
            rows + std::size_t(lo) * (std::size_t(d) + 1), std::min(chunk, n - lo), d, k, centres,
            scores + std::size_t(lo) * std::size_t(k)};
        pthread_create(&ids[t], nullptr, slice_sgemm, &slices[t]);
    }
    for (int t = 0; t < threads; ++t) pthread_join(ids[t], nullptr);
}

// Reads one file with the reader of `type`; the matrix (null on failure) and regions
// are the caller's to release.
float* read_file(int type, const std::string& name, int dim, int& n) {
    float* m = nullptr;
    SiftRegion* r = nullptr;
    int d = 0;
    n = 0;
    switch (type) {
    case 0: read_sift_0(name.c_str(), m, n, d, dim); break;
    case 1: read_sift_1(name.c_str(), m, n, d, dim, r); break;
    case 3: read_sift_3(name.c_str(), m, n, d, dim, r); break;
    default: break;
    }
    delete[] r;
    return m;
}

void usage(const char* program) {
    std::cerr << "Use: " << program
              << " [-t <0|1|3>] [-p <threads>] [-r <reps>] <model file> <list file>" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    int type = 1;
    int threads = 2;
    int reps = 3;
    int opt;
    while ((opt = getopt(argc, argv, "t:p:r:")) != -1) {
        switch (opt) {
        case 't': type = std::atoi(optarg); break;
        case 'p': threads = std::atoi(optarg); break;
        case 'r': reps = std::atoi(optarg); break;
        default: usage(argv[0]); return 1;
        }
    }
    if (argc - optind < 2 || (type != 0 && type != 1 && type != 3) || threads < 1) {
        usage(argv[0]);
        return 1;
    }
    if (reps < 1) reps = 1;
    score_product_single_thread();
    const char* modelPath = argv[optind];
    const char* listPath = argv[optind + 1];

    KMeans model;
    if (model.readModel(modelPath) != ReadStatus::ok) {
        std::cerr << "Cannot read the model " << modelPath << std::endl;
        return 1;
    }
    const std::vector<std::string> names = bench::read_list(listPath);
    if (names.empty()) {
        std::cerr << "Cannot read the list " << listPath << std::endl;
        return 1;
    }
    long long bytes = 0;
    for (const std::string& name : names) bytes += std::max(0LL, bench::warm(name));

    const int d = model.d;
    const int k = model.k;
    std::vector<float> scores;
    double bestRead = 1e300, bestSgemm = 1e300, bestTotal = 1e300;
    long long rows = 0;
    for (int r = 0; r < reps; ++r) {
        double read = 0, sgemm = 0;
        rows = 0;
        for (const std::string& name : names) {
            int n = 0;
            double t0 = now();
            float* m;
            {
                bench::QuietCout quiet;
                m = read_file(type, name, d, n);
            }
            read += now() - t0;
            std::unique_ptr<float[]> matrix(m);
            if (!matrix) {
                std::cerr << "Cannot read " << name << std::endl;
                return 1;
            }
            rows += n;
            if (scores.size() < std::size_t(n) * std::size_t(k)) scores.resize(std::size_t(n) * k);
            t0 = now();
            sgemm_threads(matrix.get(), n, d, k, model.centers, scores.data(), threads);
            sgemm += now() - t0;
        }
        bestRead = std::min(bestRead, read);
        bestSgemm = std::min(bestSgemm, sgemm);
        bestTotal = std::min(bestTotal, read + sgemm);
    }
    const double gflops = 2.0 * double(rows) * k * (d + 1) * 1e-9;
    std::printf(
        "type %d list %s: %zu files, %lld descriptors, %.1f MB, k = %d, %d threads, "
        "best of %d\n",
        type, listPath, names.size(), rows, double(bytes) / 1e6, k, threads, reps);
    std::printf("  read (all files)      %9.3f s\n", bestRead);
    std::printf("  bare sgemm            %9.3f s  (%.1f GFLOP/s)\n", bestSgemm, gflops / bestSgemm);
    std::printf("  read + sgemm          %9.3f s  (best single pass %.3f s)\n",
                bestRead + bestSgemm, bestTotal);
    std::printf(
        "RESULT type=%d files=%zu rows=%lld k=%d threads=%d read_s=%.6f sgemm_s=%.6f "
        "floor_s=%.6f\n",
        type, names.size(), rows, k, threads, bestRead, bestSgemm, bestRead + bestSgemm);
    return 0;
}
