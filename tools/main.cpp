// main.cpp - the trainer driver, built twice: kmeans_mt (multi-threaded search) and
// kmeans_st (single-threaded search). Reads the data file into one augmented matrix
// (n rows of d+1 floats), trains k centres and writes the model file and, on
// request, every vector's nearest centre.
//
// Memory of a run: the matrix n*(d+1) floats, the nearest array n ints, every row's
// error bound (n floats), the score matrix blockSize*k floats, the centres and
// accumulators O(k*d).
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <new>
#include <string>

#include "atomic_file.h"
#include "block_size.h"
#include "data_file.h"
#include "file_clash.h"
#include "kmeans.h"
#include "options.h"

static void print_help(const char* program) {
    std::cerr << "Use: " << program << " [OPTION] <data file> <model file>" << std::endl;
    std::cerr << "OPTIONS:" << std::endl;
    std::cerr << "\t-i <number>:\tNumber of iterations" << std::endl;
    std::cerr << "\t-k <number>:\tNumber of clusters" << std::endl;
    std::cerr << "\t-b <number>:\tBlock size" << std::endl;
    std::cerr << "\t-m <string>:\tFile contaning individus' min cluster" << std::endl;
    std::cerr << "\t-p <number>:\tNumber of processors" << std::endl;
}

// Writes the nearest-centre array as text, whole or not at all: n, then one index
// per line.
static bool write_min_cluster(const char* path, const int* nearest, int n) {
    AtomicFile file;
    if (!file.open(path)) return false;
    std::FILE* f = file.stream();
    bool ok = std::fprintf(f, "%d\n", n) > 0;
    for (int i = 0; ok && i < n; ++i) ok = std::fprintf(f, "%d\n", nearest[i]) > 0;
    return ok && file.commit();
}

int main(int argc, char** argv) {
    atomic_file_guard_signals();
    KMeans::nb_threads = 4;
    TrainerOptions options;
    char bad = 0;
    const ParseResult parsed = parse_trainer_options(argc, argv, options, bad);
    if (!options_accepted(parsed, bad, argv[0], print_help)) return 1;
    KMeans::nb_threads = options.threads;
    const int maxIter = options.maxIter;
    const int k = options.k;
    int blockSize = options.blockSize;
    const char* minClusterFile = options.minClusterFile;
    const char* dataFile = options.dataFile;
    const char* modelFile = options.modelFile;

    std::cout << "data file: " << dataFile << std::endl;
    std::cout << "model file: " << modelFile << std::endl;
    std::cout << "options: " << std::endl;
    std::cout << "\ti: " << maxIter << std::endl;
    std::cout << "\tk: " << k << std::endl;
    std::cout << "\tb: " << blockSize << std::endl;
    std::cout << "\tm: " << (minClusterFile ? minClusterFile : "<null>") << std::endl;
    std::cout << "\tp: " << KMeans::nb_threads << std::endl;

    if (k < 1) {
        std::cerr << "Error: the number of clusters (-k) must be at least 1." << std::endl;
        return 1;
    }
    if (KMeans::nb_threads < 1) {
        std::cerr << "Error: the number of processors (-p) must be at least 1." << std::endl;
        return 1;
    }
    // Nothing is read or written before this: an output that names an input (or the
    // other output) would destroy it.
    const std::string clash =
        find_file_clash({dataFile}, {modelFile, minClusterFile ? minClusterFile : ""});
    if (!clash.empty()) {
        std::cerr << clash << std::endl;
        return 1;
    }
    // Both outputs can be written (a temporary file created beside each and removed),
    // checked before the data is read: a bad path does not cost a training run.
    for (const char* output : {modelFile, minClusterFile}) {
        if (output != nullptr && !atomic_file_probe(output)) {
            std::cerr << "Cannot open file '" << output << "' for writing." << std::endl;
            return 1;
        }
    }

    DataFile input;
    const MapStatus opened = input.open(dataFile);
    if (opened == MapStatus::cannot_open) {
        std::cerr << "Cannot open file '" << dataFile << "' for reading." << std::endl;
        return 1;
    }
    if (opened != MapStatus::ok) {
        std::cerr << unreadable_message(opened, dataFile) << std::endl;
        return 1;
    }
    int n = 0;
    int d = 0;
    DataStatus status = input.readHeader(n, d);
    if (status != DataStatus::ok) {
        std::cerr << "Error: Wrong format file: '" << dataFile << "'." << std::endl;
        return 1;
    }
    if (n < k) {
        std::cerr << "The number of individus is less than the number of cluster." << std::endl;
        return 1;
    }
    if (blockSize < 1) {
        std::cout << "Try to estimate the block size... ";
        blockSize = estimate_block_size(n, d, k, KMeans::nb_threads);
        std::cout << "[OK]" << std::endl;
        std::cout << "estimated block size = " << blockSize << std::endl;
    }
    std::cout << "Max iter:   " << maxIter << std::endl;
    std::cout << "Number of clusters:  " << k << std::endl;
    std::cout << "Block size: " << blockSize << std::endl;

    float* matrix = nullptr;
    const std::time_t start = std::time(nullptr);
    status = input.readBody(n, d, KMeans::nb_threads, &matrix);
    if (status == DataStatus::no_memory) {
        std::cerr << "Cannot allocate the data matrix: " << n << " x " << d + 1
                  << " floats do not fit in memory." << std::endl;
        return 1;
    }
    if (status != DataStatus::ok) {
        std::cerr << "Error: Wrong format file: '" << dataFile << "'." << std::endl;
        return 1;
    }
    input.close();
    std::cout << "Reading finish ! Time = " << std::time(nullptr) - start << std::endl;
    std::unique_ptr<float[]> data(matrix);

    std::unique_ptr<int[]> nearest(new (std::nothrow) int[std::size_t(n)]);
    if (!nearest) {
        std::cerr << "Cannot allocate the nearest-centre array of " << n << " ints." << std::endl;
        return 1;
    }
    KMeans model;
    if (!model.run(data.get(), n, d, k, maxIter, nearest.get(), blockSize)) return 1;
    // No assignment pass ran: the min cluster file gets every vector's nearest seed.
    if (maxIter <= 0 && minClusterFile != nullptr) model.nearestCentres(data.get(), n, nearest.get());
    int exitStatus = 0;
    if (!model.writeModel(modelFile)) {
        std::cerr << "Cannot open file '" << modelFile << "' for writing." << std::endl;
        exitStatus = 1;
    }
    std::cout << "K-mean finish !" << std::endl;
    data.reset();
    if (minClusterFile != nullptr && !write_min_cluster(minClusterFile, nearest.get(), n)) {
        std::cerr << "Cannot open file '" << minClusterFile << "' for writing." << std::endl;
        return 1;
    }
    return exitStatus;
}
