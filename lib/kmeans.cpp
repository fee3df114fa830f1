// kmeans.cpp - the model object, its model file, the training loop and the
// blockwise assignment of a caller's rows. The search itself (minCluster) lives in
// min_cluster.cpp or min_cluster_mt.cpp, whichever the program links.
#include "kmeans.h"

#include <cblas.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "sampler.h"

int KMeans::nb_threads = 8;

KMeans::KMeans()
    : data(nullptr), centers(nullptr), sums(nullptr), sqnorms(nullptr), counts(nullptr),
      n(0), d(0), k(0) {}

KMeans::~KMeans() { release(); }

void KMeans::release() {
    delete[] centers;
    delete[] sums;
    delete[] sqnorms;
    delete[] counts;
    delete[] dsums_;
    delete[] dsqnorms_;
    centers = sums = sqnorms = nullptr;
    counts = nullptr;
    dsums_ = dsqnorms_ = nullptr;
}

// All four arrays for k centres of dimension d, accumulators zeroed; centres are
// left for the caller to fill. False (and nothing allocated) when memory is short.
bool KMeans::allocate(int newK, int newD) {
    release();
    const std::size_t kk = std::size_t(newK);
    const std::size_t dd = std::size_t(newD);
    centers = new (std::nothrow) float[kk * (dd + 1)];
    sums = new (std::nothrow) float[kk * dd]();
    sqnorms = new (std::nothrow) float[kk]();
    counts = new (std::nothrow) int[kk]();
    if (!centers || !sums || !sqnorms || !counts) {
        release();
        return false;
    }
    k = newK;
    d = newD;
    return true;
}

void KMeans::setData(const float* rows, int rowCount, int dim) {
    data = rows;
    n = rowCount;
    d = dim;
}

void blas_single_thread() {
    // The search runs its own workers and calls sgemm from each of them: OpenBLAS
    // must compute every call on the calling thread, never start threads of its own.
    static bool done = false;
    if (!done) {
        openblas_set_num_threads(1);
        done = true;
    }
}

// ---------------------------------------------------------------- model file

static bool write_centres(const char* path, int k, int d, const float* centers) {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out) return false;
    out << k << ' ' << d;
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < k; ++i) {
        const float* c = centers + std::size_t(i) * stride;
        out << '\n';  // no flush per line: the file is checked once, at close
        out << double(c[0]);
        for (int j = 1; j < d; ++j) out << ' ' << double(c[j]);
    }
    out.close();
    return !out.fail();
}

// A regular file (or a new one) is written under a temporary name in the same
// directory and renamed into place once complete, so a run killed while writing
// never leaves a truncated model that looks finished. Anything else (a device, a
// pipe, a symbolic link) is written in place.
bool KMeans::writeModel(const char* path) const {
    struct stat st;
    const bool missing = lstat(path, &st) != 0;
    if (!missing && !S_ISREG(st.st_mode)) return write_centres(path, k, d, centers);
    if (missing && errno != ENOENT) return false;
    const std::string temp = std::string(path) + ".tmp." + std::to_string(getpid());
    if (!write_centres(temp.c_str(), k, d, centers) || std::rename(temp.c_str(), path) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool KMeans::readModel(const char* path) {
    std::ifstream in(path);
    if (!in) return false;
    int fileK = 0;
    int fileD = 0;
    if (!(in >> fileK >> fileD) || fileK < 1 || fileD < 1) return false;
    // Every value takes at least two bytes (a digit and a separator): a header that
    // announces more than the file can hold is refused before anything is allocated.
    struct stat st;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
        const std::uint64_t values = std::uint64_t(fileK) * std::uint64_t(fileD);
        if (values > (std::uint64_t(st.st_size) + 1) / 2) return false;
    }
    if (!allocate(fileK, fileD)) return false;
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < k; ++i) {
        float* c = centers + std::size_t(i) * stride;
        for (int j = 0; j < d; ++j) {
            if (!(in >> c[j]) || !std::isfinite(c[j])) {
                release();
                k = d = 0;
                return false;
            }
        }
        c[d] = cblas_sdot(d, c, 1, c, 1);
    }
    return true;
}

// ---------------------------------------------------------------- assignment

void KMeans::assign(const float* rows, int rowCount, int dim, int* nearest, float* scores,
                    int blockSize) const {
    if (dim != d) {
        std::cerr << "Dimensions are not equal ! " << d << " != " << dim << std::endl;
        return;
    }
    if (rowCount <= 0) return;  // nothing to search
    const int b = (blockSize < 1 || blockSize > rowCount) ? rowCount : blockSize;
    const int blocks = rowCount / b + (rowCount % b != 0 ? 1 : 0);
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < blocks; ++i) {
        std::cout << "Block " << i << std::endl;
        const std::size_t first = std::size_t(i) * std::size_t(b);
        const int size = (i == blocks - 1 && rowCount % b != 0) ? rowCount % b : b;
        minCluster(rows + first * stride, size, d, k, centers, scores, nearest + first);
    }
}

// ---------------------------------------------------------------- training

bool KMeans::run(const float* rows, int rowCount, int dim, int clusters, int maxIter, int* nearest,
                 int blockSize) {
    setData(rows, rowCount, dim);
    std::cout << "Init ..." << std::endl;
    init(clusters);
    std::cout << "Init ... finished" << std::endl;
    return run(maxIter, nearest, blockSize);
}

void KMeans::init(int clusters) {
    k = clusters;
    std::srand(1000);
    std::unique_ptr<int[]> seeds(new int[std::size_t(clusters)]);
    Sampler::sample(n, seeds.get(), clusters, false, -1);
    const int dim = d;
    if (!allocate(clusters, dim)) return;  // run() reports the missing arrays
    std::cout << "Allocation finish!" << std::endl;
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < k; ++i) {
        float* c = centers + std::size_t(i) * stride;
        std::memcpy(c, data + std::size_t(seeds[i]) * stride, sizeof(float) * std::size_t(d));
        c[d] = cblas_sdot(d, c, 1, c, 1);
    }
}

void KMeans::add(const float* row, int cluster) {
    cblas_saxpy(d, 1.0f, row, 1, sums + std::size_t(cluster) * std::size_t(d), 1);
    sqnorms[cluster] += cblas_sdot(d, row, 1, row, 1);
    counts[cluster] += 1;
}

double KMeans::relocate() {
    double distortion = 0;
    const std::size_t stride = std::size_t(d) + 1;
    for (int c = 0; c < k; ++c) {
        if (counts[c] == 0) continue;  // an empty cluster keeps its centre
        float* centre = centers + std::size_t(c) * stride;
        const float* sum = sums + std::size_t(c) * std::size_t(d);
        std::memcpy(centre, sum, sizeof(float) * std::size_t(d));
        // One multiplication by the rounded reciprocal, not a division per value.
        cblas_sscal(d, float(1.0 / counts[c]), centre, 1);
        centre[d] = cblas_sdot(d, centre, 1, centre, 1);
        // The bracket is a difference of large terms (sum of |x|^2 against
        // N*|c|^2): the products are formed in double, or single-precision
        // rounding of t and |c|^2 would show in the printed distortion.
        double t = 0;
        double norm = 0;
        for (int j = 0; j < d; ++j) {
            t += double(centre[j]) * double(sum[j]);
            norm += double(centre[j]) * double(centre[j]);
        }
        distortion += double(sqnorms[c]) + (-2.0) * t + double(counts[c]) * norm;
    }
    std::memset(sums, 0, sizeof(float) * std::size_t(k) * std::size_t(d));
    std::memset(sqnorms, 0, sizeof(float) * std::size_t(k));
    std::memset(counts, 0, sizeof(int) * std::size_t(k));
    return distortion;
}

// Adds one row's first d values to a cluster's double sums and its squared norm to
// the cluster's double norm sum. Eight independent lanes let the compiler vectorise
// the norm; the lane order is fixed, so the result is the same on every run.
static void accumulate(const float* row, double* sum, double* sqnorm, int d) {
    double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int j = 0;
    for (; j + 8 <= d; j += 8) {
        for (int l = 0; l < 8; ++l) {
            const double v = row[j + l];
            sum[j + l] += v;
            lanes[l] += v * v;
        }
    }
    for (; j < d; ++j) {
        const double v = row[j];
        sum[j] += v;
        lanes[0] += v * v;
    }
    *sqnorm += ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
               ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

bool KMeans::run(int maxIter, int* nearest, int blockSize) {
    if (blockSize > n) blockSize = n;
    if (blockSize < 1) blockSize = n;
    const int blocks = n / blockSize + (n % blockSize != 0 ? 1 : 0);
    const std::size_t cells = std::size_t(blockSize) * std::size_t(k);
    std::unique_ptr<float[]> scores(new (std::nothrow) float[cells]);
    // The pass sums in double, in row order, and hands the rounded totals to the
    // float fields once per pass: the sums do not drift with n and do not depend on
    // how the rows were cut into blocks.
    const std::size_t kd = std::size_t(k) * std::size_t(d);
    if (!dsums_) dsums_ = new (std::nothrow) double[kd];
    if (!dsqnorms_) dsqnorms_ = new (std::nothrow) double[std::size_t(k)];
    if (!scores || !dsums_ || !dsqnorms_ || !centers) {
        std::cerr << "Insufficient memory! Try with a smaller block size." << std::endl;
        return false;
    }
    std::cout.precision(20);
    const std::size_t stride = std::size_t(d) + 1;
    double previous = -1;
    for (int it = 0; it < maxIter; ++it) {
        std::cout << "nb blocks = " << blocks << std::endl;
        const std::time_t t1 = std::time(nullptr);
        std::memset(dsums_, 0, sizeof(double) * kd);
        std::memset(dsqnorms_, 0, sizeof(double) * std::size_t(k));
        for (int b = 0; b < blocks; ++b) {
            const std::time_t t2 = std::time(nullptr);
            const std::size_t first = std::size_t(b) * std::size_t(blockSize);
            const int size = (b == blocks - 1 && n % blockSize != 0) ? n % blockSize : blockSize;
            std::cout << "Block " << b << std::endl;
            std::cout << "Block size = " << size << std::endl;
            minCluster(data + first * stride, size, d, k, centers, scores.get(), nearest + first);
            for (int i = 0; i < size; ++i) {
                const float* row = data + (first + std::size_t(i)) * stride;
                const int c = nearest[first + std::size_t(i)];
                accumulate(row, dsums_ + std::size_t(c) * std::size_t(d), dsqnorms_ + c, d);
                counts[c] += 1;
            }
            std::cout << "Time for searching min clsuter: " << std::time(nullptr) - t2 << std::endl;
        }
        for (std::size_t i = 0; i < kd; ++i) sums[i] += float(dsums_[i]);
        for (int c = 0; c < k; ++c) sqnorms[c] += float(dsqnorms_[c]);
        std::cout << "Assignment time = " << std::time(nullptr) - t1 << std::endl;
        std::cout << "Relocate cluster\n";
        const std::time_t t3 = std::time(nullptr);
        const double distortion = relocate();
        std::cout << "Time for relocating clusters = " << std::time(nullptr) - t3 << std::endl;
        std::cout << "Step [" << it << "] distorion = " << distortion << std::endl;
        if (previous != -1 && distortion >= previous) {
            std::cout << "Stop before criteron." << std::endl;
            return true;
        }
        previous = distortion;
    }
    std::cout << "Finish normally." << std::endl;
    return true;
}
