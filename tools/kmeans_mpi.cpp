// kmeans_mpi.cpp - the trainer across MPI ranks: the same options, messages and
// output files as kmeans_mt, the data read in shares and the passes' totals summed
// over the ranks. Launched as `mpirun -np R kmeans_mpi [options] <data> <model>`.
//
// Every rank reads only its share of the data file (DataFile::readShare: the rows of
// its byte range of a text body, located by an exclusive prefix sum of the values
// each range holds, or a row range of a binary file), draws the same seeds, and runs
// the same loop (KMeans::run with peers): its own search and exact integer totals,
// then one allreduce of the totals and counts per pass, after which every rank makes
// the same update step. Integer totals do not depend on how the rows are split, so
// the model and the min cluster file are the bytes kmeans_mt writes, whatever R.
//
// Output: rank 0 prints the one transcript, as kmeans_mt does (its per-block lines
// count rank 0's own blocks). The other ranks' standard output is dropped and their
// standard error held: at every point where the ranks agree on an outcome, a failure
// is reported by the lowest rank that met it, once. Rank 0 writes the model (the same
// atomic write) once every rank is done; the min cluster file is written by all
// ranks at once, each its own lines at its offset (MPI-IO), into the temporary that
// rank 0 then renames into place.
//
// Memory per rank: its share of the matrix (about n/R rows of d+1 floats), n/R ints
// of nearest centres, the model and its totals O(k*d), and a buffer of k*(d+2)
// 16-byte cells for the allreduce.
#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "data_file.h"
#include "kmeans.h"
#include "mpi_run.h"
#include "npy_header.h"
#include "options.h"
#include "train.h"
#include "train_settings.h"

using namespace kmeans;

namespace {

// This rank and the agreement that reports a failure once. Ranks other than 0 drop
// their standard output and hold their standard error for the whole run.
class Ranks {
public:
    Ranks() {
        if (rank_ != 0) held_.emplace(HeldOutput::Hold::errors);
    }

    int rank() const { return rank_; }
    int size() const { return size_; }

    // True when `ok` holds on every rank. Otherwise the lowest rank where it does
    // not prints what it held (rank 0 has printed already); the others drop theirs.
    bool agree(bool ok) {
        const int first = first_failing_rank(ok);
        if (held_) held_->settle(first == rank_);
        return first == size_;
    }

private:
    const int rank_ = mpi_rank();
    const int size_ = mpi_ranks();
    std::optional<HeldOutput> held_;
};

// Sum of 16-byte integer cells, for the allreduce of the totals. MPI may hand over
// buffers with any alignment: cells are copied in and out.
void add_cells(void* in, void* inout, int* len, MPI_Datatype*) {
    const unsigned char* a = static_cast<const unsigned char*>(in);
    unsigned char* b = static_cast<unsigned char*>(inout);
    for (int i = 0; i < *len; ++i, a += sizeof(TotalCell), b += sizeof(TotalCell)) {
        TotalCell x;
        TotalCell y;
        std::memcpy(&x, a, sizeof x);
        std::memcpy(&y, b, sizeof y);
        y += x;
        std::memcpy(b, &y, sizeof y);
    }
}

// What a training run shares across the ranks (KMeans::run's peers).
class MpiPeers : public RunPeers {
public:
    MpiPeers(Ranks& ranks, int totalRows, int firstRow, int rows, int d, const float* matrix)
        : ranks_(ranks), total_(totalRows), first_(firstRow), rows_(rows), d_(d), matrix_(matrix) {
        MPI_Type_contiguous(int(sizeof(TotalCell)), MPI_BYTE, &cell_);
        MPI_Type_commit(&cell_);
        MPI_Op_create(&add_cells, 1, &add_);
    }
    ~MpiPeers() override {
        MPI_Op_free(&add_);
        MPI_Type_free(&cell_);
    }
    MpiPeers(const MpiPeers&) = delete;
    MpiPeers& operator=(const MpiPeers&) = delete;

    bool agree(bool ok) override { return ranks_.agree(ok); }
    double totalRows() override { return total_; }
    float largest(float value) override {
        float all = value;
        MPI_Allreduce(&value, &all, 1, MPI_FLOAT, MPI_MAX, MPI_COMM_WORLD);
        return all;
    }

    bool share(TotalCell* cells, std::size_t count) override {
        // One allreduce, in pieces below 2^31 cells (MPI counts are int).
        const std::size_t piece = std::size_t(1) << 30;
        for (std::size_t at = 0; at < count; at += piece)
            if (MPI_Allreduce(MPI_IN_PLACE, cells + at, int(std::min(piece, count - at)), cell_,
                              add_, MPI_COMM_WORLD) != MPI_SUCCESS)
                return false;
        return true;
    }

    long long firstRow() override { return first_; }

    void gatherIndices(std::vector<int>& indices) override {
        const int mine = int(indices.size());
        std::vector<int> counts(std::size_t(ranks_.size()));
        MPI_Allgather(&mine, 1, MPI_INT, counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
        std::vector<int> offsets(counts.size(), 0);
        for (std::size_t r = 1; r < counts.size(); ++r) offsets[r] = offsets[r - 1] + counts[r - 1];
        std::vector<int> all(std::size_t(offsets.back() + counts.back()));
        MPI_Allgatherv(indices.data(), mine, MPI_INT, all.data(), counts.data(), offsets.data(),
                       MPI_INT, MPI_COMM_WORLD);
        indices.swap(all);
    }

    void bestOf(double& value, int& index) override {
        // The largest value, then the lowest index among the ranks that have it.
        double best = value;
        MPI_Allreduce(&value, &best, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        int mine = value == best ? index : INT_MAX;
        int lowest = INT_MAX;
        MPI_Allreduce(&mine, &lowest, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
        value = best;
        index = lowest;
    }

    // Each row comes from the one rank that holds it: its bits, zeros elsewhere,
    // combined by bitwise or (a sum would turn -0 into +0).
    void gatherRows(const int* indices, int count, float* rows) override {
        const std::size_t stride = std::size_t(d_) + 1;
        std::memset(rows, 0, sizeof(float) * std::size_t(count) * stride);
        for (int i = 0; i < count; ++i) {
            const long long at = (long long)indices[i] - first_;
            if (at >= 0 && at < rows_)
                std::memcpy(rows + std::size_t(i) * stride, matrix_ + std::size_t(at) * stride,
                            sizeof(float) * std::size_t(d_));
        }
        const std::size_t words = std::size_t(count) * stride;
        const std::size_t piece = std::size_t(1) << 30;
        for (std::size_t at = 0; at < words; at += piece)
            MPI_Allreduce(MPI_IN_PLACE, rows + at, int(std::min(piece, words - at)), MPI_UINT32_T,
                          MPI_BOR, MPI_COMM_WORLD);
    }

private:
    Ranks& ranks_;
    int total_;
    int first_;
    int rows_;
    int d_;
    const float* matrix_;
    MPI_Datatype cell_;
    MPI_Op add_;
};

// This rank's share of the data file, read as kmeans_mt reads the whole (the same
// messages and progress lines, printed by rank 0). False on every rank after the
// message when any rank failed.
bool load_share(Ranks& ranks, TrainerOptions& options, std::unique_ptr<float[]>& matrix, int& n,
                int& d, int& firstRow, int& rows) {
    const char* dataFile = options.dataFile;
    // Every rank opens the file and reads its own part: a pipe or a device would give
    // each rank other bytes, or none (and opening a pipe can wait for ever).
    struct stat info;
    const bool regular = stat(dataFile, &info) != 0 || S_ISREG(info.st_mode);
    if (!regular)
        std::cerr << "Error: '" << dataFile
                  << "' is not a regular file: the ranks each read their own part of the data "
                     "file."
                  << std::endl;
    if (!ranks.agree(regular)) return false;
    DataFile input;
    ReadStatus status = input.open(dataFile);
    if (status == ReadStatus::ok) status = input.readHeader(n, d);
    if (status != ReadStatus::ok) std::cerr << unreadable_message(status, dataFile) << std::endl;
    if (!ranks.agree(status == ReadStatus::ok)) return false;
    if (!enough_rows(options, n)) return false;  // the same on every rank
    settle_block_size(options, n, d);

    const std::time_t start = std::time(nullptr);
    std::uint64_t values = 0;
    status = input.countShare(ranks.rank(), ranks.size(), values);
    if (status != ReadStatus::ok) std::cerr << unreadable_message(status, dataFile) << std::endl;
    if (!ranks.agree(status == ReadStatus::ok)) return false;
    std::uint64_t before = 0;
    std::uint64_t all = 0;
    MPI_Exscan(&values, &before, 1, MPI_UINT64_T, MPI_SUM, MPI_COMM_WORLD);
    MPI_Allreduce(&values, &all, 1, MPI_UINT64_T, MPI_SUM, MPI_COMM_WORLD);
    if (ranks.rank() == 0) before = 0;  // Exscan leaves rank 0's undefined
    if (data_format(dataFile) == DataFormat::text && all < std::uint64_t(n) * std::uint64_t(d)) {
        body_unread(ReadStatus::wrong_format, dataFile, n, d);
        return false;  // the body ends early: the same on every rank
    }
    float* cells = nullptr;
    status = input.readShare(n, d, ranks.rank(), ranks.size(), before, options.threads, &cells,
                             firstRow, rows);
    if (status != ReadStatus::ok) body_unread(status, dataFile, rows, d);
    matrix.reset(cells);
    if (!ranks.agree(status == ReadStatus::ok)) return false;
    input.close();
    std::cout << "Reading finish ! Time = " << std::time(nullptr) - start << std::endl;
    return true;
}

// A file of one index per row, as kmeans_mt writes it: text ("n" then one index per
// line: the min cluster file, and labels not named .npy) or .npy int32 (labels).
// Every rank formats its own rows and writes them at its offset (an exclusive prefix
// sum of the lengths) into the temporary that rank 0 created (rank 0 first writes the
// head); rank 0 renames it into place once all have written. False on every rank when
// any write failed.
bool write_indices_shared(Ranks& ranks, const char* path, int n, const int* index, int rows,
                          bool npy) {
    std::string text;
    if (npy) {
        if (ranks.rank() == 0) text = npy_header("<i4", "(" + std::to_string(n) + ",)");
        text.append(reinterpret_cast<const char*>(index), sizeof(int) * std::size_t(rows));
    } else {
        if (ranks.rank() == 0) text = std::to_string(n) + "\n";
        char number[16];
        for (int i = 0; i < rows; ++i) {
            const int len = std::snprintf(number, sizeof number, "%d\n", index[i]);
            text.append(number, std::size_t(len));
        }
    }
    AtomicFile file;
    // A temporary with a name: the other ranks open it to write their lines.
    int opened = ranks.rank() == 0 ? int(file.open(path, true)) : 1;
    MPI_Bcast(&opened, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (!opened) return false;
    std::string name = ranks.rank() == 0 ? file.writing() : std::string();
    unsigned long long length = name.size();
    MPI_Bcast(&length, 1, MPI_UNSIGNED_LONG_LONG, 0, MPI_COMM_WORLD);
    name.resize(std::size_t(length));
    MPI_Bcast(&name[0], int(length), MPI_CHAR, 0, MPI_COMM_WORLD);

    unsigned long long size = text.size();
    unsigned long long offset = 0;
    MPI_Exscan(&size, &offset, 1, MPI_UNSIGNED_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
    if (ranks.rank() == 0) offset = 0;
    MPI_File out;
    bool ok = MPI_File_open(MPI_COMM_WORLD, name.c_str(), MPI_MODE_WRONLY, MPI_INFO_NULL, &out) ==
              MPI_SUCCESS;
    if (ok) {
        const std::size_t piece = std::size_t(1) << 30;
        for (std::size_t at = 0; ok && at < text.size(); at += piece) {
            const int count = int(std::min(piece, text.size() - at));
            MPI_Status written;
            int got = 0;
            ok = MPI_File_write_at(out, MPI_Offset(offset + at), text.data() + at, count, MPI_CHAR,
                                   &written) == MPI_SUCCESS &&
                 MPI_Get_count(&written, MPI_CHAR, &got) == MPI_SUCCESS && got == count;
        }
        ok = MPI_File_close(&out) == MPI_SUCCESS && ok;
    }
    if (!ranks.agree(ok)) return false;
    int committed = ranks.rank() == 0 ? int(file.commit()) : 1;
    MPI_Bcast(&committed, 1, MPI_INT, 0, MPI_COMM_WORLD);
    return committed != 0;
}

int train(Ranks& ranks, TrainerOptions& options) {
    bool ok = ranks.rank() != 0 || check_outputs(options);  // rank 0 probes the outputs
    if (!ranks.agree(ok)) return 1;
    KMeans model;  // with --init=<model file>, every rank reads it
    if (!ranks.agree(prepare_model(options, model))) return 1;
    std::unique_ptr<float[]> matrix;
    int n = 0, d = 0, firstRow = 0, rows = 0;
    if (!load_share(ranks, options, matrix, n, d, firstRow, rows)) return 1;

    std::unique_ptr<int[]> nearest = new_nearest_array(rows);
    MpiPeers peers(ranks, n, firstRow, rows, d, matrix.get());
    if (!ranks.agree(nearest != nullptr)) return 1;

    if (!ranks.agree(model_fits(options, model, d))) return 1;
    if (!model.run(matrix.get(), rows, d, options.k, options.maxIter, nearest.get(),
                   options.blockSize, &peers))
        return 1;
    // The labels take the nearest array's place unless the min cluster file needs it.
    std::unique_ptr<int[]> labels;
    if (options.labelsFile != nullptr) {
        const bool own = options.minClusterFile != nullptr;
        if (own) labels = new_nearest_array(rows);
        ok = (!own || labels) && KMeans::reserveSearch(rows);
        if (!ok && (!own || labels)) insufficient_memory();
        if (!ranks.agree(ok)) return 1;
    }
    if (options.maxIter <= 0 && options.minClusterFile != nullptr) {
        ok = KMeans::reserveSearch(rows);
        if (!ok) insufficient_memory();
        if (!ranks.agree(ok)) return 1;
        model.nearestCentres(matrix.get(), rows, nearest.get());
    }
    // Every rank is done: rank 0 writes the model.
    ranks.agree(true);
    int status = 0;
    if (ranks.rank() == 0 && !model.writeModel(options.modelFile)) {
        cannot_write(options.modelFile);
        status = 1;
    }
    MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
    quiet_end();
    std::cout << "K-mean finish !" << std::endl;
    if (options.labelsFile == nullptr) matrix.reset();  // only the nearest array is needed
    if (options.minClusterFile != nullptr &&
        !write_indices_shared(ranks, options.minClusterFile, n, nearest.get(), rows, false)) {
        if (ranks.rank() == 0) cannot_write(options.minClusterFile);
        return 1;
    }
    if (options.labelsFile != nullptr) {
        int* out = labels ? labels.get() : nearest.get();
        model.nearestCentres(matrix.get(), rows, out);
        const bool npy = name_ends_with(options.labelsFile, ".npy");
        if (!write_indices_shared(ranks, options.labelsFile, n, out, rows, npy)) {
            if (ranks.rank() == 0) cannot_write(options.labelsFile);
            return 1;
        }
    }
    return status;
}

int run(int argc, char** argv) {
    Ranks ranks;
    TrainerOptions options;
    // The command line is the same on every rank, and so is its outcome.
    const int refused = accept_trainer_options(argc, argv, options);
    if (refused >= 0) return refused;
    if (!ranks.agree(KMeans::blasReady())) return 1;
    return train(ranks, options);
}

}  // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    atomic_file_guard_signals();
    const int status = run(argc, argv);
    MPI_Finalize();
    return status;
}
