// mpi_outbox.cpp - pieces held, spilled, sent and relayed in rank order.
#include "mpi_outbox.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <new>

#include "messages.h"
#include "mpi_run.h"

using namespace kmeans;

namespace {

constexpr int kGo = 1;
constexpr int kStop = 2;
constexpr int kDone = 3;
constexpr std::size_t kDefaultHold = std::size_t(64) << 20;

// KMEANS_MPI_HOLD_BYTES, or the default when unset or not a number.
std::size_t hold_budget() {
    const char* text = std::getenv("KMEANS_MPI_HOLD_BYTES");
    if (text == nullptr || *text == '\0') return kDefaultHold;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || errno != 0) return kDefaultHold;
    return std::size_t(value);
}

// Waiting for another rank without spinning on a core: a rank that waits for its
// turn may share the node with ranks (and their search threads) that work. The
// pause grows from 50 us to 5 ms, so a stream of pieces is taken at once.
void pause(useconds_t& wait) {
    usleep(wait);
    if (wait < 5000) wait *= 2;
}

void wait_gently(MPI_Request* request) {
    useconds_t wait = 50;
    for (;;) {
        int done = 0;
        MPI_Test(request, &done, MPI_STATUS_IGNORE);
        if (done) return;
        pause(wait);
    }
}

void probe_gently(int source, MPI_Status* status) {
    useconds_t wait = 50;
    for (;;) {
        int found = 0;
        MPI_Iprobe(source, MPI_ANY_TAG, MPI_COMM_WORLD, &found, status);
        if (found) return;
        pause(wait);
    }
}

void tell(int rank, int word) { MPI_Send(&word, 1, MPI_INT, rank, kControlTag, MPI_COMM_WORLD); }

// A held piece in the temporary file: its stream, its length, its bytes.
struct SpillHeader {
    std::int32_t stream;
    std::uint32_t size;
};

}  // namespace

Outbox::Outbox() : budget_(hold_budget()) {
    MPI_Irecv(&word_, 1, MPI_INT, 0, kControlTag, MPI_COMM_WORLD, &request_);
}

Outbox::~Outbox() {
    if (request_ != MPI_REQUEST_NULL) {  // only when finish was never reached
        MPI_Cancel(&request_);
        MPI_Wait(&request_, MPI_STATUS_IGNORE);
    }
    if (spill_ != nullptr) std::fclose(spill_);
}

void Outbox::write(int stream, const char* data, std::size_t size) {
    if (stopped_ || failed()) return;
    if (!open_.empty() && stream != openStream_) close();
    openStream_ = stream;
    while (size > 0) {
        const std::size_t room = kPieceBytes - open_.size();
        const std::size_t n = size < room ? size : room;
        open_.append(data, n);
        data += n;
        size -= n;
        if (open_.size() == kPieceBytes) close();
    }
}

void Outbox::close() {
    if (open_.empty()) return;
    if (!stopped_ && !failed()) {
        if (called_)
            send(openStream_, open_.data(), open_.size());
        else
            hold(openStream_, open_);
    }
    open_.clear();
}

void Outbox::fail(const std::string& message) {
    if (error_.empty()) error_ = message;
}

void Outbox::hold(int stream, const std::string& bytes) {
    // Memory first; once a piece has gone to the file, every later one follows it
    // there, so that the pieces are sent back in the order they were written.
    if (spill_ == nullptr && bytes.size() <= budget_ - heldBytes_) {  // heldBytes_ <= budget_
        held_.push_back(Piece{stream, bytes});
        heldBytes_ += bytes.size();
        return;
    }
    if (spill_ == nullptr) {
        const char* dir = std::getenv("TMPDIR");
        spillName_ =
            std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kmeans-mpi-XXXXXX";
        const int fd = mkstemp(&spillName_[0]);
        if (fd >= 0) {
            unlink(spillName_.c_str());  // gone with the process, however it ends
            spill_ = fdopen(fd, "w+b");
            if (spill_ == nullptr) ::close(fd);
        }
        if (spill_ == nullptr) {
            fail(cannot_write_text(spillName_));
            return;
        }
    }
    const SpillHeader header{std::int32_t(stream), std::uint32_t(bytes.size())};
    if (std::fwrite(&header, sizeof header, 1, spill_) != 1 ||
        std::fwrite(bytes.data(), 1, bytes.size(), spill_) != bytes.size())
        fail(cannot_write_text(spillName_));
}

void Outbox::send(int stream, const char* data, std::size_t size) {
    MPI_Send(data, int(size), MPI_BYTE, 0, stream, MPI_COMM_WORLD);
}

void Outbox::sendHeld() {
    for (const Piece& piece : held_) send(piece.stream, piece.bytes.data(), piece.bytes.size());
    held_.clear();
    heldBytes_ = 0;
    if (spill_ == nullptr) return;
    // A file that failed is not read back: its pieces may be incomplete.
    if (!failed() && (std::fflush(spill_) != 0 || std::fseek(spill_, 0, SEEK_SET) != 0))
        fail(cannot_write_text(spillName_));
    std::string bytes;
    SpillHeader header;
    while (!failed() && std::fread(&header, sizeof header, 1, spill_) == 1) {
        bytes.resize(header.size);
        if (std::fread(&bytes[0], 1, bytes.size(), spill_) != bytes.size()) {
            fail("Cannot open file '" + spillName_ + "' for reading.");
            break;
        }
        send(header.stream, bytes.data(), bytes.size());
    }
    if (!failed() && std::ferror(spill_))
        fail("Cannot open file '" + spillName_ + "' for reading.");
    std::fclose(spill_);
    spill_ = nullptr;
}

bool Outbox::take() {
    const int word = word_;
    if (word == kStop) {
        stopped_ = true;
        lastWord_ = called_;
        return false;
    }
    if (word == kDone) {
        lastWord_ = true;
        return true;
    }
    called_ = true;  // go: rank 0 now takes this rank's pieces, and may still say stop
    MPI_Irecv(&word_, 1, MPI_INT, 0, kControlTag, MPI_COMM_WORLD, &request_);
    sendHeld();
    return true;
}

bool Outbox::poll() {
    if (stopped_) return false;
    if (request_ == MPI_REQUEST_NULL) return true;
    int done = 0;
    MPI_Test(&request_, &done, MPI_STATUS_IGNORE);
    return done ? take() : true;
}

int Outbox::finish(bool failed) {
    close();
    if (!called_ && !stopped_) {
        wait_gently(&request_);
        take();
    }
    if (!called_) return 1;  // stopped before its turn: rank 0 expects nothing
    if (this->failed() && !stopped_) {
        const std::string line = error_ + "\n";
        send(kErrStream, line.data(), line.size());
    }
    int status = failed || this->failed() || stopped_ ? 1 : 0;
    MPI_Send(&status, 1, MPI_INT, 0, kEndTag, MPI_COMM_WORLD);
    if (!lastWord_) {
        wait_gently(&request_);
        take();
        if (stopped_) status = 1;
    }
    return status;
}

OutboxBuffer::int_type OutboxBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    box_.write(stream_, &ch, 1);
    return c;
}

std::streamsize OutboxBuffer::xsputn(const char* s, std::streamsize n) {
    box_.write(stream_, s, std::size_t(n));
    return n;
}

bool relay_ranks(bool ok, const std::function<bool(int, const char*, std::size_t)>& write) {
    const int ranks = mpi_ranks();
    std::unique_ptr<char[]> buffer;
    if (ok && ranks > 1) {
        buffer.reset(new (std::nothrow) char[kPieceBytes]);
        if (!buffer) {
            std::cerr << "Cannot allocate the buffer of the other ranks' output." << std::endl;
            ok = false;
        }
    }
    for (int r = 1; r < ranks; ++r) {
        if (!ok) {
            tell(r, kStop);
            continue;
        }
        tell(r, kGo);
        bool told = false;  // the second word
        for (;;) {
            MPI_Status status;
            probe_gently(r, &status);
            if (status.MPI_TAG == kEndTag) {
                int end = 0;
                MPI_Recv(&end, 1, MPI_INT, r, kEndTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
                if (end != 0) ok = false;
                break;
            }
            int n = 0;
            MPI_Get_count(&status, MPI_BYTE, &n);
            MPI_Recv(buffer.get(), n, MPI_BYTE, r, status.MPI_TAG, MPI_COMM_WORLD,
                     MPI_STATUS_IGNORE);
            if (!ok) continue;  // stopped: drained until the rank's end
            const std::size_t size = std::size_t(n);
            bool written = true;
            if (status.MPI_TAG == kOutStream)
                std::cout.write(buffer.get(), n).flush();
            else if (status.MPI_TAG == kErrStream)
                std::cerr.write(buffer.get(), n).flush();
            else
                written = write(status.MPI_TAG, buffer.get(), size);
            if (!written) {
                ok = false;
                tell(r, kStop);
                told = true;
            }
        }
        if (!told) tell(r, kDone);
    }
    return ok;
}
