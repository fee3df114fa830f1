// prune.h - keeping a row's centre without scoring it. Each row carries a proven
// lower bound L of its distance to every centre other than its own; after an update
// step the bound is loosened by the largest distance any other centre moved
// (triangle inequality), and at the next pass a row whose distance to its own centre
// stays clearly below L keeps that centre with no product at all. The other rows are
// searched as always, and their bounds taken again from the search's scores.
//
// Why a kept row's centre is the nearest (search.h's definition): let a be the row's
// centre, D the exact squared distances and D^ their double evaluation, |D^ - D| <=
// g D with g = gamma(d + 2) in any order of the terms. For every other centre j,
// sqrt(D_j) >= L, so D^_j >= (1 - g) L^2; and D^_a <= (1 + g) D_a <= e (1 + g) / (1 - g)
// for any double evaluation e of D_a. So (1 - g) L^2 > e (1 + g) / (1 - g), each side
// rounded the safe way, proves D^_j > D^_a: a is the smallest, and no other centre
// ties with it.
//
// Where L comes from: the search's scan proves D_j - D_c >= G > 0 for every j of a
// group other than the chosen c (search_tiles' gaps), so L^2 = e_c / (1 + g) + G; a
// group measured in double gives L^2 = min D^_j / (1 + g) over its centres but c.
#ifndef KMEANS_PRUNE_H
#define KMEANS_PRUNE_H

#include <cstddef>
#include <memory>

#include "kmeans.h"  // TrainSettings::Prune

namespace kmeans::detail {

class ExactSums;
struct SearchPlan;
struct SearchCounts;

// Centres are taken in groups of consecutive indices, and each row carries one bound
// per group (over the group's centres other than its own): after an update step, a
// group's bounds are loosened by the farthest any of its centres moved, and only the
// groups whose bounds fail are examined.
int prune_group_size(int k, int d);

// Upper bounds of the farthest each group's centres moved between two sets of k
// augmented centre rows (stride d+1): one float per group into `drift`.
void group_drift(const float* before, const float* after, int k, int d, int groupSize,
                 float* drift);

// A training run's pruning: per row its bounds (n * groups floats; 0 proves nothing)
// and the cluster the run's totals hold it in (n ints), the centres before the update
// step, the step's drift per group, and the centres transposed for the examined groups.
struct PruneState {
    int groupSize = 0;
    int groups = 0;
    std::unique_ptr<float[]> lower;
    std::unique_ptr<int[]> previous;
    std::unique_ptr<float[]> before;
    std::unique_ptr<float[]> drift;
    std::unique_ptr<float[]> transposed;  // d x k: value t of centre j at t * k + j
    // Scratch for the workers, kept from pass to pass (no fresh pages each time): per
    // row its distance to its centre and a slot of the rows left to search, per worker
    // the rows gathered for a search.
    std::unique_ptr<double[]> known;
    std::unique_ptr<int[]> left;
    struct Gather {
        std::unique_ptr<float[]> data;
        std::size_t floats = 0;
        float* get(std::size_t n);  // null when memory is short
    };
    static constexpr int kWorkers = 64;
    mutable Gather gathers[kWorkers];
    // The totals hold every row in previous[]: the next pass adds the rows that moved.
    bool totalsKept = false;
    // Whether this pass's searched rows take fresh bounds from their scores: not while
    // the centres still move too far for bounds to serve (their cost would be lost).
    bool refresh = false;

    // False when memory is short (nothing is then held).
    bool allocate(int n, int k, int d);
    // Bytes allocate() takes.
    static std::size_t bytes(int n, int k, int d);
    // Every bound back to 0: the next pass searches every row.
    void forget(int n);
    // The pass's centres transposed (k augmented rows).
    void prepare(const float* centres, int k, int d);
};

// What one block's search needs of the run's pruning: its rows' bounds and the
// clusters the totals hold them in (null: the pass adds every row anew), from the
// block's first row on, and the run's state.
struct PruneBlock {
    float* lower;
    const int* previous;
    const PruneState* state;
    std::size_t first;  // the block's first row in the run
};

// One slice of rows (stride d+1) whose centres nearest[] holds from the last pass:
// each row's bounds `lower` are loosened by the drift; a row whose bounds all prove
// its centre keeps it, one with a few failing groups has them (and its own) measured
// in double, the others are searched against the plan (bounds: their row_bounds).
// `lower` is updated for every row. Adds the rows kept to counts->kept and those
// measured by groups to counts->grouped.
// `known` (or null): count doubles, where the test measured row i's distance to its
// centre, that distance (spread_distance), else left as it was.
// `left`: count ints of scratch; `gather`: the worker's buffer.
void prune_search(const SearchPlan& plan, const float* rows, int count, const float* bounds,
                  float* lower, const PruneState& state, int* nearest, SearchCounts* counts,
                  double* known, int* left, PruneState::Gather& gather);

// A search worker's slice of a block (its rows from the block's row `first` on):
// prune_search, then the rows into `sums` (or null) - those that moved only, when the
// block's `previous` is set.
void prune_slice(const SearchPlan& plan, const float* rows, int count, const float* bounds,
                 int* nearest, SearchCounts* counts, ExactSums* sums, const PruneBlock& block,
                 std::size_t first, int worker);

// What KMEANS_PRUNE asks of a run whose settings leave it to the environment: off (unset,
// or "off"), on ("on": bounds taken once the centres move little) or always ("always":
// from the first pass, for the tests). Pruning changes no output, only the time.
TrainSettings::Prune pruning_mode();

}  // namespace kmeans::detail

#endif  // KMEANS_PRUNE_H
