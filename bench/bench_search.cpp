// bench_search - the nearest-centre search and one training iteration against a bare
// sgemm of the same shapes, on a SIFT-like data set held in memory.
//
//   BareSgemm/T    every row scored by the engine's product library (product.h), in
//                  tiles of 384 rows per thread-slice of 50,000-row blocks, T threads
//                  (the machine's bound: no argmax, no accumulation)
//   Search/T       KMeans::minCluster over the same blocks (nb_threads = T)
//   Iteration/T    one training iteration in steady state (search + accumulation +
//                  update): a 3-iteration run minus a 1-iteration run, over 2; with
//                  the share of rows that the float scores did not settle
//
// Built twice: bench_search_mt (multi-threaded search) and bench_search_st. The size
// comes from BENCH_N (rows, default 1,000,000), BENCH_K (default 1000), d = 128;
// BENCH_OFFSET (default 0) is added to every value (data far from zero).
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <vector>

#include "detail/product.h"
#include "detail/search.h"
#include "kmeans.h"

using namespace kmeans;
using namespace kmeans::detail;

namespace {

const int kD = 128;
const int kBlock = 50000;

struct Data {
    int n = 0;
    int k = 0;
    std::unique_ptr<float[]> rows;     // n x (d+1), column d = -0.5
    std::unique_ptr<float[]> centres;  // k x (d+1), column d = |c|^2
    std::unique_ptr<float[]> scores;   // kBlock x k
    std::unique_ptr<int[]> nearest;
};

int env_int(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : fallback;
}

// SIFT-like: integer values 0..255 around a few hundred blob centres.
Data& data() {
    static Data dset;
    if (dset.rows) return dset;
    dset.n = env_int("BENCH_N", 1000000);
    dset.k = env_int("BENCH_K", 1000);
    const float offset = float(env_int("BENCH_OFFSET", 0));
    const std::size_t stride = kD + 1;
    dset.rows.reset(new float[std::size_t(dset.n) * stride]);
    std::mt19937_64 gen(12345);
    std::exponential_distribution<float> expo(1.0f / 25.0f);
    std::normal_distribution<float> noise(0.f, 9.f);
    std::vector<float> blob(std::size_t(500) * kD);
    for (float& c : blob) c = expo(gen);
    for (int i = 0; i < dset.n; ++i) {
        const float* c = &blob[std::size_t(gen() % 500) * kD];
        float* r = &dset.rows[std::size_t(i) * stride];
        for (int j = 0; j < kD; ++j) {
            int v = int(c[j] + noise(gen) + 0.5f);
            r[j] = float(v < 0 ? 0 : (v > 255 ? 255 : v)) + offset;
        }
        r[kD] = -0.5f;
    }
    dset.centres.reset(new float[std::size_t(dset.k) * stride]);
    for (int c = 0; c < dset.k; ++c) {
        const float* r = &dset.rows[std::size_t(gen() % dset.n) * stride];
        float* out = &dset.centres[std::size_t(c) * stride];
        for (int j = 0; j < kD; ++j) out[j] = r[j];
        double sq = 0;
        for (int j = 0; j < kD; ++j) sq += double(out[j]) * out[j];
        out[kD] = float(sq);
    }
    dset.scores.reset(new float[std::size_t(kBlock) * dset.k]);
    dset.nearest.reset(new int[dset.n]);
    return dset;
}

struct Slice {
    const float* rows;
    int count;
    float* scores;
    const Data* d;
};

// The slice in tiles of 384 rows, each tile's scores into one buffer that stays in
// cache, through the engine's product library: the floor of the search's own tiles.
void* bare_worker(void* arg) {
    const Slice* s = static_cast<const Slice*>(arg);
    const int tile = 384;
    std::vector<float> scores(std::size_t(tile) * std::size_t(s->d->k));
    for (int first = 0; first < s->count; first += tile) {
        const int m = std::min(tile, s->count - first);
        score_product(m, s->d->k, kD + 1, s->rows + std::size_t(first) * (kD + 1), kD + 1,
                      s->d->centres.get(), kD + 1, scores.data(), s->d->k);
    }
    return nullptr;
}

void BareSgemm(benchmark::State& state) {
    Data& d = data();
    score_product_single_thread();
    const int threads = int(state.range(0));
    for (auto _ : state) {
        for (int first = 0; first < d.n; first += kBlock) {
            const int size = std::min(kBlock, d.n - first);
            const int chunk = (size + threads - 1) / threads;
            std::vector<pthread_t> h(threads);
            std::vector<Slice> s(threads);
            for (int t = 0; t < threads; ++t) {
                const int lo = t * chunk;
                s[t] = {d.rows.get() + std::size_t(first + lo) * (kD + 1),
                        std::max(0, std::min(chunk, size - lo)),
                        d.scores.get() + std::size_t(lo) * d.k, &d};
                pthread_create(&h[t], nullptr, bare_worker, &s[t]);
            }
            for (int t = 0; t < threads; ++t) pthread_join(h[t], nullptr);
        }
        benchmark::ClobberMemory();
    }
    state.counters["GFLOP/s"] = benchmark::Counter(2.0 * d.n * double(d.k) * (kD + 1) * 1e-9,
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void Search(benchmark::State& state) {
    Data& d = data();
    KMeans::nb_threads = int(state.range(0));
    std::cout.setstate(std::ios::failbit);  // silence the per-call thread lines
    for (auto _ : state) {
        for (int first = 0; first < d.n; first += kBlock) {
            const int size = std::min(kBlock, d.n - first);
            KMeans::minCluster(d.rows.get() + std::size_t(first) * (kD + 1), size, kD, d.k,
                               d.centres.get(), d.scores.get(), d.nearest.get() + first);
        }
    }
    std::cout.clear();
    state.counters["GFLOP/s"] = benchmark::Counter(2.0 * d.n * double(d.k) * (kD + 1) * 1e-9,
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

// Steady-state cost of one iteration: a run of 3 iterations minus a run of 1, over 2,
// so the one-time costs of a run (seeding, first touch of the score matrix) drop out.
void Iteration(benchmark::State& state) {
    Data& d = data();
    KMeans::nb_threads = int(state.range(0));
    std::cout.setstate(std::ios::failbit);
    SearchCounts last;
    for (auto _ : state) {
        double seconds[2];
        for (int r = 0; r < 2; ++r) {
            KMeans model;
            model.setData(d.rows.get(), d.n, kD);
            model.init(d.k);
            const auto t0 = std::chrono::steady_clock::now();
            model.run(r == 0 ? 1 : 3, d.nearest.get(), kBlock);
            seconds[r] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (!model.passCounts().empty()) last = model.passCounts().back();
        }
        state.SetIterationTime((seconds[1] - seconds[0]) / 2);
    }
    std::cout.clear();
    // Rows of the third pass whose float scores left several candidates (measured
    // in double), in percent.
    if (last.rows > 0) {
        state.counters["narrowed%"] = 100.0 * double(last.narrowed) / double(last.rows);
        state.counters["exhaustive%"] = 100.0 * double(last.exhaustive) / double(last.rows);
    }
}

}  // namespace

BENCHMARK(BareSgemm)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(Search)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(Iteration)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);
BENCHMARK_MAIN();
