// text_scan.cpp - the file mapping and the out-of-line parts of the scanners.
#include "text_scan.h"

#include <fcntl.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

namespace kmeans {

namespace {

// One guarded read on this thread: the mapping's range, and where to return to.
struct FaultGuard {
    const char* begin;
    const char* end;
    FaultGuard* outer;
    sigjmp_buf resume;
};
thread_local FaultGuard* activeGuard = nullptr;

// A read of a mapped page beyond the end of a file raises SIGBUS. When it comes
// from a guarded read of that mapping, the read is abandoned; any other is the
// crash it would have been: the default action, once the faulting read runs again.
void on_bus_error(int signal, siginfo_t* info, void*) {
    const char* at = static_cast<const char*>(info->si_addr);
    for (FaultGuard* g = activeGuard; g != nullptr; g = g->outer)
        if (at >= g->begin && at < g->end) siglongjmp(g->resume, 1);
    std::signal(signal, SIG_DFL);
}

void install_bus_handler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

bool MappedFile::guard(bool (*read)(void*), void* arg) const {
    if (!mapped_) return read(arg);  // a buffer in memory cannot fault
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, &install_bus_handler);
    const std::uintptr_t page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    FaultGuard g;
    g.begin = data_;
    g.end = data_ + (size_ + page - 1) / page * page;  // the mapping's last page, whole
    g.outer = activeGuard;
    if (sigsetjmp(g.resume, 1) != 0) {  // the signal mask comes back with the jump
        activeGuard = g.outer;
        return false;
    }
    activeGuard = &g;
    const bool ok = read(arg);
    activeGuard = g.outer;
    return ok;
}

MappedFile::~MappedFile() { close(); }

void MappedFile::close() {
    if (mapped_) {
        munmap(const_cast<char*>(data_), size_);
    } else {
        std::free(const_cast<char*>(data_));
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

std::string unreadable_message(ReadStatus status, const char* path) {
    if (status == ReadStatus::cannot_open)
        return std::string("Cannot open file '") + path + "' for reading.";
    if (status == ReadStatus::wrong_format || status == ReadStatus::no_memory)
        return std::string("Error: Wrong format file: '") + path + "'.";
    const std::string quoted = std::string("Error: '") + path + "'";
    if (status == ReadStatus::endless)
        return quoted + " is not a regular file and holds more than 1 GiB of text.";
    return quoted + " is too large to hold in memory.";
}

ReadStatus MappedFile::open(const char* path, bool text) {
    close();
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return ReadStatus::cannot_open;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // a directory opens, but holds no text
        ::close(fd);
        return ReadStatus::cannot_open;
    }
    ReadStatus status = ReadStatus::ok;
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        // Nothing to map (mmap refuses a length of 0): an empty text.
    } else if (S_ISREG(st.st_mode)) {
        const std::uint64_t len = static_cast<std::uint64_t>(st.st_size);
        void* m = len <= std::numeric_limits<std::size_t>::max()
                      ? mmap(nullptr, std::size_t(len), PROT_READ, MAP_PRIVATE, fd, 0)
                      : MAP_FAILED;
        if (m != MAP_FAILED) {
            madvise(m, std::size_t(len), MADV_SEQUENTIAL);  // read once, front to back
            data_ = static_cast<const char*>(m);
            size_ = std::size_t(len);
            mapped_ = true;
        } else {
            status = len < std::numeric_limits<std::size_t>::max()
                         ? readAll(fd, std::size_t(len), true, text)
                         : ReadStatus::too_large;
        }
    } else {
        status = readAll(fd, 0, false, text);  // pipes, terminals, devices: size unknown in advance
    }
    ::close(fd);
    return status;
}

// Reads the descriptor into one malloc'd buffer: a regular file whole (`size`
// bytes known), anything else to its end, its first NUL byte or kMostStreamBytes.
// The buffer grows by doubling through realloc, which moves a large block by
// remapping its pages, not by copying them.
ReadStatus MappedFile::readAll(int fd, std::size_t size, bool regular, bool text) {
    std::size_t cap =
        regular ? size + 1 : std::size_t(1) << 16;  // + 1: the read that meets the end
    char* buf = static_cast<char*>(std::malloc(cap));
    if (buf == nullptr) return ReadStatus::too_large;
    std::size_t len = 0;
    ReadStatus status = ReadStatus::ok;
    for (;;) {
        if (len == cap) {
            if (!regular && len > kMostStreamBytes) {
                status = ReadStatus::endless;
                break;
            }
            std::size_t bigger = cap > std::numeric_limits<std::size_t>::max() / 2 ? 0 : cap * 2;
            if (!regular && bigger > kMostStreamBytes + 1) bigger = kMostStreamBytes + 1;
            char* grown = bigger != 0 ? static_cast<char*>(std::realloc(buf, bigger)) : nullptr;
            if (grown == nullptr) {
                status = ReadStatus::too_large;
                break;
            }
            buf = grown;
            cap = bigger;
        }
        const ssize_t got = ::read(fd, buf + len, cap - len);
        if (got < 0) {
            if (errno == EINTR) continue;
            status = ReadStatus::cannot_open;
            break;
        }
        if (got == 0) break;
        if (!regular && text) {
            if (const void* nul = std::memchr(buf + len, '\0', std::size_t(got))) {
                len = std::size_t(static_cast<const char*>(nul) - buf);  // the text ends here
                break;
            }
        }
        len += static_cast<std::size_t>(got);
    }
    if (status != ReadStatus::ok) {
        std::free(buf);
        return status;
    }
    data_ = buf;
    size_ = len;
    mapped_ = false;
    return ReadStatus::ok;
}

std::size_t count_tokens(const char* begin, const char* end) {
    // Counts the non-space characters that follow a space (or the start). Each test
    // reads its two bytes afresh, with no state carried from one to the next, so the
    // loop vectorises and runs at memory speed.
    if (begin >= end) return 0;
    const auto space = [](unsigned char c) -> unsigned {
        return unsigned(c == ' ') | unsigned(static_cast<unsigned char>(c - '\t') <= '\r' - '\t');
    };
    std::size_t count = space(static_cast<unsigned char>(*begin)) ^ 1u;
    const std::size_t n = static_cast<std::size_t>(end - begin);
    for (std::size_t i = 1; i < n; ++i)
        count += (space(static_cast<unsigned char>(begin[i])) ^ 1u) &
                 space(static_cast<unsigned char>(begin[i - 1]));
    return count;
}

namespace {

// For a token that from_chars read completely but found out of range: true when the
// value is too small for a float (strtof then rounds it to a signed zero), false
// when it is too large. The decimal exponent of the leading significant digit
// decides: out-of-range values lie beyond 1e38 or below 1e-45, far from 1.
bool is_underflow(const char* s, const char* e) {
    const char* q = s;
    if (q < e && (*q == '-' || *q == '+')) ++q;
    std::int64_t intDigits = 0;  // significant digits before the point
    std::int64_t fracZeros = 0;  // zeros after the point before the first other digit
    bool seen = false;           // a nonzero digit has been met
    for (; q < e && static_cast<unsigned>(*q - '0') < 10u; ++q) {
        if (seen || *q != '0') {
            seen = true;
            ++intDigits;
        }
    }
    if (q < e && *q == '.') {
        for (++q; q < e && static_cast<unsigned>(*q - '0') < 10u; ++q) {
            if (!seen) {
                if (*q == '0') {
                    ++fracZeros;
                } else {
                    seen = true;
                }
            }
        }
    }
    std::int64_t exp = 0;
    if (q < e && (*q == 'e' || *q == 'E')) {
        ++q;
        bool negExp = false;
        if (q < e && (*q == '-' || *q == '+')) negExp = *q++ == '-';
        for (; q < e; ++q) {
            if (exp < (std::int64_t(1) << 52)) exp = exp * 10 + (*q - '0');  // saturates
        }
        if (negExp) exp = -exp;
    }
    const std::int64_t lead = intDigits > 0 ? intDigits - 1 : -(fracZeros + 1);
    return lead + exp < 0;
}

}  // namespace

bool parse_float_token(const char* s, const char* e, float& out) {
    const char* q = s;
    if (q < e && *q == '+') {
        ++q;  // streams accept a leading '+', from_chars does not
        if (q < e && *q == '-') return false;
    }
    float v = 0.0f;
    const std::from_chars_result r = std::from_chars(q, e, v, std::chars_format::general);
    if (r.ptr != e) return false;  // not a number, or junk after one (also "0x10")
    if (r.ec == std::errc::result_out_of_range) {
        if (!is_underflow(q, e)) return false;  // 1e50: no float holds it
        v = *q == '-' ? -0.0f : 0.0f;
    } else if (r.ec != std::errc()) {
        return false;
    }
    if (!std::isfinite(v)) return false;  // "inf", "nan"
    out = v;
    return true;
}

void MappedFile::release(const char* from, const char* to) const {
    if (!mapped_) return;
    const std::uintptr_t page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    const std::uintptr_t lo = (reinterpret_cast<std::uintptr_t>(from) + page - 1) / page * page;
    const std::uintptr_t hi = reinterpret_cast<std::uintptr_t>(to) / page * page;
    if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
}

}  // namespace kmeans
