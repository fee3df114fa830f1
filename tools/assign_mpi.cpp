// assign_mpi.cpp - the assigner across MPI ranks: `mpirun -np R assign_mpi [OPTION]
// <list file> <model file> <result file>`, the command line, messages and output
// bytes of assign whatever R.
//
// Every rank reads the command line and the model and allocates R (the ranks agree
// on the outcome, and a refusal is printed once). Rank 0 alone reads the list,
// checks the outputs against the inputs, creates the output files and prints: it
// cuts the list into R contiguous runs of about equal bytes of descriptor files
// (each entry weighs its file's size plus one; a name that is no regular file weighs
// one), sends every other rank its run, then processes its own run as assign would.
// Every other rank processes its run with its standard output, standard error,
// count lines and region records going to an Outbox (mpi_outbox.h); rank 0 then
// relays each rank's output in rank order. The result file, the region file and the
// transcript therefore come out in list order, the same bytes as assign's, and grow
// line by line as assign's do.
//
// Memory of a rank: what assign holds (the model, R, one descriptor file at a
// time), plus the output it holds until its turn, up to KMEANS_MPI_HOLD_BYTES in
// memory (64 MiB unless set) and the rest in an unlinked temporary file. With
// --labels, a rank's labels travel as a stream of its output (4 bytes a descriptor)
// and rank 0 holds every rank's until it writes the file at the end.
//
// A rank that fails (an output that cannot be written, memory short for an entry)
// prints its message in list order, as assign would, and every rank stops: the exit
// status, 0 or 1, is agreed by every rank before it ends. No rank waits for one that
// has stopped.
#include <mpi.h>
#include <sys/stat.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "assign_run.h"
#include "kmeans.h"
#include "mpi_outbox.h"
#include "mpi_run.h"
#include "quiet_output.h"

using namespace kmeans;

namespace {

// The Outbox streams of the two files, and the tags of a rank's run.
constexpr int kResultStream = 2;
constexpr int kRegionStream = 3;
constexpr int kLabelStream = 4;
constexpr int kRunTag = 100;    // first and end entry of the run
constexpr int kNamesTag = 101;  // its names (and 102: their pieces)

// The list cut into runs of about equal bytes, each sent to its rank: every name
// is looked at once, by rank 0.
std::vector<int> split_list(const AssignOutputs& outputs) {
    std::vector<std::uint64_t> weights(outputs.names.size());
    for (std::size_t i = 0; i < weights.size(); ++i) {
        struct stat st;
        const bool regular = stat(outputs.names[i].c_str(), &st) == 0 && S_ISREG(st.st_mode);
        weights[i] = (regular ? std::uint64_t(st.st_size) : 0) + 1;
    }
    const std::vector<int> bounds = split_by_weight(weights, outputs.count, mpi_ranks());
    for (int r = 1; r < mpi_ranks(); ++r) {
        const int run[2] = {bounds[std::size_t(r)], bounds[std::size_t(r) + 1]};
        MPI_Send(run, 2, MPI_INT, r, kRunTag, MPI_COMM_WORLD);
        std::string names;  // one per line; names hold no white space
        for (int i = run[0]; i < run[1] && std::size_t(i) < outputs.names.size(); ++i)
            names += outputs.names[std::size_t(i)] + "\n";
        send_text(names, r, kNamesTag);
    }
    return bounds;
}

// Rank 0: the outputs, its own run, then every other rank's output in turn.
int first_rank(const AssignOptions& options, const KMeans& model, float* scores,
               std::uint64_t& assigned, int& entries) {
    AssignOutputs outputs;
    int opened = open_outputs(options, model.k, outputs) ? 1 : 0;
    MPI_Bcast(&opened, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (!opened) return 1;
    entries = outputs.count;
    const std::vector<int> bounds = split_list(outputs);

    std::unique_ptr<int[]> counts(new int[std::size_t(model.k)]);
    Labels labels;
    AssignContext run = assign_context(options, model, scores, counts.get(), outputs.result,
                                       outputs.regions, assigned);
    if (options.labelFile != nullptr) run.labels = &labels;
    bool ok = true;
    for (int i = 0; ok && i < bounds[1]; ++i) {
        const std::size_t at = std::size_t(i);
        ok = assign_entry(run, i, at < outputs.names.size() ? outputs.names[at] : "");
    }
    // The other ranks' pieces, written as assign writes its own: each count line
    // flushed once whole, region records flushed as they come.
    ok = relay_ranks(ok, [&](int stream, const char* data, std::size_t size) {
        if (stream == kLabelStream) {
            if (labels.append(data, size)) return true;
            std::cerr << "Cannot allocate the labels of another rank." << std::endl;
            return false;
        }
        std::ofstream& file = stream == kResultStream ? outputs.result : outputs.regions;
        file.write(data, std::streamsize(size));
        if (stream == kRegionStream || data[size - 1] == '\n') file.flush();
        return bool(file) ||
               cannot_write(stream == kResultStream ? options.resultFile : options.regionFile);
    });
    return ok && close_outputs(options, outputs, run.labels) ? 0 : 1;
}

// Every other rank: its run, its output held or sent through the Outbox.
int other_rank(const AssignOptions& options, const KMeans& model, float* scores,
               std::uint64_t& assigned) {
    int opened = 0;
    MPI_Bcast(&opened, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (!opened) return 1;
    int bounds[2] = {0, 0};
    MPI_Recv(bounds, 2, MPI_INT, 0, kRunTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    const std::string text = receive_text(0, kNamesTag);
    std::vector<std::string> names;  // entries past the list's last name have none
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        names.push_back(text.substr(at, end - at));

    Outbox box;
    OutboxBuffer out(box, kOutStream), err(box, kErrStream), result(box, kResultStream),
        regions(box, kRegionStream), labels(box, kLabelStream);
    std::ostream resultFile(&result), regionFile(&regions), labelFile(&labels);
    std::unique_ptr<int[]> counts(new int[std::size_t(model.k)]);
    AssignContext run =
        assign_context(options, model, scores, counts.get(), resultFile, regionFile, assigned);
    if (options.labelFile != nullptr) run.labelStream = &labelFile;
    bool ok = true;
    // With --quiet the transcript is dropped here, as rank 0 drops its own.
    std::streambuf* const console[2] = {std::cout.rdbuf(options.quiet ? discarding_buffer() : &out),
                                        std::cerr.rdbuf(&err)};
    for (int i = bounds[0]; ok && i < bounds[1] && box.poll(); ++i) {
        const std::size_t at = std::size_t(i - bounds[0]);
        ok = assign_entry(run, i, at < names.size() ? names[at] : "");
        box.close();  // the entry's last piece goes as soon as rank 0 wants it
        ok = ok && !box.failed();
    }
    std::cout.rdbuf(console[0]);
    std::cerr.rdbuf(console[1]);
    return box.finish(!ok);
}

int assign_across_ranks(int argc, char** argv) {
    const int rank = mpi_rank();
    AssignOptions options;
    int refused = 0;
    if (rank == 0) {
        refused = accept_assign_options(argc, argv, options);
    } else {
        HeldOutput quiet;  // the same command line on every rank: rank 0 speaks for all
        refused = accept_assign_options(argc, argv, options);
    }
    if (refused >= 0) return refused;

    KMeans model;
    std::unique_ptr<float[]> scores;
    if (!on_every_rank([&] {
            return KMeans::blasReady() && load_model(options.modelFile, model) &&
                   allocate_scores(options.blockSize, model.k, scores);
        }))
        return 1;
    std::uint64_t assigned = 0;
    int entries = 0;
    const int status = rank == 0 ? first_rank(options, model, scores.get(), assigned, entries)
                                 : other_rank(options, model, scores.get(), assigned);
    if (options.quiet) {
        // The closing line counts every rank's descriptors, and only a run that ended
        // well on every rank has one.
        std::uint64_t total = 0;
        int agreed = status;
        MPI_Reduce(&assigned, &total, 1, MPI_UINT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
        MPI_Allreduce(&status, &agreed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
        if (rank == 0 && agreed == 0) print_closing_line(options, entries, total);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Only the main thread calls MPI; the search's threads never do.
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    const int status = assign_across_ranks(argc, argv);
    int agreed = status;
    MPI_Allreduce(&status, &agreed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    MPI_Finalize();
    return agreed;
}
