// mpi_run.h - what a driver run on several MPI ranks (MPI_COMM_WORLD) needs besides
// its own work: the output of a step taken on every rank held and printed once, an
// outcome every rank agrees on (so that none goes on, or waits, alone), contiguous
// runs of a list balanced by weight, and texts of any length sent between two ranks.
//
// Every routine here that talks to other ranks says so; the others are local.
#ifndef KMEANS_MPI_RUN_H
#define KMEANS_MPI_RUN_H

#include <cstdint>
#include <functional>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

// This process's rank in MPI_COMM_WORLD and the number of ranks.
int mpi_rank();
int mpi_ranks();

// While it lives, std::cout and std::cerr write into two strings of its own (or, with
// Hold::errors, std::cout into nothing); it puts their buffers back when released or
// destroyed. Held text is dropped unless settled or released with `print`.
class HeldOutput {
public:
    enum class Hold { both, errors };
    explicit HeldOutput(Hold what = Hold::both);
    ~HeldOutput();
    HeldOutput(const HeldOutput&) = delete;  // owns the swapped stream buffers
    HeldOutput& operator=(const HeldOutput&) = delete;
    // What was held so far written to the streams (with `print`) or dropped; the
    // streams stay held.
    void settle(bool print);
    // The streams back; with `print`, what was held written to them first thing.
    void release(bool print);

private:
    std::stringbuf out_;
    std::stringbuf err_;
    std::streambuf* savedOut_;
    std::streambuf* savedErr_;
};

// The lowest rank where `ok` is false, or the number of ranks when it holds on every
// rank (a collective call).
int first_failing_rank(bool ok);

// Runs `step` on every rank with its output held, then the ranks agree (a collective
// call): when the step succeeded on all of them, rank 0's output is printed and
// every rank gets true; otherwise the output of the lowest rank where it failed is
// printed, once, and every rank gets false. A refused input thus shows one message,
// whichever ranks refused it.
bool on_every_rank(const std::function<bool()>& step);

// Cuts entries 0..count-1 into `parts` contiguous runs of about equal weight: entry
// i weighs weights[i] while i < weights.size(), 1 past it. Returns parts+1
// boundaries: run r is [bounds[r], bounds[r+1]), possibly empty. Each boundary is
// the one whose weight before it lies nearest to r/parts of the whole. Local.
std::vector<int> split_by_weight(const std::vector<std::uint64_t>& weights, int count, int parts);

// A text of any length from this rank to `dest` (its 64-bit length, then pieces
// below 1 GiB, with the tags `tag` and `tag`+1), and its receipt.
void send_text(const std::string& text, int dest, int tag);
std::string receive_text(int source, int tag);

#endif
