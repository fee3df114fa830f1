// seeding.cpp - the seedings beside the libc draw of KMeans::init, and the repair of
// empty clusters. Every random choice is a counter-based draw keyed by the seed and
// by a row's index among all rows (detail/counter_random.h), every distance that
// steers a choice is the exact nearest centre's double distance (the certified
// search, then squared_distance), and every sum that scales a draw is exact (a long
// register, or integers): so the seeds are the same for any thread count, block size,
// product library and number of processes.
//
// k-means|| (Bahmani et al., "Scalable k-means++", VLDB 2012): one row drawn
// uniformly, then kRounds = 4 rounds in which every row is taken with probability
// min(1, l D^2(x) / phi), l = k/2 the oversampling, D^2(x) its squared distance to the
// nearest candidate so far and phi their sum; each round's candidates cost one search
// pass of the rows against them, which also keeps every row's nearest candidate. The
// candidates, weighted by the rows nearest to them, are then reduced to k centres by
// greedy k-means++. Four rounds, not the paper's five: on scikit-learn's digits (k =
// 256) four ended as low as five, and each round costs half a Lloyd iteration. Memory:
// n doubles (D^2), n floats (the rows' bounds) and n ints, the candidates (about 2 k + 1
// rows, and their weights, and a transposed copy); the nearest-centre array holds each
// row's candidate.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <unordered_set>
#include <vector>

#include "detail/counter_random.h"
#include "detail/exact_sums.h"
#include "detail/fixed_order.h"
#include "detail/long_sum.h"
#include "detail/search.h"
#include "kmeans.h"
#include "messages.h"
#include "workers.h"

namespace kmeans {

using namespace detail;

namespace {

constexpr int kRounds = 4;
// The generator's streams: one per kind of draw, so that no two draws share a counter.
constexpr std::uint64_t kStreamRows = 1;    // random seeding: the rows drawn
constexpr std::uint64_t kStreamFirst = 2;   // k-means||: the first candidate
constexpr std::uint64_t kStreamReduce = 3;  // k-means++ on the candidates
constexpr std::uint64_t kStreamRound = 16;  // + round: the rows taken in a round
// A long register for sums of squared distances: every double from 2^-1074 up, with
// room for 2^31 terms below 2^1100.
constexpr int kLongBase = -1074;
constexpr int kLongWords = (1100 - kLongBase) / 32 + 3;

// The rows with these indices among every process's rows into `count` augmented rows
// (column d set to the norm).
void fetch_rows(const float* data, int d, RunPeers* peers, const int* indices, int count,
                float* rows) {
    const std::size_t stride = std::size_t(d) + 1;
    if (peers) {
        peers->gatherRows(indices, count, rows);
    } else {
        for (int i = 0; i < count; ++i)
            std::memcpy(rows + std::size_t(i) * stride, data + std::size_t(indices[i]) * stride,
                        sizeof(float) * std::size_t(d));
    }
    for (int i = 0; i < count; ++i) {
        float* r = rows + std::size_t(i) * stride;
        r[d] = norm_column(r, d);
    }
}

// The exact sum of non-negative doubles over every process, rounded once.
bool exact_total(const double* values, int count, RunPeers* peers, double& total) {
    std::int64_t words[kLongWords] = {};
    for (int i = 0; i < count; ++i) long_add(words, kLongWords, kLongBase, values[i]);
    long_carry(words, kLongWords);
    if (peers) {
        TotalCell cells[kLongWords];
        for (int j = 0; j < kLongWords; ++j) cells[j] = words[j];
        if (!peers->share(cells, kLongWords)) return false;
        for (int j = 0; j < kLongWords; ++j) words[j] = std::int64_t(cells[j]);
        long_carry(words, kLongWords);
    }
    total = long_value(words, kLongWords, kLongBase);
    return true;
}

// Each bound row's nearest among `m` candidates into `which`, block by block. `bounds`:
// every row's |x - shift| (row_bounds), used only where the plan takes the shift.
void search_candidates(const float* data, int n, int d, const float* candidates, int m,
                       const float* shift, const float* bounds, int blockSize, int* which) {
    SearchPlan plan;
    prepare_search_or_unshifted(plan, candidates, m, d, shift, bounds);
    const std::size_t stride = std::size_t(d) + 1;
    for (int first = 0; first < n; first += blockSize) {
        const int size = std::min(blockSize, n - first);
        KMeans::searchBlock(plan, data + std::size_t(first) * stride, size,
                            bounds ? bounds + first : nullptr, nullptr, which + first, false,
                            nullptr);
    }
}

// Parts [from, to) of `count` items for `fn(from, to)`, on up to nb_threads workers of
// at least `least` items each.
template <typename Fn>
void in_parts(int count, int least, Fn&& fn) {
    const int workers =
        std::max(1, std::min({KMeans::nb_threads, kMostWorkers, count / std::max(1, least)}));
    run_workers(workers, [&](int w) {
        fn(int(std::int64_t(count) * w / workers), int(std::int64_t(count) * (w + 1) / workers));
    });
}

// The candidates transposed (value t of candidate c at t * m + c), for the distances of
// every candidate to one row at once (squared_distances_transposed).
struct Transposed {
    std::vector<float> values;
    int m = 0;
    int d = 0;
    Transposed(const float* candidates, int count, int dim)
        : values(std::size_t(count) * std::size_t(dim)), m(count), d(dim) {
        const std::size_t stride = std::size_t(d) + 1;
        for (int c = 0; c < m; ++c)
            for (int t = 0; t < d; ++t)
                values[std::size_t(t) * std::size_t(m) + std::size_t(c)] =
                    candidates[std::size_t(c) * stride + std::size_t(t)];
    }
};

// Greedy k-means++ over weighted candidates (reduce_candidates below): the candidates
// transposed, every candidate's squared distance to its nearest centre chosen so far,
// and a step's trials with their distances to every candidate.
class Reduction {
public:
    Reduction(const float* candidates, int m, const std::vector<std::int64_t>& weight, int k, int d,
              std::uint64_t seed)
        : candidates_(candidates),
          m_(m),
          d_(d),
          mm_(std::size_t(m)),
          weight_(weight),
          seed_(seed),
          trials_(2 + int(std::log(double(k)))),
          columns_(candidates, m, d),
          near_(mm_),
          trial_(mm_ * std::size_t(trials_)),
          taken_(mm_, 0),
          at_(static_cast<std::size_t>(trials_)) {}

    // The first centre, drawn by weight (candidate 0 when no weight is left).
    int first() {
        std::int64_t all = 0;
        for (int c = 0; c < m_; ++c) all += weight_[std::size_t(c)];
        int pick = 0;
        if (all > 0) {
            std::uint64_t r = counter_below(std::uint64_t(all), seed_, kStreamReduce, 0);
            for (int c = 0; c < m_; ++c) {
                const std::uint64_t w = std::uint64_t(weight_[std::size_t(c)]);
                if (r < w) {
                    pick = c;
                    break;
                }
                r -= w;
            }
        }
        at_[0] = pick;
        measure(1);
        std::copy(trial_.begin(), trial_.begin() + std::ptrdiff_t(mm_), near_.begin());
        return pick;
    }

    // The next centre after `pick` was taken: the best of a step's trials, or, with no
    // candidate left at a positive distance, the first one not taken (or, with fewer
    // candidates than centres, one again: `repeat`).
    int next(int pick, int repeat) {
        taken_[std::size_t(pick)] = 1;
        int count = drawTrials();
        if (count == 0) {
            for (int c = 0; c < m_ && count == 0; ++c)
                if (!taken_[std::size_t(c)]) at_[std::size_t(count++)] = c;
            if (count == 0) return repeat;
        }
        measure(count);
        const int best = lowestPotential(count);
        const double* dist = trial_.data() + std::size_t(best) * mm_;
        for (int c = 0; c < m_; ++c)
            near_[std::size_t(c)] = std::min(near_[std::size_t(c)], dist[c]);
        return at_[std::size_t(best)];
    }

private:
    // The trials' distances to every candidate, the trials split among the workers.
    void measure(int count) {
        const std::size_t stride = std::size_t(d_) + 1;
        const int workers = std::max(1, std::min({KMeans::nb_threads, kMostWorkers, count}));
        run_workers(workers, [&](int w) {
            for (int t = w; t < count; t += workers)
                squared_distances_transposed(
                    columns_.values.data(), mm_, m_,
                    candidates_ + std::size_t(at_[std::size_t(t)]) * stride, d_,
                    trial_.data() + std::size_t(t) * mm_);
        });
    }

    // Candidates drawn by weight times distance into at_ (the rounding of the running
    // sum may leave a target past the end: then the last one with any weight); those
    // already taken are dropped. Returns how many.
    int drawTrials() {
        double potential = 0;
        for (int c = 0; c < m_; ++c)
            potential += double(weight_[std::size_t(c)]) * near_[std::size_t(c)];
        int count = 0;
        for (int t = 0; t < trials_ && potential > 0; ++t) {
            const double target = counter_unit(seed_, kStreamReduce, draw_++) * potential;
            double before = 0;
            int found = -1;
            for (int c = 0; c < m_; ++c) {
                const double w = double(weight_[std::size_t(c)]) * near_[std::size_t(c)];
                if (w <= 0) continue;
                before += w;
                found = c;
                if (target < before) break;
            }
            if (found >= 0 && !taken_[std::size_t(found)]) at_[std::size_t(count++)] = found;
        }
        return count;
    }

    // The trial that leaves the lowest weighted potential, the first among equals.
    int lowestPotential(int count) const {
        int best = 0;
        double lowest = 0;
        for (int t = 0; t < count; ++t) {
            const double* dist = trial_.data() + std::size_t(t) * mm_;
            double left = 0;
            for (int c = 0; c < m_; ++c)
                left += double(weight_[std::size_t(c)]) * std::min(near_[std::size_t(c)], dist[c]);
            if (t == 0 || left < lowest) {
                best = t;
                lowest = left;
            }
        }
        return best;
    }

    const float* candidates_;
    int m_;
    int d_;
    std::size_t mm_;
    const std::vector<std::int64_t>& weight_;
    std::uint64_t seed_;
    int trials_;
    Transposed columns_;
    std::vector<double> near_;
    std::vector<double> trial_;  // one row of distances a trial
    std::vector<char> taken_;
    std::vector<int> at_;  // the step's trials
    std::uint64_t draw_ = 1;
};

// Reduces `m` weighted candidates to k centres by greedy k-means++ (Arthur and
// Vassilvitskii's D^2 sampling, with 2 + ln k trials a step as scikit-learn draws
// them): the first drawn by weight; then at each step the trials drawn with
// probability proportional to weight times squared distance to the nearest centre
// chosen so far, and the one that leaves the lowest weighted potential kept (ties to
// the first drawn). A step's trials are measured together, split among the workers;
// every sum runs in candidate order, the same on every process. With fewer candidates
// than centres the rest repeat candidates (the empty-cluster repair, if asked for,
// moves them).
void reduce_candidates(const float* candidates, int m, const std::vector<std::int64_t>& weight,
                       int k, int d, std::uint64_t seed, float* centers) {
    const std::size_t stride = std::size_t(d) + 1;
    Reduction reduction(candidates, m, weight, k, d, seed);
    int pick = reduction.first();
    for (int j = 0;; ++j) {
        std::memcpy(centers + std::size_t(j) * stride, candidates + std::size_t(pick) * stride,
                    sizeof(float) * stride);
        if (j + 1 == k) break;
        pick = reduction.next(pick, (j + 1) % m);
    }
}

// Row by row, the new candidates fresh[which[i]] (numbered from `base`) that are
// nearer than dist[i] replace nearest[i] and dist[i]; an equal one does not (the lower
// index keeps the row). Four rows at a time, on the workers.
void keep_nearer(const float* data, int n, int d, const float* fresh, int base, const int* which,
                 double* dist, int* nearest) {
    const std::size_t stride = std::size_t(d) + 1;
    in_parts(n, 4096, [&](int from, int to) {
        double now[1024];
        for (int at = from; at < to; at += 1024) {
            const int count = std::min(1024, to - at);
            squared_distances_paired(data + std::size_t(at) * stride, stride, count, fresh, stride,
                                     which + at, d, now);
            for (int i = 0; i < count; ++i) {
                if (now[i] < dist[at + i]) {
                    dist[at + i] = now[i];
                    nearest[at + i] = base + which[at + i];
                }
            }
        }
    });
}

// A round of k-means||: the rows (indices among every process's) taken with
// probability min(1, l D^2 / phi), each by its own draw.
std::vector<int> draw_round(const double* dist, int n, long long first, std::uint64_t seed,
                            int round, double phi, double oversample) {
    std::vector<int> taken;
    for (int i = 0; i < n; ++i) {
        const std::uint64_t row = std::uint64_t(first + i);
        const double u = counter_unit(seed, kStreamRound + std::uint64_t(round), row);
        if (u * phi < oversample * dist[i]) taken.push_back(int(first + i));
    }
    return taken;
}

// The rows nearest to each of m candidates, over every process.
bool candidate_weights(const int* nearest, int n, int m, RunPeers* peers,
                       std::vector<std::int64_t>& weight) {
    weight.assign(std::size_t(m), 0);
    for (int i = 0; i < n; ++i) ++weight[std::size_t(nearest[i])];
    if (!peers) return true;
    std::vector<TotalCell> cells(weight.begin(), weight.end());
    if (!peers->share(cells.data(), cells.size())) return false;
    for (int c = 0; c < m; ++c) weight[std::size_t(c)] = std::int64_t(cells[std::size_t(c)]);
    return true;
}

// An empty cluster's repair: `row` (among every process's) leaves cluster `from` for
// the empty cluster `to`.
struct Move {
    int row;
    int from;
    int to;
};

// The moves that fill the empty clusters (in index order), each with the row farthest
// from the centre it was assigned to (`far`, this process's rows: set to -1 once taken;
// ties to the lowest row), never a cluster's last member; fewer when every row sits on
// its centre.
std::vector<Move> farthest_moves(const std::vector<int>& empty, double* far, int n, long long first,
                                 const int* nearest, const int* members, int k, RunPeers* peers) {
    std::vector<Move> moves;
    std::vector<int> left(members, members + k);
    for (std::size_t e = 0; e < empty.size();) {
        double best = -1;
        int row = -1;
        for (int i = 0; i < n; ++i) {
            if (far[i] > best) {
                best = far[i];
                row = int(first + i);
            }
        }
        if (peers) peers->bestOf(best, row);
        if (!(best > 0)) break;
        const long long mine = row - first;
        const bool here = mine >= 0 && mine < n;
        double donor = here ? double(nearest[mine]) : -1;
        int unused = 0;
        if (peers) peers->bestOf(donor, unused);  // the owner's is the only one above -1
        if (here) far[mine] = -1;
        const int source = int(donor);
        if (left[std::size_t(source)] < 2) continue;  // its last member stays
        --left[std::size_t(source)];
        moves.push_back(Move{row, source, empty[e++]});
    }
    return moves;
}

}  // namespace

bool KMeans::seedRandom(std::uint64_t seed, RunPeers* peers) {
    const long long rows = peers ? (long long)peers->totalRows() : n;
    std::vector<int> drawn;
    drawn.reserve(std::size_t(k));
    std::unordered_set<int> seen;
    for (std::uint64_t attempt = 0; int(drawn.size()) < k; ++attempt) {
        const int row = int(counter_below(std::uint64_t(rows), seed, kStreamRows, attempt));
        if (seen.insert(row).second) drawn.push_back(row);
    }
    bool held = allocate(k, d);
    if (peers && !peers->agree(held)) held = false;
    if (!held) {
        release();
        return false;
    }
    fetch_rows(data, d, peers, drawn.data(), k, centers);
    return true;
}

bool KMeans::seedParallel(std::uint64_t seed, int blockSize, int* nearest, RunPeers* peers) {
    const long long rows = peers ? (long long)peers->totalRows() : n;
    const long long first = peers ? peers->firstRow() : 0;
    const std::size_t stride = std::size_t(d) + 1;
    std::unique_ptr<double[]> dist(new (std::nothrow) double[std::size_t(n > 0 ? n : 1)]);
    std::unique_ptr<float[]> mu(new (std::nothrow) float[std::size_t(d)]);
    std::unique_ptr<int[]> which(new (std::nothrow) int[std::size_t(n > 0 ? n : 1)]);
    std::unique_ptr<float[]> bounds(new (std::nothrow) float[std::size_t(n > 0 ? n : 1)]);
    bool held = dist && mu && which && bounds && allocate(k, d);
    if (peers) held = peers->agree(held);
    if (!held) {
        release();
        return false;
    }
    if (blockSize < 1 || blockSize > n) blockSize = n > 0 ? n : 1;
    const float* shift = choose_shift(data, n, d, mu.get()) ? mu.get() : nullptr;
    row_bounds(data, n, d, shift, bounds.get());
    const double oversample = std::max(1.0, 0.5 * double(k));

    // The first candidate, then the rounds; nearest[i] is row i's candidate so far.
    std::vector<float> candidates(stride);
    int one = int(counter_below(std::uint64_t(rows), seed, kStreamFirst, 0));
    fetch_rows(data, d, peers, &one, 1, candidates.data());
    std::fill(which.get(), which.get() + n, 0);
    std::fill(dist.get(), dist.get() + n, std::numeric_limits<double>::infinity());
    keep_nearer(data, n, d, candidates.data(), 0, which.get(), dist.get(), nearest);
    for (int round = 0; round < kRounds; ++round) {
        double phi = 0;
        if (!exact_total(dist.get(), n, peers, phi)) return false;
        if (!(phi > 0)) break;  // every row on a candidate
        std::vector<int> taken = draw_round(dist.get(), n, first, seed, round, phi, oversample);
        if (peers) peers->gatherIndices(taken);
        if (taken.empty()) continue;
        const int base = int(candidates.size() / stride);
        const int added = int(taken.size());
        candidates.resize(candidates.size() + std::size_t(added) * stride);
        float* fresh = candidates.data() + std::size_t(base) * stride;
        fetch_rows(data, d, peers, taken.data(), added, fresh);
        search_candidates(data, n, d, fresh, added, shift, bounds.get(), blockSize, which.get());
        keep_nearer(data, n, d, fresh, base, which.get(), dist.get(), nearest);
    }
    const int m = int(candidates.size() / stride);
    std::vector<std::int64_t> weight;
    if (!candidate_weights(nearest, n, m, peers, weight)) return false;
    std::cout << "k-means||: " << m << " candidates" << std::endl;
    reduce_candidates(candidates.data(), m, weight, k, d, seed, centers);
    return true;
}

bool KMeans::repairEmptyClusters(const int* nearest, RunPeers* peers) {
    const std::size_t stride = std::size_t(d) + 1;
    const long long first = peers ? peers->firstRow() : 0;
    exact_->settle();
    const int* members = exact_->counts();  // over every process
    std::vector<int> empty;
    for (int c = 0; c < k; ++c)
        if (members[c] == 0) empty.push_back(c);
    if (empty.empty()) return true;  // the same on every process
    // Every row's distance to the centre it was assigned to (n doubles, only now); a row
    // taken, or one whose cluster cannot spare it, is set to -1.
    std::unique_ptr<double[]> far(new (std::nothrow) double[std::size_t(n > 0 ? n : 1)]);
    if (!(peers ? peers->agree(far != nullptr) : far != nullptr)) {
        if (!far) insufficient_memory();
        return false;
    }
    for (int i = 0; i < n; ++i)
        far[std::size_t(i)] = squared_distance(data + std::size_t(i) * stride,
                                               centers + std::size_t(nearest[i]) * stride, d);
    const std::vector<Move> move =
        farthest_moves(empty, far.get(), n, first, nearest, members, k, peers);
    if (move.empty()) return true;
    // The moved rows' own totals: cluster 2m against the centre they leave, 2m+1 against
    // the centre they join (on this process only the rows it holds), then summed over
    // the processes and moved in the pass's totals.
    const int moves = int(move.size());
    std::vector<float> centres(std::size_t(2 * moves) * stride);
    for (int m = 0; m < moves; ++m) {
        std::memcpy(&centres[std::size_t(2 * m) * stride],
                    centers + std::size_t(move[std::size_t(m)].from) * stride,
                    sizeof(float) * stride);
        std::memcpy(&centres[std::size_t(2 * m + 1) * stride],
                    centers + std::size_t(move[std::size_t(m)].to) * stride,
                    sizeof(float) * stride);
    }
    ExactSums moved;
    bool held = moved.allocate(2 * moves, d, exact_->grid());
    if (!(peers ? peers->agree(held) : held)) {
        if (!held) insufficient_memory();
        return false;
    }
    moved.bindRows(data, std::size_t(n), offGrid_.get());
    for (int m = 0; m < moves; ++m) {
        const long long mine = move[std::size_t(m)].row - first;
        if (mine < 0 || mine >= n) continue;
        const float* x = data + std::size_t(mine) * stride;
        for (int side = 0; side < 2; ++side) {
            const int slot = 2 * m + side;
            moved.addRows(x, 1, &slot, centres.data(), slot, slot + 1);
        }
    }
    moved.settle();
    if (peers) {
        std::vector<TotalCell> cells(moved.cells());
        moved.pack(cells.data());
        if (!peers->share(cells.data(), cells.size())) return false;
        moved.unpack(cells.data());
    }
    for (int m = 0; m < moves; ++m) {
        exact_->addCluster(move[std::size_t(m)].from, moved, 2 * m, -1);
        exact_->addCluster(move[std::size_t(m)].to, moved, 2 * m + 1, +1);
    }
    std::cout << "Empty clusters re-seeded: " << moves << std::endl;
    repaired_ = true;
    return true;
}

}  // namespace kmeans
