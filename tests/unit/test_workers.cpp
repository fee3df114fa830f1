// run_workers: every part runs exactly once, the first on the caller, and a part
// whose thread cannot start still runs (on the caller) rather than being lost.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "workers.h"

using namespace kmeans;

TEST(RunWorkers, EveryPartOnceAndTheFirstOnTheCaller) {
    for (int count : {1, 5, 300}) {
        std::vector<int> calls(static_cast<std::size_t>(count), 0);
        std::vector<pthread_t> by(static_cast<std::size_t>(count));
        run_workers(count, [&](int i) {
            calls[std::size_t(i)] += 1;  // each part its own slot: no lock
            by[std::size_t(i)] = pthread_self();
        });
        EXPECT_EQ(calls, std::vector<int>(static_cast<std::size_t>(count), 1)) << count;
        EXPECT_TRUE(pthread_equal(by[0], pthread_self())) << count;
        if (count > 1) {
            EXPECT_FALSE(pthread_equal(by[1], pthread_self())) << count;
        }
    }
}

// With no thread allowed (RLIMIT_NPROC, which binds all but root: a child of a root
// run first becomes nobody), pthread_create fails: every part must still run, all of
// them on the caller.
TEST(RunWorkers, PartsWhoseThreadCannotStartRunOnTheCaller) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(4);
        const rlimit limit = {1, 1};
        if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(4);
        pthread_t probe;
        if (pthread_create(
                &probe, nullptr, [](void*) -> void* { return nullptr; }, nullptr) == 0)
            _exit(4);  // threads still start: nothing to test
        int calls[6] = {0, 0, 0, 0, 0, 0};
        bool onCaller = true;
        const pthread_t self = pthread_self();
        run_workers(6, [&](int i) {
            calls[i] += 1;
            onCaller = onCaller && pthread_equal(pthread_self(), self);
        });
        for (int c : calls)
            if (c != 1) _exit(1);
        _exit(onCaller ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 4) GTEST_SKIP() << "threads cannot be forbidden here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a part lost or run twice, 2: not on the caller";
}
