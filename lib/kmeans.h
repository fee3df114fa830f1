// kmeans.h - a k-means model: k centre rows of d+1 floats (the last column holds the
// row's squared norm, so one sgemm against data rows ending in -0.5 yields
// x.c - |c|^2/2, the score whose largest value marks the nearest centre), the
// accumulators of one assignment pass, and a borrowed pointer to the caller's rows.
//
// Owns centers/sums/sqnorms/counts (new[]/delete[]); never owns `data`. Not copyable.
// Sizes n, d, k are int; every element offset is formed in 64 bits (n*(d+1) passes
// 2^31 at about 16.6 million 128-d rows).
//
// The nearest-centre search (minCluster) has two variants with one signature:
// min_cluster.cpp (one thread) and min_cluster_mt.cpp (nb_threads workers). Each
// program links exactly one of them; both score rows through score_tiles() below.
#ifndef KMEANS_KMEANS_H
#define KMEANS_KMEANS_H

#include <cstddef>

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
    // Returns false only when the score matrix could not be allocated (the message
    // has been printed and no iteration ran); the centres are then the seeds.
    bool run(const float* data, int n, int d, int k, int maxIter, int* nearest, int blockSize);
    // The iteration loop on bound data and seeded (or read) centres; same result.
    bool run(int maxIter, int* nearest, int blockSize);
    void init(int k);
    double relocate();
    void add(const float* row, int cluster);

    // Model file. writeModel returns false when the file could not be written
    // completely (open, write or close failed); readModel returns false when the
    // file could not be opened or does not hold a well-formed model (k >= 1, d >= 1,
    // k*d numbers). Neither prints anything: the callers word the messages.
    bool writeModel(const char* path) const;
    bool readModel(const char* path);

    // Nearest centre of n caller rows, block by block against the model.
    void assign(const float* rows, int n, int d, int* nearest, float* scores, int blockSize) const;

    // Nearest centre of each row of one block; scores receives n*k floats.
    static void minCluster(const float* rows, int n, int d, int k, const float* centers,
                           float* scores, int* nearest);
    static void* threadRoutine(void* task);  // worker of the multi-threaded search

private:
    void release();
    bool allocate(int k, int d);
    // Per-pass double accumulators: the float fields receive their rounded totals
    // once per pass, so the block size never changes the sums.
    double* dsums_ = nullptr;
    double* dsqnorms_ = nullptr;
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
};

// Scores `count` rows against k centres and picks each row's best centre. Every
// sgemm call covers a multiple of kSmallTile rows, at most kScoreTile (the tail is
// copied into a zero-padded tile), so a row's score never depends on how the rows
// were split into blocks or over threads: results are bit-identical for any block
// size and worker count. kSmallTile is a multiple of every sgemm kernel's row
// unroll (12, 16, 48). `scores` may be null (nothing is kept but `nearest`); then
// false means no scratch could be allocated and `nearest` was not filled.
constexpr int kScoreTile = 384;
constexpr int kSmallTile = 48;
bool score_tiles(const float* rows, int count, int d, int k, const float* centers,
                 float* scores, int* nearest);

// Limits the BLAS to the calling thread: the search runs its own workers.
void blas_single_thread();

#endif
