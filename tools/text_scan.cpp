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
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

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
        delete[] data_;
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

bool MappedFile::open(const char* path) {
    close();
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // a directory opens, but holds no text
        ::close(fd);
        return false;
    }
    bool ok = true;
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        // Nothing to map (mmap refuses a length of 0): an empty text.
    } else if (S_ISREG(st.st_mode) &&
               static_cast<std::uint64_t>(st.st_size) <= std::numeric_limits<std::size_t>::max()) {
        const std::size_t len = static_cast<std::size_t>(st.st_size);
        void* m = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
        if (m != MAP_FAILED) {
            madvise(m, len, MADV_SEQUENTIAL);  // read once, front to back
            data_ = static_cast<const char*>(m);
            size_ = len;
            mapped_ = true;
        } else {
            ok = readAll(fd, len);
        }
    } else {
        ok = readAll(fd, 0);  // pipes, terminals, devices: size unknown in advance
    }
    ::close(fd);
    return ok;
}

// Reads the descriptor to its end into one new[] buffer, growing it by doubling.
bool MappedFile::readAll(int fd, std::size_t hint) {
    // One byte more than a known size, so the read that meets the end needs no growth.
    std::size_t cap = hint > 0 && hint < std::numeric_limits<std::size_t>::max() ? hint + 1 : 1 << 16;
    char* buf = new (std::nothrow) char[cap];
    if (buf == nullptr) return false;
    std::size_t len = 0;
    for (;;) {
        if (len == cap) {
            if (cap > std::numeric_limits<std::size_t>::max() / 2) {
                delete[] buf;
                return false;
            }
            char* bigger = new (std::nothrow) char[cap * 2];
            if (bigger == nullptr) {
                delete[] buf;
                return false;
            }
            std::memcpy(bigger, buf, len);
            delete[] buf;
            buf = bigger;
            cap *= 2;
        }
        const ssize_t got = ::read(fd, buf + len, cap - len);
        if (got < 0) {
            if (errno == EINTR) continue;
            delete[] buf;
            return false;
        }
        if (got == 0) break;
        len += static_cast<std::size_t>(got);
    }
    data_ = buf;
    size_ = len;
    mapped_ = false;
    return true;
}

std::size_t count_tokens(const char* begin, const char* end) {
    // Counts the non-space characters that follow a space (or the start): branch
    // free, so the loop runs at memory speed.
    std::size_t count = 0;
    unsigned prevSpace = 1;
    for (const char* p = begin; p < end; ++p) {
        const unsigned space = is_space(*p) ? 1u : 0u;
        count += prevSpace & (space ^ 1u);
        prevSpace = space;
    }
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
