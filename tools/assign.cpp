// assign.cpp - the assigner driver: its options and their echo. The run itself
// (assign_run.h) reads a model, then every descriptor file named by a list file
// (SIFT type 0, 1 or 3), gives each descriptor its nearest centre and writes one line
// of per-cluster counts per file; with -d it also writes every descriptor's 32-byte
// region record, stamped with its file and cluster index.
#include <iostream>

#include "assign_run.h"
#include "kmeans.h"
#include "options.h"

static void print_help(const char* program) {
    std::cerr << "Use: " << program << " [OPTION] <list file> <model file> <result file>"
              << std::endl;
    std::cerr << "OPTIONS:" << std::endl;
    std::cerr << "\t-t <number>:\tSIFT type" << std::endl;
    std::cerr << "\t-d <string>:\tSIFT region descriptor file" << std::endl;
    std::cerr << "\t-b <number>:\tBlock size" << std::endl;
    std::cerr << "\t-p <number>:\tNumber of processors" << std::endl;
}

int main(int argc, char** argv) {
    AssignOptions options;
    char bad = 0;
    const ParseResult parsed = parse_assign_options(argc, argv, options, bad);
    if (!options_accepted(parsed, bad, argv[0], print_help)) return 1;
    KMeans::nb_threads = options.threads;

    std::cout << "list: " << options.listFile << std::endl;
    std::cout << "model: " << options.modelFile << std::endl;
    std::cout << "result: " << options.resultFile << std::endl;
    std::cout << "options: " << std::endl;
    std::cout << "\ttype: " << options.type << std::endl;
    std::cout << "\tdescriptor: " << (options.regionFile ? options.regionFile : "<null>")
              << std::endl;
    std::cout << "\tblock size: " << options.blockSize << std::endl;
    std::cout << "\tp: " << options.threads << std::endl;

    if (options.blockSize < 1) {
        std::cerr << "Error: the block size (-b) must be at least 1." << std::endl;
        return 1;
    }
    if (options.threads < 1) {
        std::cerr << "Error: the number of processors (-p) must be at least 1." << std::endl;
        return 1;
    }
    if (!KMeans::blasReady()) return 1;
    return run_assign(options);
}
