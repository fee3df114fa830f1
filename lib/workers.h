// workers.h - the one way work fans out over POSIX threads here. run_workers(count,
// fn) calls fn(0) .. fn(count - 1), fn(0) on the calling thread and each other on a
// thread of its own (default attributes), and returns once every call has; the join
// makes each worker's writes visible to the caller. A thread that cannot be started
// costs only speed: its call runs on the caller, after fn(0). Callers give workers
// disjoint parts of the output, so nothing here locks.
//
// kMostWorkers caps the callers whose workers each take a share of a fixed job (the
// readers' fills, the totals' cluster ranges, the product library's buffers): more
// than that on one machine only splits the work finer.
#ifndef KMEANS_WORKERS_H
#define KMEANS_WORKERS_H

#include <pthread.h>

#include <memory>
#include <new>
#include <type_traits>

namespace kmeans {

constexpr int kMostWorkers = 64;

template <typename Fn>
void run_workers(int count, Fn&& fn) {
    if (count <= 0) return;
    using Call = std::remove_reference_t<Fn>;
    struct Job {
        Call* fn;
        int index;
        pthread_t handle;
        bool started;
    };
    const auto work = [](void* job) -> void* {
        Job* j = static_cast<Job*>(job);
        (*j->fn)(j->index);
        return nullptr;
    };
    std::unique_ptr<Job[]> jobs(count > 1 ? new (std::nothrow) Job[std::size_t(count)] : nullptr);
    if (!jobs) {  // one worker, or no room to track more: all on this thread
        for (int i = 0; i < count; ++i) fn(i);
        return;
    }
    for (int i = 1; i < count; ++i) {
        jobs[i] = Job{&fn, i, pthread_t(), false};
        jobs[i].started = pthread_create(&jobs[i].handle, nullptr, work, &jobs[i]) == 0;
    }
    fn(0);
    for (int i = 1; i < count; ++i) {
        if (jobs[i].started)
            pthread_join(jobs[i].handle, nullptr);
        else
            fn(i);
    }
}

}  // namespace kmeans

#endif  // KMEANS_WORKERS_H
