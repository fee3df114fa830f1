// assign_run.h - an assigner's run, in the pieces an assigner driver strings
// together: the command line and its echo, the model and R, the list read and the
// outputs opened, then one step per list entry. A driver that holds its rows
// otherwise calls assign_rows with its own matrix. Every piece prints its own
// messages and progress lines; none exits. assign strings them all together on one
// process; assign_mpi runs the model and R on every rank, the list and the outputs
// on its first rank, and the entries on the rank that was given them.
#ifndef KMEANS_ASSIGN_RUN_H
#define KMEANS_ASSIGN_RUN_H

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "kmeans.h"
#include "messages.h"
#include "options.h"
#include "sift_io.h"

// --labels: every descriptor's cluster index, in list order then file order, held
// until the run's end and then written whole or not at all (atomic_file.h): .npy
// (int32, one dimension) when the name ends in .npy, else text, the count and then
// one index per line, as the trainers' min cluster file. Holds 4 bytes a descriptor:
// each entry's nearest array as the search left it (no copy), or the pieces another
// process sent.
class Labels {
public:
    // An entry's n indices.
    void keep(std::unique_ptr<int[]> nearest, int n);
    // Indices as bytes in the machine's order, split anywhere (the pieces of another
    // process's output): false when memory is short.
    bool append(const char* bytes, std::size_t size);
    std::uint64_t count() const { return count_; }
    // False when the file could not be written completely.
    bool write(const char* path) const;

private:
    struct Part {
        std::unique_ptr<int[]> values;
        std::size_t n;
    };
    std::vector<Part> parts_;
    std::string carry_;  // the first bytes of an index whose rest is still to come
    std::uint64_t count_ = 0;
};

// What every entry of one run shares.
struct AssignContext {
    const kmeans::KMeans* model;
    int type;               // SIFT type of the descriptor files
    int blockSize;          // rows per search block
    float* scores;          // blockSize * k floats of scratch
    int* counts;            // k ints of scratch
    std::ostream* result;   // the result file, its header written
    std::ostream* regions;  // the region file, or null without -d
    const char* resultPath;
    const char* regionPath;
    Labels* labels;             // --labels on the process that writes them, else null
    std::ostream* labelStream;  // --labels on a process that sends them, else null
    std::uint64_t* assigned;    // descriptors assigned so far (the closing line)
};

// The context of a run with these options, writing to these streams (the regions
// only with -d).
AssignContext assign_context(const AssignOptions& options, const kmeans::KMeans& model,
                             float* scores, int* counts, std::ostream& result,
                             std::ostream& regions, std::uint64_t& assigned);

// The list's entries and the two output files, created and the result's header
// written. Entries past the list's last name have an empty name.
struct AssignOutputs {
    int count = 0;
    std::vector<std::string> names;
    std::ofstream regions;  // open only with a region file
    std::ofstream result;
};

// Reads the command line, sets KMeans::nb_threads, echoes the settings and checks
// them. Returns -1 when the run goes on, otherwise the exit status after the
// messages (usage text, or the refused -b or -p), or 0 after --help or --version.
// With --quiet, standard output is dropped from here on (the echo included), until
// print_closing_line.
int accept_assign_options(int argc, char** argv, AssignOptions& options);

// With --quiet, after a complete run: standard output back, and its one line,
// "Assigned <descriptors> descriptors of <entries> files." Nothing otherwise.
void print_closing_line(const AssignOptions& options, int entries, std::uint64_t descriptors);

// Reads a model file: false after the message ("Cannot open file..." or the
// format's refusal).
bool load_model(const char* path, kmeans::KMeans& model);

// R, block size * k floats, and the product library's scratch for one worker (each
// entry reserves the workers its own block can run): false after the message.
bool allocate_scores(int blockSize, int k, std::unique_ptr<float[]>& scores);

// Reads the list's count and every name it holds (names past the last one are
// empty): false after the message.
bool load_list(const char* path, int& count, std::vector<std::string>& names);

// The list read, every output checked against every input, then the region file
// and the result file created (in that order) and the result's header "count k"
// written: false after the message. Nothing is created unless the list reads and
// nothing clashes.
bool open_outputs(const AssignOptions& options, int k, AssignOutputs& outputs);

// Both outputs closed, then the labels written (with --labels): false after the
// message.
bool close_outputs(const AssignOptions& options, AssignOutputs& outputs,
                   const Labels* labels = nullptr);

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

// The whole run on one process, after accept_assign_options. Returns the exit
// status.
int run_assign(const AssignOptions& options);

#endif
