// mpi_run.cpp - held output, agreement, weighted split and long texts across ranks.
#include "mpi_run.h"

#include <mpi.h>

#include <iostream>

#include "quiet_output.h"

int mpi_rank() {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank;
}

int mpi_ranks() {
    int size = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    return size;
}

HeldOutput::HeldOutput(Hold what)
    : savedOut_(std::cout.rdbuf(what == Hold::both ? static_cast<std::streambuf*>(&out_)
                                                   : discarding_buffer())),
      savedErr_(std::cerr.rdbuf(&err_)) {}

HeldOutput::~HeldOutput() { release(false); }

void HeldOutput::settle(bool print) {
    const std::string out = out_.str(), err = err_.str();
    out_.str(std::string());
    err_.str(std::string());
    if (!print || savedOut_ == nullptr) return;
    if (!out.empty()) savedOut_->sputn(out.data(), std::streamsize(out.size()));
    if (!err.empty()) savedErr_->sputn(err.data(), std::streamsize(err.size()));
    savedOut_->pubsync();
    savedErr_->pubsync();
}

void HeldOutput::release(bool print) {
    if (savedOut_ == nullptr) return;
    settle(print);
    std::cout.rdbuf(savedOut_);
    std::cerr.rdbuf(savedErr_);
    savedOut_ = savedErr_ = nullptr;
}

int first_failing_rank(bool ok) {
    const int size = mpi_ranks();
    int mine = ok ? size : mpi_rank(), first = size;
    MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    return first;
}

bool on_every_rank(const std::function<bool()>& step) {
    const int rank = mpi_rank(), size = mpi_ranks();
    HeldOutput held;
    const int first = first_failing_rank(step());
    held.release(first == size ? rank == 0 : rank == first);
    return first == size;
}

std::vector<int> split_by_weight(const std::vector<std::uint64_t>& weights, int count, int parts) {
    // before[i]: the weight of the named entries 0..i-1. Entries past the names weigh
    // 1 each, so a list whose count far exceeds its names costs no memory here.
    const std::size_t named =
        weights.size() < std::size_t(count) ? weights.size() : std::size_t(count);
    std::vector<std::uint64_t> before(named + 1, 0);
    for (std::size_t i = 0; i < named; ++i) before[i + 1] = before[i] + weights[i];
    const auto prefix = [&](int i) {
        const std::size_t at = std::size_t(i);
        return at <= named ? before[at] : before[named] + (at - named);
    };
    const std::uint64_t total = prefix(count);
    std::vector<int> bounds(std::size_t(parts) + 1, 0);
    bounds[std::size_t(parts)] = count;
    for (int r = 1; r < parts; ++r) {
        // total * r / parts without the product, which could pass 2^64.
        const std::uint64_t p = std::uint64_t(parts), q = total / p, m = total % p;
        const std::uint64_t target = q * std::uint64_t(r) + m * std::uint64_t(r) / p;
        int lo = bounds[std::size_t(r) - 1], hi = count;  // first i with prefix(i) >= target
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (prefix(mid) >= target)
                hi = mid;
            else
                lo = mid + 1;
        }
        if (lo > bounds[std::size_t(r) - 1] && target - prefix(lo - 1) < prefix(lo) - target) --lo;
        bounds[std::size_t(r)] = lo;
    }
    return bounds;
}

namespace {
constexpr std::uint64_t kTextPiece = std::uint64_t(1) << 30;  // below INT_MAX, MPI's count
}

void send_text(const std::string& text, int dest, int tag) {
    std::uint64_t size = text.size();
    MPI_Send(&size, 1, MPI_UINT64_T, dest, tag, MPI_COMM_WORLD);
    for (std::uint64_t at = 0; at < size; at += kTextPiece) {
        const std::uint64_t n = size - at < kTextPiece ? size - at : kTextPiece;
        MPI_Send(text.data() + at, int(n), MPI_BYTE, dest, tag + 1, MPI_COMM_WORLD);
    }
}

std::string receive_text(int source, int tag) {
    std::uint64_t size = 0;
    MPI_Recv(&size, 1, MPI_UINT64_T, source, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    std::string text(std::size_t(size), '\0');
    for (std::uint64_t at = 0; at < size; at += kTextPiece) {
        const std::uint64_t n = size - at < kTextPiece ? size - at : kTextPiece;
        MPI_Recv(&text[std::size_t(at)], int(n), MPI_BYTE, source, tag + 1, MPI_COMM_WORLD,
                 MPI_STATUS_IGNORE);
    }
    return text;
}
