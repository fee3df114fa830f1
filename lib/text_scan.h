// text_scan.h - reading numbers out of big text files without streams.
//
// MappedFile maps a file read-only (or, when it cannot be mapped - a pipe, say -
// reads it into one buffer), so a data file of hundreds of MB is never copied: the
// matrix it fills is the only copy of the data in memory. What is not a regular
// file is read up to its first NUL byte (no text holds one: /dev/zero and
// /dev/urandom end at once) and up to kMostStreamBytes: an endless pipe is refused
// in bounded time and memory.
//
// The scanners take one token at a time from [p, end): white space (space, \t, \n,
// \v, \f, \r) is skipped, then a token is the longest run of anything else, and it
// must be a number as a whole. They give the same values as formatted stream
// extraction in the classic locale (`in >> f` reads through strtof, correctly
// rounded, and so does std::from_chars), at a fraction of the cost:
//   - an optional sign and at most 7 digits - the bulk of a file of SIFT values
//     0..255 - is converted inline, exactly (every such integer is below 2^24);
//   - anything else goes to std::from_chars, with the '+' that streams accept and
//     from_chars does not handled here, and an underflow that from_chars reports as
//     out of range turned into the signed zero that strtof (and the stream) gives.
// Values that are not finite floats are refused: inf and nan, which streams do not
// read either, and overflow such as 1e50, which a stream clamps to FLT_MAX while
// failing. One NaN in a data row would poison its centre for the rest of a run.
// Hexadecimal floats are refused too: a stream reads "0x10" as 0 followed by junk.
#ifndef KMEANS_TEXT_SCAN_H
#define KMEANS_TEXT_SCAN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "read_status.h"

namespace kmeans {

// How the reading of an input file ended: every reader returns one, and its caller
// words the message (unreadable_message for too_large and endless, the same for
// every file).

constexpr std::size_t kMostStreamBytes = std::size_t(1) << 30;

// Why an input could not be read, as the programs say it (no line end): "Cannot open
// file '<path>' for reading.", "Error: Wrong format file: '<path>'." (wrong_format
// and no_memory: a file whose values cannot be held is no usable input either),
// "Error: '<path>' is too large to hold in memory." or "Error: '<path>' is not a
// regular file and holds more than 1 GiB of text."
std::string unreadable_message(ReadStatus status, const char* path);

// Whether `values` numbers can be in a text of `bytes` bytes: every value takes at
// least two (a digit and a separator) but the last. A header that announces more is
// damaged, and is refused before anything is allocated for it.
inline bool values_fit(std::uint64_t values, std::uint64_t bytes) {
    return values <= (bytes + 1) / 2;
}

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;  // owns a mapping: a copy would unmap twice
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps `path` read-only, or reads it (see above). An empty file is ok, with
    // data() null and size 0.
    // ok, cannot_open, too_large or endless. A binary file (text = false) that is not
    // regular is read to its end, NUL bytes included.
    ReadStatus open(const char* path, bool text = true);
    // Releases the mapping or buffer early; the destructor does the same.
    void close();

    // Gives back the memory of the mapped pages wholly inside [from, to), already
    // parsed: the file's pages need not stay in this process's resident set beside
    // the matrix they were parsed into. Reading them again maps them again. Does
    // nothing for text read into a buffer (a pipe): that memory is the only copy.
    void release(const char* from, const char* to) const;

    // Runs read(arg) and returns what it returns - or false when reading a page of
    // the mapping faulted (SIGBUS) because the file was cut short after it was mapped:
    // `read` is then stopped where it was. So `read` must own nothing that needs a
    // destructor, and start no thread: it only scans the text into memory that its
    // caller owns. It may run on any thread, and guards may nest.
    bool guard(bool (*read)(void*), void* arg) const;
    template <class Read>
    bool guard(Read&& read) const {
        using R = std::remove_reference_t<Read>;
        return guard([](void* f) -> bool { return (*static_cast<R*>(f))(); }, &read);
    }

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    const char* end() const { return data_ + size_; }

private:
    ReadStatus readAll(int fd, std::size_t size, bool regular, bool text);
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;  // data_ came from mmap (else from malloc, or null)
};

inline bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');  // \t \n \v \f \r are 9..13
}

inline const char* skip_space(const char* p, const char* end) {
    while (p < end && is_space(*p)) ++p;
    return p;
}

inline const char* skip_token(const char* p, const char* end) {
    while (p < end && !is_space(*p)) ++p;
    return p;
}

// Number of tokens in [begin, end); begin must not be inside a token (it is the
// start of the text or follows white space).
std::size_t count_tokens(const char* begin, const char* end);

// The general case of scan_float, for a token [s, e) that is not a short integer.
bool parse_float_token(const char* s, const char* e, float& out);

// Moves p to the next token and past its sign: false at the end of input (p = end).
// `s` receives the token's start, `digits` what follows its sign.
inline bool start_number(const char*& p, const char* end, const char*& s, const char*& digits,
                         bool& neg) {
    s = skip_space(p, end);
    p = s;
    if (s == end) return false;
    neg = *s == '-';
    digits = neg || *s == '+' ? s + 1 : s;
    return true;
}

// Reads one float token. On success p moves past the token. On failure (end of
// input, or a token that is not entirely a finite float) p is left at the start of
// the offending token, or at end.
inline bool scan_float(const char*& p, const char* end, float& out) {
    const char *s, *digits;
    bool neg;
    if (!start_number(p, end, s, digits, neg)) return false;
    const char* q = digits;
    std::uint32_t v = 0;
    // At most 8 digits are looked at: 7 or fewer are exact in a float's 24 bits.
    while (q < end && q - digits < 8 && static_cast<unsigned>(*q - '0') < 10u) {
        v = v * 10u + static_cast<std::uint32_t>(*q - '0');
        ++q;
    }
    const std::ptrdiff_t nd = q - digits;
    if (nd >= 1 && nd <= 7 && (q == end || is_space(*q))) {
        const float f = static_cast<float>(v);
        out = neg ? -f : f;  // "-0" gives -0.0f, as strtof does
        p = q;
        return true;
    }
    const char* e = skip_token(q, end);
    if (!parse_float_token(s, e, out)) return false;
    p = e;
    return true;
}

// Reads one int token: an optional sign and decimal digits, within int's range.
// Same contract for p as scan_float.
inline bool scan_int(const char*& p, const char* end, int& out) {
    const char *s, *digits;
    bool neg;
    if (!start_number(p, end, s, digits, neg)) return false;
    const char* q = digits;
    const std::int64_t limit = neg ? 2147483648LL : 2147483647LL;
    std::int64_t v = 0;
    while (q < end && static_cast<unsigned>(*q - '0') < 10u) {
        v = v * 10 + (*q - '0');
        if (v > limit) return false;  // checked per digit: v never exceeds 2^31 * 10
        ++q;
    }
    if (q == digits || (q < end && !is_space(*q))) return false;
    out = static_cast<int>(neg ? -v : v);
    p = q;
    return true;
}

}  // namespace kmeans

#endif
