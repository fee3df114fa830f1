// kmeans.h - a k-means model: k centre rows of d+1 floats (the last column holds the
// row's squared norm, so one sgemm against data rows ending in -0.5 yields
// x.c - |c|^2/2, the score that filters the nearest centre), the accumulators of one
// assignment pass, and a borrowed pointer to the caller's rows.
//
// Owns centers/sums/sqnorms/counts (new[]/delete[]); never owns `data`. Not copyable.
// Sizes n, d, k are int; every element offset is formed in 64 bits (n*(d+1) passes
// 2^31 at about 16.6 million 128-d rows).
//
// The nearest-centre search has two variants of searchBlock with one signature:
// min_cluster.cpp (one thread) and min_cluster_mt.cpp (nb_threads workers). Each
// program links exactly one of them; its internals are in search.h.
#ifndef KMEANS_KMEANS_H
#define KMEANS_KMEANS_H

#include <cstddef>
#include <vector>

#include "search.h"
#include "text_scan.h"

class KMeans {
public:
    const float* data;  // borrowed: n rows of d+1 floats, column d = -0.5
    float* centers;     // owned: k rows of d+1 floats, column d = |c|^2
    float* sums;        // owned: k rows of d floats
    float* sqnorms;     // owned: k floats
    int* counts;        // owned: k ints
    int n;
    int d;
    int k;

    // Worker count of the multi-threaded search; the drivers set it before any search.
    static int nb_threads;

    KMeans();
    ~KMeans();
    KMeans(const KMeans&) = delete;  // raw owning arrays: a copy would double-free
    KMeans& operator=(const KMeans&) = delete;

    void setData(const float* data, int n, int d);

    // Full training: binds data, seeds k centres with srand(1000), iterates.
    // Returns false only when the scratch of the run (score matrix, row bounds,
    // accumulators) could not be allocated (the message has been printed and no
    // iteration ran); the centres are then the seeds.
    bool run(const float* data, int n, int d, int k, int maxIter, int* nearest, int blockSize);
    // The iteration loop on bound data and seeded (or read) centres; same result.
    bool run(int maxIter, int* nearest, int blockSize);
    void init(int k);
    // Update step: every non-empty centre moves to its members' mean; returns the
    // members' summed squared distance to the moved centres. Clears the accumulators.
    double relocate();
    void add(const float* row, int cluster);

    // Model file. writeModel returns false when the file could not be written
    // completely (open, write or close failed). readModel reads it as the trainer's
    // data file is read (text_scan.h): ok, or why not - a file that cannot be opened
    // or held, one that is not a well-formed model (k >= 1, d >= 1, k*d finite
    // floats: wrong_format), centres that do not fit in memory (no_memory). Neither
    // prints anything: the callers word the messages.
    bool writeModel(const char* path) const;
    ReadStatus readModel(const char* path);

    // Nearest centre of n caller rows, block by block against the model.
    void assign(const float* rows, int n, int d, int* nearest, float* scores, int blockSize) const;
    // The same, silently and in one call, keeping no scores: every row's nearest
    // centre.
    void nearestCentres(const float* rows, int n, int* nearest) const;

    // Nearest centre of each row of one block; scores receives n*k floats.
    static void minCluster(const float* rows, int n, int d, int k, const float* centers,
                           float* scores, int* nearest);
    // The search variant's entry: one block against prepared centres (search.h).
    // `announce` prints the multi-threaded search's "#thread = " line.
    static void searchBlock(const SearchPlan& plan, const float* rows, int n, const float* bounds,
                            float* scores, int* nearest, bool announce, SearchCounts* counts);
    static void* threadRoutine(void* task);  // worker of the multi-threaded search
    // How many products the search variant runs at most at once on blocks of up to
    // n rows, and the product library's scratch for that many taken
    // (product.h): false when the address space cannot hold it.
    static int maxSearchWorkers(int n);
    // Whether the linked CBLAS can serve this search variant; prints why not.
    static bool blasReady();
    static bool reserveSearch(int n);

    // One entry per assignment pass of the last training run: how many rows the
    // float scores left undecided (measured in double).
    const std::vector<SearchCounts>& passCounts() const { return passCounts_; }

private:
    void release();
    bool allocate(int k, int d);
    bool allocateAccumulators();
    void accumulate(const float* row, int cluster);
    // Per pass, per cluster, in double: the members' summed offsets from the centre
    // the pass started with, and their summed squared distances to it. The float
    // fields receive rounded copies; the update step works from these.
    double* offsets_ = nullptr;  // k rows of d
    double* spreads_ = nullptr;  // k
    std::vector<SearchCounts> passCounts_;
};

// Argument record of one worker of the multi-threaded search.
struct MinClusterTask {
    const float* rows;
    int count;
    int d;
    int k;
    const float* centers;
    float* scores;
    int* nearest;
    const SearchPlan* plan;
    const float* bounds;  // the rows' bounds, or null
    SearchCounts counts;  // written by the worker
};

#endif
