// min_cluster_mt.cpp - the multi-threaded nearest-centre search. One call splits
// its rows into at most KMeans::nb_threads slices of at least 16 rows, runs one
// worker per slice (workers.h: the first on the calling thread, each other on a
// POSIX thread of its own) and joins them all before returning. Workers read the
// shared rows, bounds and centres and write disjoint slices of `scores` and
// `nearest` and their own record, so no lock is needed; the join makes their
// results visible to the caller.
#include <iostream>
#include <memory>
#include <new>

#include "detail/exact_sums.h"
#include "detail/product.h"
#include "detail/prune.h"
#include "detail/search.h"
#include "kmeans.h"
#include "workers.h"

namespace kmeans {

using namespace detail;

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
    const float* bounds;      // the rows' bounds, or null
    ExactSums* sums;          // the worker's pass accumulator, or null
    SearchCounts counts;      // written by the worker
    const PruneBlock* prune;  // or null
    std::size_t first;        // the slice's first row in the block
    int worker;
};

void* KMeans::threadRoutine(void* arg) {
    MinClusterTask* task = static_cast<MinClusterTask*>(arg);
    if (task->count <= 0) return nullptr;
    if (task->prune != nullptr)
        prune_slice(*task->plan, task->rows, task->count, task->bounds, task->nearest,
                    &task->counts, task->sums, *task->prune, task->first, task->worker);
    else
        search_tiles(*task->plan, task->rows, task->count, task->bounds, task->scores,
                     task->nearest, &task->counts, task->sums);
    return nullptr;
}

bool KMeans::blasReady() {
    if (score_product_concurrent()) return true;
    std::cerr << "Error: the OpenBLAS loaded is its sequential build, which cannot run "
                 "products on several threads at once: install libopenblas0-pthread."
              << std::endl;
    return false;
}

// At most one worker per 16 rows, and never more than nb_threads.
int KMeans::maxSearchWorkers(int n) {
    const int threads = nb_threads < 1 ? 1 : nb_threads;
    const int slices = n / 16 + (n % 16 != 0 ? 1 : 0);
    return slices < 1 ? 1 : slices < threads ? slices : threads;
}

void KMeans::searchBlock(const SearchPlan& plan, const float* rows, int n, const float* bounds,
                         float* scores, int* nearest, bool announce, SearchCounts* counts,
                         ExactSums* const* parts, const PruneBlock* prune) {
    const int threads = nb_threads < 1 ? 1 : nb_threads;
    int chunk = n / threads + (n % threads != 0 ? 1 : 0);
    if (chunk <= 15) chunk = 16;  // small blocks run on fewer threads
    const int workers = n / chunk + (n % chunk != 0 ? 1 : 0);
    if (announce) std::cout << "#thread = " << workers << std::endl;
    if (workers <= 0) return;

    std::unique_ptr<MinClusterTask[]> tasks(new MinClusterTask[std::size_t(workers)]);
    const std::size_t stride = std::size_t(plan.d) + 1;
    for (int t = 0; t < workers; ++t) {
        const std::size_t first = std::size_t(t) * std::size_t(chunk);
        MinClusterTask& task = tasks[t];
        task.rows = rows + first * stride;
        task.count = (t < workers - 1) ? chunk : n - (workers - 1) * chunk;
        task.d = plan.d;
        task.k = plan.k;
        task.centers = plan.centers;
        task.scores = scores != nullptr ? scores + first * std::size_t(plan.k) : nullptr;
        task.nearest = nearest + first;
        task.plan = &plan;
        task.bounds = bounds != nullptr ? bounds + first : nullptr;
        task.sums = parts != nullptr ? parts[t] : nullptr;
        task.counts = SearchCounts();
        task.prune = prune;
        task.first = first;
        task.worker = t;
    }
    run_workers(workers, [&](int t) { threadRoutine(&tasks[t]); });
    if (counts != nullptr)
        for (int t = 0; t < workers; ++t) *counts += tasks[t].counts;
}

// Every worker walks the whole block's nearest array and adds the rows of its own
// range of clusters, ranges balanced by the block's member counts: no two workers
// touch one accumulator, and the integer totals do not depend on who adds what.
void KMeans::accumulateBlock(ExactSums& sums, const float* rows, int n, const int* nearest,
                             const float* centers, const int* previous) {
    const int k = sums.clusters();
    int workers = nb_threads < 1 ? 1 : nb_threads > kMostWorkers ? kMostWorkers : nb_threads;
    if (workers > n / 1024) workers = n / 1024;  // a small block is not worth a thread
    std::unique_ptr<int[]> members(workers > 1 ? new (std::nothrow) int[std::size_t(k)] : nullptr);
    if (!members) {
        sums.addRows(rows, n, nearest, centers, 0, k, previous);  // on this thread
        return;
    }
    int bounds[kMostWorkers + 1];
    balanced_cluster_ranges(nearest, n, k, workers, members.get(), bounds);
    run_workers(workers, [&](int t) {
        sums.addRows(rows, n, nearest, centers, bounds[t], bounds[t + 1], previous);
    });
}

}  // namespace kmeans
