// main.cpp - the trainer driver, built twice: kmeans_mt (multi-threaded search) and
// kmeans_st (single-threaded search). Its options and their echo; the run itself
// (train.h) reads the data file into one augmented matrix (n rows of d+1 floats),
// trains k centres and writes the model file and, on request, every vector's
// nearest centre.
#include <iostream>

#include "atomic_file.h"
#include "kmeans.h"
#include "options.h"
#include "train.h"

static void print_help(const char* program) {
    std::cerr << "Use: " << program << " [OPTION] <data file> <model file>" << std::endl;
    std::cerr << "OPTIONS:" << std::endl;
    std::cerr << "\t-i <number>:\tNumber of iterations" << std::endl;
    std::cerr << "\t-k <number>:\tNumber of clusters" << std::endl;
    std::cerr << "\t-b <number>:\tBlock size" << std::endl;
    std::cerr << "\t-m <string>:\tFile contaning individus' min cluster" << std::endl;
    std::cerr << "\t-p <number>:\tNumber of processors" << std::endl;
}

int main(int argc, char** argv) {
    atomic_file_guard_signals();
    TrainerOptions options;
    char bad = 0;
    const ParseResult parsed = parse_trainer_options(argc, argv, options, bad);
    if (!options_accepted(parsed, bad, argv[0], print_help)) return 1;
    KMeans::nb_threads = options.threads;

    std::cout << "data file: " << options.dataFile << std::endl;
    std::cout << "model file: " << options.modelFile << std::endl;
    std::cout << "options: " << std::endl;
    std::cout << "\ti: " << options.maxIter << std::endl;
    std::cout << "\tk: " << options.k << std::endl;
    std::cout << "\tb: " << options.blockSize << std::endl;
    std::cout << "\tm: " << (options.minClusterFile ? options.minClusterFile : "<null>")
              << std::endl;
    std::cout << "\tp: " << options.threads << std::endl;

    if (options.k < 1) {
        std::cerr << "Error: the number of clusters (-k) must be at least 1." << std::endl;
        return 1;
    }
    if (options.threads < 1) {
        std::cerr << "Error: the number of processors (-p) must be at least 1." << std::endl;
        return 1;
    }
    if (!KMeans::blasReady()) return 1;
    return run_trainer(options);
}
