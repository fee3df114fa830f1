// main.cpp - the trainer driver, built twice: kmeans_mt (multi-threaded search) and
// kmeans_st (single-threaded search). The run (train.h) echoes and checks the
// options, reads the data file into one augmented matrix (n rows of d+1 floats),
// trains k centres and writes the model file and, on request, every vector's
// nearest centre.
#include "atomic_file.h"
#include "kmeans.h"
#include "options.h"
#include "train.h"

using namespace kmeans;

int main(int argc, char** argv) {
    atomic_file_guard_signals();
    TrainerOptions options;
    const int refused = accept_trainer_options(argc, argv, options);
    if (refused >= 0) return refused;
    if (!KMeans::blasReady()) return 1;
    return run_trainer(options);
}
