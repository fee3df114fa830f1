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
// program links exactly one of them; its internals are in detail/search.h.
#ifndef KMEANS_KMEANS_H
#define KMEANS_KMEANS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "read_status.h"

namespace kmeans {

// Internals the model only points to (detail/exact_sums.h, detail/search.h).
namespace detail {
class ExactSums;
struct PruneBlock;
struct PruneState;
struct SearchPlan;
struct SearchCounts;
class SumParts;
}  // namespace detail

// One cell of a pass's totals as processes exchange them: a 16-byte signed integer.
// Processes combine their cells by adding them one by one.
__extension__ typedef __int128 TotalCell;

// What a training run shares with the processes that hold the other rows of its data
// (the distributed trainer); a run on one machine has none. Every process calls each
// of these at the same point of the run, in the same order.
class RunPeers {
public:
    virtual ~RunPeers() = default;
    // True when `ok` holds on every process.
    virtual bool agree(bool ok) = 0;
    // Rows held by every process together.
    virtual double totalRows() = 0;
    // The largest of every process's `value`.
    virtual float largest(float value) = 0;
    // A pass's settled totals (member counts included), or another exact sum, as
    // `count` cells, the same count on every process: each replaced by its sum over
    // every process; false when that failed (the run stops).
    virtual bool share(TotalCell* cells, std::size_t count) = 0;
    // Index of this process's first row among every process's rows (each process holds
    // a consecutive range of them, in process order).
    virtual long long firstRow() = 0;
    // Every process's `indices` (ascending), concatenated in process order, into
    // `indices` on every process.
    virtual void gatherIndices(std::vector<int>& indices) = 0;
    // The largest `value` of every process, ties to the lowest `index`: both replaced
    // on every process by the winner's.
    virtual void bestOf(double& value, int& index) = 0;
    // The first d values of the rows with these indices (among every process's rows,
    // in file order) into `count` augmented rows (stride d+1) of `rows`.
    virtual void gatherRows(const int* indices, int count, float* rows) = 0;
};

// How a training run seeds, repeats, stops and repairs. The defaults are the run the
// programs have always made: k distinct rows drawn after libc's srand(1000), one run,
// a stop when the distortion does not decrease, empty clusters kept.
struct TrainSettings {
    enum class Init {
        random,    // k distinct rows
        kmeanspp,  // D^2 seeding made for big data: k-means|| then weighted k-means++
        given,     // the centres the model holds already (readModel)
    };
    Init init = Init::random;
    // Draws from the counter-based generator keyed by `seed` (detail/counter_random.h),
    // the same on every machine, thread count, block size and process count; without
    // it, random seeding uses libc's generator as it always has. kmeans++ and
    // restarts always use the counter-based generator.
    bool seeded = false;
    std::uint64_t seed = 1000;
    // Runs from the seeds seed, seed+1, ..., each trained to its end; the one with the
    // lowest final distortion is kept (ties to the first).
    int restarts = 1;
    // Besides a step that does not decrease the distortion, a step whose relative
    // decrease (previous - now) / previous falls below tol ends the run.
    double tol = 0;
    // At each update step, every empty cluster takes over one of the rows farthest from
    // their centres (the farthest first, ties to the lowest row), which leaves its own
    // cluster: the empty one's centre is that row, the other's the mean of the rest.
    bool splitEmpty = false;
    // Whether passes keep rows their bounds prove without searching them (the same
    // result; detail/prune.h): as KMEANS_PRUNE says (off unless "on" or "always"), or
    // off, on (once the centres move little) or always (from the first pass).
    enum class Prune { environment, off, on, always };
    Prune prune = Prune::environment;
};

// How the last training run ended.
enum class StopReason {
    none,         // no step ran (no run yet, or a run that stopped before its first step)
    iterations,   // every iteration asked for ran ("Finish normally.")
    noDecrease,   // a step did not decrease the distortion ("Stop before criteron.")
    tolerance,    // the relative decrease fell below the tolerance
    interrupted,  // the interrupt check asked the run to stop
};

class KMeans {
public:
    const float* data;  // borrowed: n rows of d+1 floats, column d = -0.5
    float* centers;     // owned: k rows of d+1 floats, column d = |c|^2
    // The interface's float accumulators: only add() fills them (no program calls
    // it) and relocate() zeroes them; training sums into exact integer totals instead.
    float* sums;     // owned: k rows of d floats
    float* sqnorms;  // owned: k floats
    int* counts;     // owned: k ints
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
    // The settings of the next training runs (the defaults until called).
    void configure(const TrainSettings& settings) { settings_ = settings; }
    // The last training run's final distortion (the last step's), -1 before any step.
    double finalDistortion() const { return finalDistortion_; }
    // Every step's distortion of the last training run (of the kept one, with
    // restarts), as printed, and why it ended.
    const std::vector<double>& distortions() const { return distortions_; }
    StopReason stopReason() const { return stop_; }
    // Asked on the calling thread before each block of a training pass: true ends the
    // run there, without a message (run() returns false, stopReason() interrupted).
    // Empty (the default): never asked.
    void setInterrupt(std::function<bool()> interrupted) { interrupt_ = std::move(interrupted); }
    // The model's centres from k rows of d floats: ok, wrong_format (k or d below 1, a
    // value that is not finite: the model is left empty) or no_memory.
    ReadStatus setCenters(const float* rows, int k, int d);

    // Full training: binds data, seeds k centres with srand(1000), iterates.
    // Returns false when the scratch of the run (score matrix, row bounds,
    // accumulators) could not be allocated (the message has been printed and no
    // iteration ran; the centres are then the seeds), or when the interrupt check
    // stopped it.
    // With peers (see below) the seeds are drawn from every process's rows.
    bool run(const float* data, int n, int d, int k, int maxIter, int* nearest, int blockSize,
             RunPeers* peers = nullptr);
    // The iteration loop on bound data and seeded (or read) centres; same result.
    // With peers, the bound rows are this process's share of the data: the passes'
    // totals are summed over every process, which all end with the same centres.
    bool run(int maxIter, int* nearest, int blockSize, RunPeers* peers = nullptr);
    void init(int k, RunPeers* peers = nullptr);
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
    // The search variant's entry: one block against prepared centres (detail/search.h).
    // `announce` prints the multi-threaded search's "#thread = " line.
    // `parts` (or null): one pass accumulator per worker, which adds the rows it
    // searched (detail/exact_sums.h: the parts' sum does not depend on who added what).
    // `prune` (or null): the rows whose bounds keep their centres are not searched
    // (detail/prune.h), and the parts take the rows that moved (its `previous`).
    static void searchBlock(const detail::SearchPlan& plan, const float* rows, int n,
                            const float* bounds, float* scores, int* nearest, bool announce,
                            detail::SearchCounts* counts, detail::ExactSums* const* parts = nullptr,
                            const detail::PruneBlock* prune = nullptr);
    static void* threadRoutine(void* task);  // worker of the multi-threaded search
    // How many products the search variant runs at most at once on blocks of up to
    // n rows, and the product library's scratch for that many taken
    // (detail/product.h): false when the address space cannot hold it.
    static int maxSearchWorkers(int n);
    // Whether the linked CBLAS can serve this search variant; prints why not.
    static bool blasReady();
    static bool reserveSearch(int n);
    // Adds a searched block's rows to the pass's totals: the search variant's
    // workers each take a range of clusters (detail/exact_sums.h: any order gives the same
    // totals).
    // `previous` (or null): the clusters the totals already hold the rows in.
    static void accumulateBlock(detail::ExactSums& sums, const float* rows, int n,
                                const int* nearest, const float* centers,
                                const int* previous = nullptr);

    // One entry per assignment pass of the last training run: how many rows the
    // float scores left undecided (measured in double).
    const std::vector<detail::SearchCounts>& passCounts() const { return passCounts_; }

private:
    void release();
    bool allocate(int k, int d);
    // The pass's exact totals on the grid of the data bound (or of `peers`' data
    // together); false when memory is short.
    bool prepareSums(RunPeers* peers);
    // One assignment pass of the training loop: every block of the bound rows searched
    // against the centres (shifted by `shift`, or not), its rows added to the totals
    // (through `parts`, or block by block), the totals gathered.
    // False when the interrupt check stopped it before a block.
    bool assignmentPass(int blockSize, const float* shift, const float* bounds, int* nearest,
                        detail::SumParts& parts);
    // Seeding (seeding.cpp): k distinct rows from the counter-based generator, and
    // k-means||. Both allocate the arrays; false when memory is short (after the
    // message on some process).
    bool seedRandom(std::uint64_t seed, RunPeers* peers);
    bool seedParallel(std::uint64_t seed, int blockSize, int* nearest, RunPeers* peers);
    // Before the update step, every empty cluster takes over one of the rows farthest
    // from their centres, moved in the pass's exact totals from its cluster (seeding.cpp);
    // `nearest` holds the pass's assignment. False when memory is short.
    bool repairEmptyClusters(const int* nearest, RunPeers* peers);
    // The seeding of restart `restart` (its seed: settings_.seed + restart).
    bool seedRun(int clusters, int restart, int blockSize, int* nearest, RunPeers* peers);
    TrainSettings settings_;
    double finalDistortion_ = -1;
    std::vector<double> distortions_;
    StopReason stop_ = StopReason::none;
    std::function<bool()> interrupt_;
    std::unique_ptr<detail::ExactSums> exact_;  // the pass's totals
    std::unique_ptr<std::uint8_t[]> offGrid_;   // n marks: the rows off a wide grid
    std::vector<detail::SearchCounts> passCounts_;
    // The run's pruning (null: every pass searches every row), and whether the last
    // pass's empty-cluster repair moved rows in the totals.
    std::unique_ptr<detail::PruneState> prune_;
    bool repaired_ = false;
};

}  // namespace kmeans

#endif
