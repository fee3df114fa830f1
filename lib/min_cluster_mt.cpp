// min_cluster_mt.cpp - the multi-threaded nearest-centre search. One call splits
// its rows into at most KMeans::nb_threads slices of at least 16 rows, starts one
// POSIX thread per slice and joins them all before returning. Workers read the
// shared rows and centres and write disjoint slices of `scores` and `nearest`, so
// no lock is needed; the join makes their results visible to the caller.
#include <pthread.h>

#include <iostream>
#include <memory>
#include <new>

#include "kmeans.h"

void* KMeans::threadRoutine(void* arg) {
    const MinClusterTask* task = static_cast<const MinClusterTask*>(arg);
    if (task->count <= 0) return nullptr;
    score_tiles(task->rows, task->count, task->d, task->k, task->centers, task->scores,
                task->nearest);
    return nullptr;
}

void KMeans::minCluster(const float* rows, int n, int d, int k, const float* centers,
                        float* scores, int* nearest) {
    blas_single_thread();
    const int threads = nb_threads < 1 ? 1 : nb_threads;
    int chunk = n / threads + (n % threads != 0 ? 1 : 0);
    if (chunk <= 15) chunk = 16;  // small blocks run on fewer threads
    const int workers = n / chunk + (n % chunk != 0 ? 1 : 0);
    std::cout << "#thread = " << workers << std::endl;
    if (workers <= 0) return;

    std::unique_ptr<MinClusterTask[]> tasks(new MinClusterTask[std::size_t(workers)]);
    std::unique_ptr<pthread_t[]> handles(new pthread_t[std::size_t(workers)]);
    std::unique_ptr<bool[]> started(new bool[std::size_t(workers)]);
    const std::size_t stride = std::size_t(d) + 1;
    for (int t = 0; t < workers; ++t) {
        const std::size_t first = std::size_t(t) * std::size_t(chunk);
        MinClusterTask& task = tasks[t];
        task.rows = rows + first * stride;
        task.count = (t < workers - 1) ? chunk : n - (workers - 1) * chunk;
        task.d = d;
        task.k = k;
        task.centers = centers;
        task.scores = scores + first * std::size_t(k);
        task.nearest = nearest + first;
        started[t] = pthread_create(&handles[t], nullptr, &KMeans::threadRoutine, &task) == 0;
        // A thread that cannot be created leaves its slice to the calling thread.
        if (!started[t]) threadRoutine(&task);
    }
    for (int t = 0; t < workers; ++t)
        if (started[t]) pthread_join(handles[t], nullptr);
}
