// assign_run.h - an assigner's run, in the pieces an assigner driver strings
// together: the model and the list read, the outputs opened, then one step per list
// entry. A driver that holds its rows otherwise calls assign_rows with its own
// matrix. Every piece prints its own messages and progress lines; none exits.
#ifndef KMEANS_ASSIGN_RUN_H
#define KMEANS_ASSIGN_RUN_H

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "kmeans.h"
#include "options.h"
#include "sift_io.h"

// What every entry of one run shares.
struct AssignContext {
    const KMeans* model;
    int type;               // SIFT type of the descriptor files
    int blockSize;          // rows per search block
    float* scores;          // blockSize * k floats of scratch
    int* counts;            // k ints of scratch
    std::ostream* result;   // the result file, its header written
    std::ostream* regions;  // the region file, or null without -d
    const char* resultPath;
    const char* regionPath;
};

// Reads a model file: false after the message ("Cannot open file..." or the
// format's refusal).
bool load_model(const char* path, KMeans& model);

// Reads the list's count and every name it holds (names past the last one are
// empty): false after the message.
bool load_list(const char* path, int& count, std::vector<std::string>& names);

// One list entry, index `index`: reads the descriptor file (an unreadable one has its
// message and counts nothing), finds each descriptor's nearest centre, writes the
// entry's count line and its region records stamped with the file and cluster
// index. False, after the message, when an output cannot be written or memory for
// the entry is short: the run stops.
bool assign_entry(const AssignContext& run, int index, const std::string& name);

// The counts (added into run.counts) and region records of one entry's rows: n rows
// of d+1 floats, released as soon as the search is done; regions may be null. `name`
// only words a message.
bool assign_rows(const AssignContext& run, int index, const std::string& name,
                 std::unique_ptr<float[]> rows, int n, std::unique_ptr<SiftRegion[]> regions);

// The whole run, after the settings have been echoed and validated. Returns the exit
// status.
int run_assign(const AssignOptions& options);

#endif
