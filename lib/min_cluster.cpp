// min_cluster.cpp - the single-threaded nearest-centre search: every row of the
// block on the calling thread. Prints nothing and ignores KMeans::nb_threads.
#include "detail/exact_sums.h"
#include "detail/prune.h"
#include "detail/search.h"
#include "kmeans.h"

namespace kmeans {

using namespace detail;

void KMeans::searchBlock(const SearchPlan& plan, const float* rows, int n, const float* bounds,
                         float* scores, int* nearest, bool, SearchCounts* counts,
                         ExactSums* const* parts, const PruneBlock* prune) {
    ExactSums* sums = parts ? parts[0] : nullptr;
    if (prune != nullptr)
        prune_slice(plan, rows, n, bounds, nearest, counts, sums, *prune, 0, 0);
    else
        search_tiles(plan, rows, n, bounds, scores, nearest, counts, sums);
}

int KMeans::maxSearchWorkers(int) { return 1; }

bool KMeans::blasReady() { return true; }  // one thread calls the product

void KMeans::accumulateBlock(ExactSums& sums, const float* rows, int n, const int* nearest,
                             const float* centers, const int* previous) {
    sums.addRows(rows, n, nearest, centers, 0, sums.clusters(), previous);
}

}  // namespace kmeans
