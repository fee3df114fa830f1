// train.cpp - the trainer's run: outputs, data, training, model and min cluster file.
//
// Memory of a run: the matrix n*(d+1) floats, the nearest array n ints, every row's
// error bound (n floats), the score matrix blockSize*k floats, the centres and
// accumulators O(k*d), and the product library's scratch (product.h).
#include "train.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <new>
#include <string>

#include "atomic_file.h"
#include "block_size.h"
#include "data_file.h"
#include "file_clash.h"
#include "kmeans.h"
#include "npy_header.h"
#include "train_settings.h"

using namespace kmeans;

namespace {

void wrong_format(const char* path) {
    std::cerr << unreadable_message(ReadStatus::wrong_format, path) << std::endl;
}

void print_usage(std::ostream& out, const char* program) {
    out << "Use: " << program << " [OPTION] <data file> <model file>" << std::endl;
    out << "OPTIONS:" << std::endl;
    out << "\t-i <number>:\tNumber of iterations" << std::endl;
    out << "\t-k <number>:\tNumber of clusters" << std::endl;
    out << "\t-b <number>:\tBlock size" << std::endl;
    out << "\t-m <string>:\tFile contaning individus' min cluster" << std::endl;
    out << "\t-p <number>:\tNumber of processors" << std::endl;
}

// The usage of a refused command line, on standard error, as it has always been.
void print_help(const char* program) { print_usage(std::cerr, program); }

// --help: the usage with the long options and their defaults, on standard output.
int print_long_help(const char* program) {
    print_usage(std::cout, program);
    std::cout << "\t-i 30, -k 1000, -b estimated, -m none, -p 4 by default\n"
                 "LONG OPTIONS:\n"
                 "\t--init=random|kmeans++|<model file>\tSeeding: k distinct rows (default), "
                 "k-means|| then k-means++, or the centres of a model (text, .npy, .fvecs)\n"
                 "\t--seed=N\tDraws keyed by N, the same everywhere (default: random uses "
                 "libc's srand(1000); kmeans++ and restarts use 1000)\n"
                 "\t--restarts=R\tR seedings (seed, seed+1, ...), the lowest final distortion "
                 "kept (default 1)\n"
                 "\t--tol=X\tStop when the relative decrease of the distortion falls below X "
                 "(default 0: only a rise stops)\n"
                 "\t--empty=keep|split\tEmpty clusters kept (default) or re-seeded at the "
                 "rows farthest from their centres, which leave their clusters\n"
                 "\t--labels=FILE\tEvery row's nearest centre under the written model (.npy "
                 "int32 or text)\n"
                 "\t--prune=off|on|always\tKeep the rows whose bounds prove their centre "
                 "without scoring them: off (default), on once the centres move little, always; "
                 "the same model either way\n"
                 "\t--quiet\tOnly errors and the final line\n"
                 "\t--version\tThe program's name and version\n"
                 "\t--help\tThis text\n"
                 "A model path ending in .npy or .fvecs is written as float32, exactly."
              << std::endl;
    return 0;
}

}  // namespace

int accept_trainer_options(int argc, char** argv, TrainerOptions& options) {
    char bad = 0;
    const ParseResult parsed = parse_trainer_options(argc, argv, options, bad);
    if (parsed == ParseResult::version) return print_version(KMEANS_PROGRAM);
    if (parsed == ParseResult::help) return print_long_help(argv[0]);
    if (!options_accepted(parsed, bad, argv[0], print_help)) return 1;
    KMeans::nb_threads = options.threads;
    if (options.quiet) quiet_begin();

    std::cout << "data file: " << options.dataFile << std::endl;
    std::cout << "model file: " << options.modelFile << std::endl;
    std::cout << "options: " << std::endl;
    std::cout << "\ti: " << options.maxIter << std::endl;
    std::cout << "\tk: " << options.k << std::endl;
    std::cout << "\tb: " << options.blockSize << std::endl;
    std::cout << "\tm: " << (options.minClusterFile ? options.minClusterFile : "<null>")
              << std::endl;
    std::cout << "\tp: " << options.threads << std::endl;
    echo_train_settings(options);

    if (options.k < 1) {
        std::cerr << "Error: the number of clusters (-k) must be at least 1." << std::endl;
        return 1;
    }
    if (options.threads < 1) {
        std::cerr << "Error: the number of processors (-p) must be at least 1." << std::endl;
        return 1;
    }
    TrainSettings settings;
    if (!train_settings(options, settings)) return 1;
    return -1;
}

void settle_block_size(TrainerOptions& options, int n, int d) {
    if (options.blockSize < 1) {
        std::cout << "Try to estimate the block size... ";
        options.blockSize = estimate_block_size(n, d, options.k, options.threads);
        std::cout << "[OK]" << std::endl;
        std::cout << "estimated block size = " << options.blockSize << std::endl;
    }
    std::cout << "Max iter:   " << options.maxIter << std::endl;
    std::cout << "Number of clusters:  " << options.k << std::endl;
    std::cout << "Block size: " << options.blockSize << std::endl;
}

bool enough_rows(const TrainerOptions& options, int n) {
    if (n >= options.k) return true;
    std::cerr << too_few_rows_text() << std::endl;
    return false;
}

void body_unread(ReadStatus status, const char* path, int rows, int d) {
    if (status == ReadStatus::no_memory)
        std::cerr << data_matrix_text(rows, d) << std::endl;
    else
        wrong_format(path);
}

std::unique_ptr<int[]> new_nearest_array(int n) {
    std::unique_ptr<int[]> nearest(new (std::nothrow) int[std::size_t(n > 0 ? n : 1)]);
    if (!nearest)
        std::cerr << "Cannot allocate the nearest-centre array of " << n << " ints." << std::endl;
    return nearest;
}

bool check_outputs(const TrainerOptions& options) {
    const char* minClusterFile = options.minClusterFile;
    const char* labelsFile = options.labelsFile;
    const char* init = options.init ? options.init : "";
    const std::string clash = find_file_clash(
        {options.dataFile, init},
        {options.modelFile, minClusterFile ? minClusterFile : "", labelsFile ? labelsFile : ""});
    if (!clash.empty()) {
        std::cerr << clash << std::endl;
        return false;
    }
    for (const char* output : {options.modelFile, minClusterFile, labelsFile}) {
        if (output != nullptr && !atomic_file_probe(output)) {
            cannot_write(output);
            return false;
        }
    }
    return true;
}

bool load_data(TrainerOptions& options, std::unique_ptr<float[]>& matrix, int& n, int& d) {
    const char* dataFile = options.dataFile;
    DataFile input;
    const ReadStatus opened = input.open(dataFile);
    if (opened != ReadStatus::ok) {
        std::cerr << unreadable_message(opened, dataFile) << std::endl;
        return false;
    }
    if (input.readHeader(n, d) != ReadStatus::ok) {
        wrong_format(dataFile);
        return false;
    }
    if (!enough_rows(options, n)) return false;
    settle_block_size(options, n, d);

    float* cells = nullptr;
    const std::time_t start = std::time(nullptr);
    const ReadStatus body = input.readBody(n, d, options.threads, &cells);
    if (body != ReadStatus::ok) {
        body_unread(body, dataFile, n, d);
        return false;
    }
    input.close();
    std::cout << "Reading finish ! Time = " << std::time(nullptr) - start << std::endl;
    matrix.reset(cells);
    return true;
}

int train_and_write(const TrainerOptions& options, KMeans& model, std::unique_ptr<float[]> matrix,
                    int n, int d) {
    std::unique_ptr<int[]> nearest = new_nearest_array(n);
    if (!nearest) return 1;
    if (!model_fits(options, model, d)) return 1;
    if (!model.run(matrix.get(), n, d, options.k, options.maxIter, nearest.get(),
                   options.blockSize))
        return 1;
    // The labels: one more search, under the centres written. They take the nearest
    // array's place unless the min cluster file still needs it (then n ints more).
    std::unique_ptr<int[]> labels;
    if (options.labelsFile != nullptr) {
        const bool own = options.minClusterFile != nullptr;
        if (own) labels = new_nearest_array(n);
        if ((own && !labels) || !KMeans::reserveSearch(n)) {
            if (!own || labels) insufficient_memory();
            return 1;
        }
    }
    // No assignment pass ran: the min cluster file gets every vector's nearest seed.
    if (options.maxIter <= 0 && options.minClusterFile != nullptr) {
        if (!KMeans::reserveSearch(n)) {
            insufficient_memory();
            return 1;
        }
        model.nearestCentres(matrix.get(), n, nearest.get());
    }
    int status = 0;
    if (!model.writeModel(options.modelFile)) {
        cannot_write(options.modelFile);
        status = 1;
    }
    quiet_end();
    std::cout << "K-mean finish !" << std::endl;
    if (options.minClusterFile != nullptr) {
        if (options.labelsFile == nullptr) matrix.reset();  // only the nearest array is needed
        if (!write_indices(options.minClusterFile, nearest.get(), n, false)) {
            cannot_write(options.minClusterFile);
            return 1;
        }
    }
    if (options.labelsFile != nullptr) {
        int* out = labels ? labels.get() : nearest.get();
        model.nearestCentres(matrix.get(), n, out);
        if (!write_indices(options.labelsFile, out, n,
                           name_ends_with(options.labelsFile, ".npy"))) {
            cannot_write(options.labelsFile);
            return 1;
        }
    }
    return status;
}

int run_trainer(TrainerOptions& options) {
    if (!check_outputs(options)) return 1;
    KMeans model;
    if (!prepare_model(options, model)) return 1;
    std::unique_ptr<float[]> matrix;
    int n = 0;
    int d = 0;
    if (!load_data(options, matrix, n, d)) return 1;
    return train_and_write(options, model, std::move(matrix), n, d);
}
