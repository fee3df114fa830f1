// assign.cpp - the assigner driver. The run itself (assign_run.h) echoes and checks
// the settings, reads a model, then every descriptor file named by a list file
// (SIFT type 0, 1 or 3), gives each descriptor its nearest centre and writes one line
// of per-cluster counts per file; with -d it also writes every descriptor's 32-byte
// region record, stamped with its file and cluster index.
#include "assign_run.h"
#include "kmeans.h"

using namespace kmeans;

int main(int argc, char** argv) {
    AssignOptions options;
    const int refused = accept_assign_options(argc, argv, options);
    if (refused >= 0) return refused;
    if (!KMeans::blasReady()) return 1;
    return run_assign(options);
}
