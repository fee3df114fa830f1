// kmeans.cpp - the model object, its model file, the training loop and the
// blockwise assignment of a caller's rows. The search of a block (searchBlock) lives
// in min_cluster.cpp or min_cluster_mt.cpp, whichever the program links; its
// internals in search.cpp.
#include "kmeans.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <limits>
#include <memory>
#include <new>

#include "atomic_file.h"
#include "detail/bf16_filter.h"
#include "detail/exact_sums.h"
#include "detail/fixed_order.h"
#include "detail/model_formats.h"
#include "detail/product.h"
#include "detail/prune.h"
#include "detail/search.h"
#include "messages.h"
#include "sampler.h"
#include "text_scan.h"

namespace kmeans {

using namespace detail;

int KMeans::nb_threads = 8;

KMeans::KMeans()
    : data(nullptr),
      centers(nullptr),
      sums(nullptr),
      sqnorms(nullptr),
      counts(nullptr),
      n(0),
      d(0),
      k(0),
      exact_(new (std::nothrow) ExactSums) {}

KMeans::~KMeans() { release(); }

void KMeans::release() {
    delete[] centers;
    delete[] sums;
    delete[] sqnorms;
    delete[] counts;
    centers = sums = sqnorms = nullptr;
    counts = nullptr;
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

// ---------------------------------------------------------------- model file

// k and d, then one line per centre, each value as stream insertion writes a double:
// printf's %g with 6 significant digits, which to_chars gives without the stream's
// locale machinery (the writer is most of a short run's time otherwise). Built line by
// line, written in one call each.
static bool write_centres(std::FILE* out, int k, int d, const float* centers) {
    bool ok = std::fprintf(out, "%d %d", k, d) > 0;
    const std::size_t stride = std::size_t(d) + 1;
    // '\n' or ' ', then at most "-1.23457e-308": 13 characters per value.
    const std::size_t room = std::size_t(d) * 16;
    std::unique_ptr<char[]> line(new (std::nothrow) char[room]);
    if (!line) return false;
    for (int i = 0; ok && i < k; ++i) {
        const float* c = centers + std::size_t(i) * stride;
        char* p = line.get();
        char* const end = p + room;
        for (int j = 0; j < d; ++j) {
            *p++ = j == 0 ? '\n' : ' ';
            p = std::to_chars(p, end, double(c[j]), std::chars_format::general, 6).ptr;
        }
        const std::size_t size = std::size_t(p - line.get());
        ok = std::fwrite(line.get(), 1, size, out) == size;
    }
    return ok;
}

// Written whole or not at all (atomic_file.h): a run killed while writing never
// leaves a truncated model that looks finished. A name ending in .npy or .fvecs
// writes the centres' float values exactly (detail/model_formats.h); any other, text.
bool KMeans::writeModel(const char* path) const {
    AtomicFile file;
    const ModelFormat format = model_format(path);
    if (!file.open(path)) return false;
    const bool written = format == ModelFormat::text
                             ? write_centres(file.stream(), k, d, centers)
                             : write_binary_model(file.stream(), format, centers, k, d);
    return written && file.commit();
}

// Every centre's norm column, rebuilt from its values as the search wants it.
static void fill_norm_column(float* centers, int k, int d) {
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < k; ++i) {
        float* c = centers + std::size_t(i) * stride;
        c[d] = norm_column(c, d);
    }
}

ReadStatus KMeans::setCenters(const float* rows, int newK, int newD) {
    release();
    k = d = 0;
    if (newK < 1 || newD < 1) return ReadStatus::wrong_format;
    const std::size_t values = std::size_t(newK) * std::size_t(newD);
    for (std::size_t i = 0; i < values; ++i)
        if (!std::isfinite(rows[i])) return ReadStatus::wrong_format;
    if (!allocate(newK, newD)) return ReadStatus::no_memory;
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < k; ++i)
        std::memcpy(centers + std::size_t(i) * stride, rows + std::size_t(i) * std::size_t(d),
                    sizeof(float) * std::size_t(d));
    fill_norm_column(centers, k, d);
    return ReadStatus::ok;
}

// Read with the same scanner and the same refusals as the trainer's data file: a
// model either reads whole (k, d >= 1, k*d finite floats, norms rebuilt) or is
// refused, and a refused model holds nothing. A .npy or .fvecs name is read as that
// format (detail/model_formats.h).
ReadStatus KMeans::readModel(const char* path) {
    const ModelFormat format = model_format(path);
    MappedFile file;
    const ReadStatus opened = file.open(path, format == ModelFormat::text);
    if (opened != ReadStatus::ok) return opened;
    if (format != ModelFormat::text) {
        // A .npy or .fvecs model, filled straight from the mapped file, with the same
        // outcome: whole, or refused and holding nothing.
        int fileK = 0;
        int fileD = 0;
        ModelLayout layout;
        const ReadStatus header = read_binary_model_header(file, format, fileK, fileD, layout);
        if (header != ReadStatus::ok) return header;
        if (!allocate(fileK, fileD)) return ReadStatus::no_memory;
        if (!read_binary_model(file, layout, k, d, centers)) {
            release();
            k = d = 0;
            return ReadStatus::wrong_format;
        }
        fill_norm_column(centers, k, d);
        return ReadStatus::ok;
    }
    const char* p = file.data();
    const char* const end = file.end();
    int fileK = 0;
    int fileD = 0;
    bool header = false;
    if (!file.guard([&] {
            header = scan_int(p, end, fileK) && scan_int(p, end, fileD);
            return true;
        }) ||
        !header || fileK < 1 || fileD < 1 ||
        !values_fit(std::uint64_t(fileK) * std::uint64_t(fileD), file.size()))
        return ReadStatus::wrong_format;
    if (!allocate(fileK, fileD)) return ReadStatus::no_memory;
    const std::size_t stride = std::size_t(d) + 1;
    const bool read = file.guard([&] {
        for (int i = 0; i < k; ++i) {
            float* c = centers + std::size_t(i) * stride;
            for (int j = 0; j < d; ++j)
                if (!scan_float(p, end, c[j])) return false;
        }
        return true;
    });
    if (!read) {
        release();
        k = d = 0;
        return ReadStatus::wrong_format;
    }
    fill_norm_column(centers, k, d);
    return ReadStatus::ok;
}

// ---------------------------------------------------------------- assignment

// For a model's own rows: shifted by the centres' mean when the model sits far from
// zero.
static void plan_for_model(SearchPlan& plan, const float* centers, int k, int d) {
    std::unique_ptr<float[]> mu(new (std::nothrow) float[std::size_t(d)]);
    const bool shift = mu && choose_shift(centers, k, d, mu.get());
    const float* bounds = nullptr;  // each tile bounds its rows
    prepare_search_or_unshifted(plan, centers, k, d, shift ? mu.get() : nullptr, bounds);
}

void KMeans::assign(const float* rows, int rowCount, int dim, int* nearest, float* scores,
                    int blockSize) const {
    if (dim != d) {
        std::cerr << dimensions_differ_text(d, dim) << std::endl;
        return;
    }
    if (rowCount <= 0) return;  // nothing to search
    SearchPlan plan;
    plan_for_model(plan, centers, k, d);
    const int b = (blockSize < 1 || blockSize > rowCount) ? rowCount : blockSize;
    const int blocks = rowCount / b + (rowCount % b != 0 ? 1 : 0);
    const std::size_t stride = std::size_t(d) + 1;
    for (int i = 0; i < blocks; ++i) {
        std::cout << "Block " << i << std::endl;
        const std::size_t first = std::size_t(i) * std::size_t(b);
        const int size = (i == blocks - 1 && rowCount % b != 0) ? rowCount % b : b;
        // The scores are scratch that no caller reads: the search keeps each tile's in
        // its own buffer and never writes them out (the caller's matrix stays
        // allocated, as the memory check wants it).
        (void)scores;
        searchBlock(plan, rows + first * stride, size, nullptr, nullptr, nearest + first, true,
                    nullptr);
    }
}

void KMeans::nearestCentres(const float* rows, int rowCount, int* nearest) const {
    SearchPlan plan;
    plan_for_model(plan, centers, k, d);
    searchBlock(plan, rows, rowCount, nullptr, nullptr, nearest, false, nullptr);
}

// The scores a direct caller receives are the unshifted x.c - |c|^2/2.
void KMeans::minCluster(const float* rows, int rowCount, int dim, int clusters,
                        const float* centres, float* scores, int* nearest) {
    SearchPlan plan;
    prepare_search(plan, centres, clusters, dim, nullptr);
    searchBlock(plan, rows, rowCount, nullptr, scores, nearest, true, nullptr);
}

bool KMeans::reserveSearch(int n) { return score_product_reserve(maxSearchWorkers(n)); }

// ---------------------------------------------------------------- training

bool KMeans::seedRun(int clusters, int restart, int blockSize, int* nearest, RunPeers* peers) {
    const std::uint64_t seed = settings_.seed + std::uint64_t(restart);
    bool seeded = true;
    std::cout << "Init ..." << std::endl;
    if (settings_.init == TrainSettings::Init::kmeanspp) {
        k = clusters;
        seeded = seedParallel(seed, blockSize, nearest, peers);
    } else if (settings_.seeded || settings_.restarts > 1) {
        k = clusters;
        seeded = seedRandom(seed, peers);
    } else {
        init(clusters, peers);  // run() reports arrays it could not allocate
    }
    if (!seeded) {
        insufficient_memory();
        return false;
    }
    std::cout << "Init ... finished" << std::endl;
    return true;
}

bool KMeans::run(const float* rows, int rowCount, int dim, int clusters, int maxIter, int* nearest,
                 int blockSize, RunPeers* peers) {
    setData(rows, rowCount, dim);
    if (settings_.init == TrainSettings::Init::given)
        return run(maxIter, nearest, blockSize, peers);
    const int restarts = settings_.restarts > 1 ? settings_.restarts : 1;
    if (restarts == 1)
        return seedRun(clusters, 0, blockSize, nearest, peers) &&
               run(maxIter, nearest, blockSize, peers);
    // Restarts: the best run's centres and assignment are kept aside, k*(d+1) floats
    // and n ints.
    const std::size_t cells = std::size_t(clusters) * (std::size_t(dim) + 1);
    std::unique_ptr<float[]> bestCentres(new (std::nothrow) float[cells]);
    std::unique_ptr<int[]> bestNearest(new (std::nothrow) int[std::size_t(n > 0 ? n : 1)]);
    const bool held = bestCentres && bestNearest;
    if (!(peers ? peers->agree(held) : held)) {
        if (!held) insufficient_memory();
        return false;
    }
    double best = -1;
    int kept = 0;
    std::vector<double> bestSteps;
    StopReason bestStop = StopReason::none;
    for (int r = 0; r < restarts; ++r) {
        std::cout << "Restart " << r << " (seed " << settings_.seed + std::uint64_t(r) << ")"
                  << std::endl;
        if (!seedRun(clusters, r, blockSize, nearest, peers) ||
            !run(maxIter, nearest, blockSize, peers))
            return false;
        std::cout << "Restart " << r << " final distortion = " << finalDistortion_ << std::endl;
        if (r == 0 || finalDistortion_ < best) {
            best = finalDistortion_;
            kept = r;
            std::memcpy(bestCentres.get(), centers, sizeof(float) * cells);
            std::memcpy(bestNearest.get(), nearest, sizeof(int) * std::size_t(n));
            bestSteps.swap(distortions_);
            bestStop = stop_;
        }
    }
    std::memcpy(centers, bestCentres.get(), sizeof(float) * cells);
    std::memcpy(nearest, bestNearest.get(), sizeof(int) * std::size_t(n));
    finalDistortion_ = best;
    distortions_.swap(bestSteps);
    stop_ = bestStop;
    std::cout << "Kept restart " << kept << ": distortion = " << best << std::endl;
    return true;
}

void KMeans::init(int clusters, RunPeers* peers) {
    k = clusters;
    std::srand(1000);
    // The draw is over every process's rows, so all processes draw the same seeds.
    const int rows = peers ? int(peers->totalRows()) : n;
    std::unique_ptr<int[]> seeds(new int[std::size_t(clusters)]);
    Sampler::sample(rows, seeds.get(), clusters, false, -1);
    const int dim = d;
    bool held = allocate(clusters, dim);
    if (peers && !peers->agree(held)) held = false;
    if (!held) {  // run() reports the missing arrays
        release();
        return;
    }
    std::cout << "Allocation finish!" << std::endl;
    const std::size_t stride = std::size_t(d) + 1;
    if (peers) peers->gatherRows(seeds.get(), k, centers);
    for (int i = 0; i < k; ++i) {
        float* c = centers + std::size_t(i) * stride;
        if (!peers)
            std::memcpy(c, data + std::size_t(seeds[i]) * stride, sizeof(float) * std::size_t(d));
        c[d] = norm_column(c, d);
    }
}

// The grid of the pass's totals comes from every value of the data and from how far
// the centres reach (exact_sums.h). Data off the narrow grid have their rows marked
// once for the whole run: the rows do not change. With peers, every process takes
// part in each exchange, whatever its memory.
bool KMeans::prepareSums(RunPeers* peers) {
    float maxAbs = max_abs(data, std::size_t(n), d);
    if (peers) maxAbs = peers->largest(maxAbs);
    const double rows = peers ? peers->totalRows() : double(n);
    bool exact = on_grid(data, std::size_t(n), d, narrow_shift(maxAbs, rows));
    if (peers) exact = peers->agree(exact);
    offGrid_.reset();
    int lowest = kNoOffGrid;
    bool held = true;
    if (!exact) {
        offGrid_.reset(new (std::nothrow) std::uint8_t[std::size_t(n)]);
        held = offGrid_ != nullptr;
        if (held)
            lowest = mark_off_grid(data, std::size_t(n), d, wide_shift(maxAbs), offGrid_.get());
        // (The lowest bit is at least -149: as a float, exactly.)
        if (peers) lowest = -int(peers->largest(-float(lowest)));
    }
    const float reach = max_abs(centers, std::size_t(k), d);
    if (!held || !exact_ ||
        !exact_->allocate(k, d, choose_grid(maxAbs, exact, rows, d, reach, lowest)))
        return false;
    exact_->bindRows(data, std::size_t(n), offGrid_.get());
    return true;
}

void KMeans::add(const float* row, int cluster) {
    if (!exact_) return;  // (no memory for even the empty totals)
    if (!exact_->ready()) {
        // Rows not known in advance: a grid sized from the bound data and this row,
        // with registers that take any other value exactly.
        const std::size_t bound = data ? std::size_t(n) : 0;
        const float maxAbs = std::max(max_abs(row, 1, d), max_abs(data, bound, d));
        const float reach = max_abs(centers, std::size_t(k), d);
        if (!exact_->allocate(k, d, open_grid(maxAbs, d, reach))) return;
    }
    float* sum = sums + std::size_t(cluster) * std::size_t(d);
    for (int t = 0; t < d; ++t) sum[t] += row[t];
    sqnorms[cluster] += float(squared_norm(row, d));
    exact_->addRows(row, 1, &cluster, centers, cluster, cluster + 1);
    counts[cluster] += 1;
}

double KMeans::relocate() {
    double distortion = 0;
    const std::size_t stride = std::size_t(d) + 1;
    if (exact_ && exact_->ready()) {
        exact_->settle();
        for (int c = 0; c < k; ++c) {
            if (counts[c] == 0) continue;  // an empty cluster keeps its centre
            distortion += exact_->moveCentre(c, counts[c], centers + std::size_t(c) * stride);
        }
        // Totals kept for the next pass (pruning): its rows that move update them.
        if (prune_ && prune_->totalsKept)
            exact_->clearSpreads();
        else
            exact_->clear();
    }
    const std::size_t kd = std::size_t(k) * std::size_t(d);
    std::memset(sums, 0, sizeof(float) * kd);
    std::memset(sqnorms, 0, sizeof(float) * std::size_t(k));
    std::memset(counts, 0, sizeof(int) * std::size_t(k));
    return distortion;
}

// The buffer in which a run exchanges its totals with its peers: one cell for each
// of the totals' integers. False on every process when one is short of it.
static bool reserve_cells(const ExactSums& sums, std::unique_ptr<TotalCell[]>& cells,
                          RunPeers& peers) {
    cells.reset(new (std::nothrow) TotalCell[sums.cells()]);
    const bool ok = cells != nullptr;
    if (!ok)
        std::cerr << "Cannot allocate the exchange buffer of " << sums.cells() << " 16-byte cells."
                  << std::endl;
    return peers.agree(ok);
}

// A pass's totals summed over every process.
static bool share_totals(ExactSums& sums, TotalCell* cells, RunPeers& peers) {
    sums.pack(cells);
    if (!peers.share(cells, sums.cells())) return false;
    sums.unpack(cells);
    return true;
}

bool KMeans::assignmentPass(int blockSize, const float* shift, const float* bounds, int* nearest,
                            SumParts& parts) {
    const int blocks = n / blockSize + (n % blockSize != 0 ? 1 : 0);
    const std::size_t stride = std::size_t(d) + 1;
    std::cout << "nb blocks = " << blocks << std::endl;
    const std::time_t t1 = std::time(nullptr);
    SearchPlan plan;
    prepare_search_or_unshifted(plan, centers, k, d, shift, bounds);
    passCounts_.emplace_back();
    // With pruning, each block's rows keep their centres where their bounds prove it,
    // and the totals kept from the last pass take the rows that moved.
    PruneBlock pruned{nullptr, nullptr, prune_.get(), 0};
    if (prune_) prune_->prepare(centers, k, d);
    for (int b = 0; b < blocks; ++b) {
        const std::time_t t2 = std::time(nullptr);
        const std::size_t first = std::size_t(b) * std::size_t(blockSize);
        const int size = (b == blocks - 1 && n % blockSize != 0) ? n % blockSize : blockSize;
        if (interrupt_ && interrupt_()) {
            stop_ = StopReason::interrupted;
            return false;
        }
        std::cout << "Block " << b << std::endl;
        std::cout << "Block size = " << size << std::endl;
        if (prune_) {
            pruned.lower = prune_->lower.get() + first * std::size_t(prune_->groups);
            pruned.first = first;
            pruned.previous = prune_->totalsKept ? prune_->previous.get() + first : nullptr;
        }
        searchBlock(plan, data + first * stride, size, bounds ? bounds + first : nullptr, nullptr,
                    nearest + first, true, &passCounts_.back(), parts.get(),
                    prune_ ? &pruned : nullptr);
        if (!parts.get())
            accumulateBlock(*exact_, data + first * stride, size, nearest + first, centers,
                            pruned.previous);
        std::cout << "Time for searching min clsuter: " << std::time(nullptr) - t2 << std::endl;
    }
    std::cout << "Assignment time = " << std::time(nullptr) - t1 << std::endl;
    parts.gather(*exact_);
    return true;
}

bool KMeans::run(int maxIter, int* nearest, int blockSize, RunPeers* peers) {
    // (A process of a distributed run may hold no rows: it searches no block.)
    if (blockSize > n) blockSize = n;
    if (blockSize < 1) blockSize = n > 0 ? n : 1;
    const std::size_t cells = std::size_t(blockSize) * std::size_t(k);
    // The run's scratch: the score matrix, every row's bound |x - mu| (computed once:
    // the rows do not change) and the shift mu, if the data sit far from zero. The
    // score matrix is allocated, so that a block too large for memory is refused as it
    // always was, but never written: the search keeps each tile's scores in a buffer of
    // its own, and streaming them out would cost about half as much as computing them.
    // Its pages are never touched, so they never become resident either.
    std::unique_ptr<float[]> scores(new (std::nothrow) float[cells]);
    std::unique_ptr<float[]> bounds(new (std::nothrow) float[std::size_t(n)]);
    std::unique_ptr<float[]> mu(new (std::nothrow) float[std::size_t(d)]);
    // The product library's scratch (and its first-call set-up) only for a run that
    // searches; a caller that searches after a run without iterations reserves it then.
    // With peers, every process stops if one must (the one short of memory says so),
    // and all of them take part in the same exchanges.
    bool mine = scores && bounds && mu && centers;
    bool all = peers ? peers->agree(mine) : mine;
    if (all && maxIter > 0) {
        mine = prepareSums(peers) && reserveSearch(blockSize);
        all = peers ? peers->agree(mine) : mine;
    }
    if (!mine) insufficient_memory();
    if (!all) return false;
    // The totals as exchanged with peers, held for the whole run.
    std::unique_ptr<TotalCell[]> exchange;
    if (peers && maxIter > 0 && !reserve_cells(*exact_, exchange, *peers)) return false;
    // One pass accumulator per search worker, when the copies cost little next to the
    // data: each worker then adds the rows it has just searched, still in cache.
    // Otherwise the one, filled by cluster ranges after each block's search.
    SumParts parts;
    if (maxIter > 0)
        parts.split(*exact_, maxSearchWorkers(blockSize), std::size_t(n) * (std::size_t(d) + 1));
    // Two passes over the rows, for the search only: a run without iterations skips them.
    const float* shift = maxIter > 0 && choose_shift(data, n, d, mu.get()) ? mu.get() : nullptr;
    // The bf16 filter multiplies centred rows (bf16_shift): centred on the data's mean
    // once for the run, the rows' bounds serve every pass.
    if (maxIter > 0 && default_filter() != ScoreFilter::float32 &&
        bf16_shift(data, n, d, shift, mu.get()))
        shift = mu.get();
    if (maxIter > 0) row_bounds(data, n, d, shift, bounds.get());
    passCounts_.clear();
    // Pruning from the second pass on: each row's bound and the totals' membership.
    prune_.reset();
    using Prune = TrainSettings::Prune;
    const Prune pruning = settings_.prune == Prune::environment ? pruning_mode() : settings_.prune;
    if (maxIter > 1 && pruning != Prune::off) {
        prune_.reset(new (std::nothrow) PruneState);
        if (!prune_ || !prune_->allocate(n, k, d)) {
            prune_.reset();
            std::cout << "Not enough memory for the pruning bounds (" << PruneState::bytes(n, k, d)
                      << " bytes): every pass searches every row." << std::endl;
        }
        if (prune_) prune_->refresh = pruning == Prune::always;
    }

    // Distortions are printed with 20 significant digits, enough to tell apart any two
    // doubles, so a run's log shows whether a step really decreased. The setting stays
    // on std::cout after the run; the sampler's line sets its own 6 digits, and the
    // drivers print nothing after training that this changes.
    std::cout.precision(20);
    // -1: no previous step yet. A distortion is a sum of squares, never negative, so
    // the sentinel cannot be met by a real value.
    double previous = -1;
    finalDistortion_ = -1;
    distortions_.clear();
    stop_ = StopReason::none;
    for (int it = 0; it < maxIter; ++it) {
        repaired_ = false;
        auto T0 = std::chrono::steady_clock::now();
        if (!assignmentPass(blockSize, shift, bounds.get(), nearest, parts)) return false;
        if (getenv("DBG"))
            std::cerr
                << "pass " << it << " "
                << std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count()
                << std::endl;
        if (peers && !share_totals(*exact_, exchange.get(), *peers)) return false;
        if (settings_.splitEmpty && !repairEmptyClusters(nearest, peers)) return false;
        std::memcpy(counts, exact_->counts(), sizeof(int) * std::size_t(k));
        // The totals are kept for the next pass where they hold each row in its cluster
        // of this pass: not after a repair moved rows in them, nor where they are summed
        // over processes (each process adds its rows anew).
        const std::size_t centreFloats = std::size_t(k) * (std::size_t(d) + 1);
        if (prune_) {
            std::memcpy(prune_->previous.get(), nearest, sizeof(int) * std::size_t(n));
            prune_->totalsKept = peers == nullptr && !repaired_;
            std::memcpy(prune_->before.get(), centers, sizeof(float) * centreFloats);
        }
        std::cout << "Relocate cluster\n";
        const std::time_t t3 = std::time(nullptr);
        const double distortion = relocate();
        if (prune_) {
            group_drift(prune_->before.get(), centers, k, d, prune_->groupSize,
                        prune_->drift.get());
            // Bounds pay once the centres move little beside the rows' distances to
            // them: the farthest drift below a tenth of the root mean distance.
            const double rows = peers ? peers->totalRows() : double(n);
            const float far =
                *std::max_element(prune_->drift.get(), prune_->drift.get() + prune_->groups);
            prune_->refresh = pruning == Prune::always ||
                              (rows > 0 && double(far) < 0.1 * std::sqrt(distortion / rows));
        }
        std::cout << "Time for relocating clusters = " << std::time(nullptr) - t3 << std::endl;
        std::cout << "Step [" << it << "] distorion = " << distortion << std::endl;
        finalDistortion_ = distortion;
        distortions_.push_back(distortion);
        // A step that does not decrease the distortion ends the loop (>=, not >): Lloyd's
        // steps never increase it in exact arithmetic, so a value that does not go down
        // means the assignment has settled (or only rounding moves it), and further
        // steps would repeat the same pass.
        if (previous != -1 && distortion >= previous) {
            std::cout << "Stop before criteron." << std::endl;
            stop_ = StopReason::noDecrease;
            return true;
        }
        if (previous != -1 && previous - distortion < settings_.tol * previous) {
            std::cout << "Stop: the relative decrease is below the tolerance." << std::endl;
            stop_ = StopReason::tolerance;
            return true;
        }
        previous = distortion;
    }
    std::cout << "Finish normally." << std::endl;
    if (maxIter > 0) stop_ = StopReason::iterations;
    return true;
}

}  // namespace kmeans
