// mpi_outbox.h - the output of every rank, written by rank 0 in rank order.
//
// A driver whose ranks each work through a contiguous run of a list, while only
// rank 0 prints and writes the output files, funnels the output of every other rank
// (standard output, standard error, the bytes of each file) through an Outbox: a
// sequence of pieces, each tagged with its stream and at most kPieceBytes long.
// Rank 0 does its own run first, writing as it goes, then calls relay_ranks, which
// takes ranks 1, 2, ... in turn and writes each one's pieces as they come. Files and
// transcript therefore come out in list order, whatever the number of ranks, and
// each piece is written (and flushed) as it arrives: a killed run leaves what the
// single-process run would have left at some earlier point.
//
// A rank works ahead of its turn. Until rank 0 calls for it, its closed pieces are
// held: in memory up to a budget (the environment's KMEANS_MPI_HOLD_BYTES, default
// 64 MiB), past it in a temporary file in $TMPDIR (else /tmp), unlinked as soon as it
// is created. So a rank's memory stays bounded whatever the length of the list or
// the size of its records. Once called, it sends what it holds, then every piece as
// it closes.
//
// Streams: 0 is standard output and 1 standard error (rank 0 prints them); a driver
// numbers its files from 2, below kEndTag. Tags kEndTag and kControlTag are the
// relay's; a driver's own messages use tags above them.
//
// Protocol, rank 0 to rank r: a first word, go or stop; after go exactly one more,
// done (once r's end has arrived) or stop (rank 0 stopped while r was sending).
// Rank r to rank 0, after go only: pieces, then one end message carrying r's status.
// Every receive posted meets exactly one send, so no message is left over and no
// rank waits for one that never comes.
#ifndef KMEANS_MPI_OUTBOX_H
#define KMEANS_MPI_OUTBOX_H

#include <mpi.h>

#include <cstddef>
#include <cstdio>
#include <deque>
#include <functional>
#include <streambuf>
#include <string>

constexpr int kOutStream = 0;
constexpr int kErrStream = 1;
constexpr int kEndTag = 64;
constexpr int kControlTag = 65;
constexpr std::size_t kPieceBytes = std::size_t(1) << 20;

// The sending side, on every rank but 0. Not copyable (it owns a pending request).
class Outbox {
public:
    Outbox();
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Adds bytes to a stream: the open piece grows, or is closed and a new one opened.
    // Ignored once the rank has stopped or failed.
    void write(int stream, const char* data, std::size_t size);
    // Closes the open piece: held, or sent once called for.
    void close();
    // Looks, without waiting, for rank 0's word: sends what is held when called for.
    // False once rank 0 has said stop: the rank's work is not wanted any more.
    bool poll();
    // The end of this rank's work, `failed` or not: waits for its turn (unless
    // stopped), sends what is held and the end message, then waits for rank 0's
    // last word. Its streams' messages (or the held pieces' own failure) are in
    // stream 1 already. Returns the rank's status: 0, or 1 when it failed or was
    // stopped.
    int finish(bool failed);
    // True once a held piece could not be kept (the temporary file): the rank must
    // stop; its message goes to rank 0 before the end.
    bool failed() const { return !error_.empty(); }

private:
    struct Piece {
        int stream;
        std::string bytes;
    };
    void hold(int stream, const std::string& bytes);
    void send(int stream, const char* data, std::size_t size);
    void sendHeld();
    bool take();  // the word just received: false on stop
    void fail(const std::string& message);

    std::string open_;
    int openStream_ = kOutStream;
    std::deque<Piece> held_;
    std::size_t heldBytes_ = 0;
    std::size_t budget_;
    std::FILE* spill_ = nullptr;  // the held pieces past the budget
    std::string spillName_;
    std::string error_;
    MPI_Request request_ = MPI_REQUEST_NULL;
    int word_ = 0;
    bool called_ = false;
    bool stopped_ = false;
    bool lastWord_ = false;  // rank 0's second word is in
};

// A stream buffer that writes into one stream of an Outbox: std::cout and std::cerr
// swapped onto two of them send a rank's transcript to rank 0, an std::ostream on
// another sends a file's bytes. Unbuffered: the pieces keep the order of the writes
// across streams.
class OutboxBuffer : public std::streambuf {
public:
    OutboxBuffer(Outbox& box, int stream) : box_(box), stream_(stream) {}

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    Outbox& box_;
    int stream_;
};

// Rank 0, after its own run: calls every other rank in turn and hands its pieces to
// `write` (streams 0 and 1 go to std::cout and std::cerr), which returns false,
// after its message, when a file cannot be written. With `ok` false (rank 0 has
// already failed) every rank is told to stop. Returns false when anything failed:
// rank 0's own run, a write, or a rank's end status; from then on the remaining
// ranks are told to stop and nothing more is written.
bool relay_ranks(bool ok, const std::function<bool(int, const char*, std::size_t)>& write);

#endif
