// data_file.cpp - the trainer's data file, mapped and parsed in place.
//
// A big body is parsed by several threads: the body is cut into byte ranges at white
// space (so no token straddles two ranges), every range counts its tokens, a prefix
// sum gives each range the index of its first value, and each range then parses its
// own values straight into their matrix cells. Counting runs at memory speed, so the
// extra pass costs little next to the parse it splits. The outcome is exactly that of
// one front-to-back scan: the first n*d tokens must all be finite floats, and what
// follows them is never looked at. A file cut short while it is read (its mapped
// pages then fault) reads as a wrong-format file: every read of the mapping runs
// under MappedFile::guard, on whichever thread does it.
#include "data_file.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "huge_pages.h"
#include "workers.h"

using namespace kmeans;

namespace {

// Below this body size one thread parses faster than several can be started.
constexpr std::size_t kParallelBytes = std::size_t(8) << 20;
// Parsed text is given back in steps of this size.
constexpr std::ptrdiff_t kReleaseBytes = std::ptrdiff_t(16) << 20;

// Parses `count` values into the matrix, starting at value index `first` (row
// first / d, column first % d), and writes column d of every row it completes.
bool fill_values(const MappedFile& file, const char* p, const char* end, float* matrix, int d,
                 std::uint64_t first, std::uint64_t count) {
    const std::uint64_t width = static_cast<std::uint64_t>(d) + 1;
    int col = static_cast<int>(first % static_cast<std::uint64_t>(d));
    float* dst = matrix + (first / static_cast<std::uint64_t>(d)) * width + col;  // 64-bit offset
    const char* released = p;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (!scan_float(p, end, *dst)) return false;
        ++dst;
        if (++col == d) {
            *dst++ = -0.5f;
            col = 0;
        }
        if ((i & 4095) == 0 && p - released > kReleaseBytes) {
            file.release(released, p);  // parsed text leaves the resident set
            released = p;
        }
    }
    return true;
}

// The end of range i of `count` ranges of [begin, end), the previous range ending at
// `previous`: the byte i+1 count-ths of the way, moved forward to the next white
// space, so that no range starts inside a token, and never before `previous`, so
// that the ranges stay in order even where a token is huge. Reads the text: call it
// under the mapping's guard.
const char* range_end(const char* begin, const char* end, const char* previous, int i, int count) {
    if (i + 1 >= count) return end;
    const std::size_t len = static_cast<std::size_t>(end - begin);
    const char* target = begin + static_cast<std::size_t>(static_cast<unsigned __int128>(len) *
                                                          unsigned(i + 1) / unsigned(count));
    return skip_token(std::max(target, previous), end);
}

struct Range {
    const MappedFile* file;
    const char* begin;
    const char* end;
    std::uint64_t tokens;  // counted in the first pass
    std::uint64_t first;   // index of the range's first value
    std::uint64_t values;  // values to parse: the range's share of the first n*d tokens
    float* matrix;
    int d;
    bool ok;
};

void* count_range(void* arg) {
    Range* r = static_cast<Range*>(arg);
    r->ok = r->file->guard([r] {
        r->tokens = count_tokens(r->begin, r->end);
        return true;
    });
    r->file->release(r->begin, r->end);  // counted; the filling pass maps it again
    return nullptr;
}

void* fill_range(void* arg) {
    Range* r = static_cast<Range*>(arg);
    r->ok = r->file->guard([r] {
        return fill_values(*r->file, r->begin, r->end, r->matrix, r->d, r->first, r->values);
    });
    return nullptr;
}

// Runs fn on every range (workers.h), range 0 on the caller's thread.
void run_ranges(void* (*fn)(void*), Range* ranges, int count) {
    run_workers(count, [&](int i) { fn(&ranges[i]); });
}

bool fill_parallel(const MappedFile& file, const char* begin, const char* end, float* matrix, int d,
                   std::uint64_t wanted, int threads) {
    const int count = std::min(threads, kMostWorkers);
    Range ranges[kMostWorkers];
    const bool cut = file.guard([&] {
        const char* at = begin;
        for (int i = 0; i < count; ++i) {
            ranges[i].file = &file;
            ranges[i].begin = at;
            at = range_end(begin, end, at, i, count);
            ranges[i].end = at;
            ranges[i].matrix = matrix;
            ranges[i].d = d;
            ranges[i].ok = true;
        }
        return true;
    });
    if (!cut) return false;
    run_ranges(count_range, ranges, count);
    for (int i = 0; i < count; ++i) {
        if (!ranges[i].ok) return false;
    }

    std::uint64_t first = 0;
    for (int i = 0; i < count; ++i) {
        ranges[i].first = first;
        ranges[i].values = first >= wanted ? 0 : std::min(ranges[i].tokens, wanted - first);
        first += ranges[i].tokens;
    }
    if (first < wanted) return false;  // the body ends early

    run_ranges(fill_range, ranges, count);
    for (int i = 0; i < count; ++i) {
        if (!ranges[i].ok) return false;
    }
    return true;
}

}  // namespace

ReadStatus DataFile::open(const char* path) {
    format_ = data_format(path);
    const ReadStatus status = file_.open(path, format_ == DataFormat::text);
    cursor_ = file_.data();
    return status;
}

ReadStatus DataFile::readHeader(int& n, int& d) {
    if (format_ != DataFormat::text) return read_binary_header(file_, format_, n, d, layout_);
    const char* p = cursor_;
    const char* const end = file_.end();
    if (!file_.guard([&] { return scan_int(p, end, n) && scan_int(p, end, d); }))
        return ReadStatus::wrong_format;
    if (n < 1 || d < 1) return ReadStatus::wrong_format;
    const std::uint64_t values = static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(d);
    if (!values_fit(values, file_.size())) return ReadStatus::wrong_format;
    cursor_ = p;
    return ReadStatus::ok;
}

ReadStatus DataFile::readBody(int n, int d, int threads, float** matrix) {
    *matrix = nullptr;
    if (n < 1 || d < 1) return ReadStatus::wrong_format;
    const std::uint64_t wanted = static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(d);
    const std::uint64_t cells = static_cast<std::uint64_t>(n) * (static_cast<std::uint64_t>(d) + 1);
    float* m = new (std::nothrow) float[cells];
    if (m == nullptr) return ReadStatus::no_memory;
    advise_huge_pages(m, cells);
    if (format_ != DataFormat::text) {
        if (!fill_binary(file_, layout_, n, d, m, threads)) {
            delete[] m;
            return ReadStatus::wrong_format;
        }
        *matrix = m;
        return ReadStatus::ok;
    }

    const char* end = file_.end();
    const std::size_t body = static_cast<std::size_t>(end - cursor_);
    const char* const begin = cursor_;
    const bool ok =
        threads >= 2 && body > kParallelBytes
            ? fill_parallel(file_, begin, end, m, d, wanted, threads)
            : file_.guard([&] { return fill_values(file_, begin, end, m, d, 0, wanted); });
    if (!ok) {
        delete[] m;
        return ReadStatus::wrong_format;
    }
    *matrix = m;
    return ReadStatus::ok;
}

bool DataFile::shareRange(int part, int parts, const char*& begin, const char*& end) const {
    // The body's ranges are cut as fill_parallel cuts its own: every part computes
    // the same cuts.
    return file_.guard([&] {
        const char* at = cursor_;
        for (int i = 0; i <= part; ++i) {
            begin = at;
            at = range_end(cursor_, file_.end(), at, i, parts);
        }
        end = at;
        return true;
    });
}

ReadStatus DataFile::countShare(int part, int parts, std::uint64_t& values) {
    values = 0;
    if (format_ != DataFormat::text) return ReadStatus::ok;
    const char* begin = nullptr;
    const char* end = nullptr;
    if (!shareRange(part, parts, begin, end)) return ReadStatus::wrong_format;
    std::size_t tokens = 0;
    const bool ok = file_.guard([&] {
        tokens = count_tokens(begin, end);
        return true;
    });
    file_.release(begin, end);  // counted; the filling pass maps it again
    values = tokens;
    if (ok) {
        countedPart_ = part;
        countedParts_ = parts;
        countedValues_ = values;
    }
    return ok ? ReadStatus::ok : ReadStatus::wrong_format;
}

ReadStatus DataFile::readShare(int n, int d, int part, int parts, std::uint64_t before, int threads,
                               float** matrix, int& firstRow, int& rows) {
    *matrix = nullptr;
    firstRow = 0;
    rows = 0;
    if (n < 1 || d < 1 || parts < 1 || part < 0 || part >= parts) return ReadStatus::wrong_format;
    const std::uint64_t width = static_cast<std::uint64_t>(d);
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // rows [first, last)
    const char* begin = nullptr;
    const char* end = nullptr;  // of a text part's range
    std::uint64_t values = 0;   // that start in it
    if (format_ != DataFormat::text) {
        first = std::uint64_t(n) * std::uint64_t(part) / std::uint64_t(parts);
        last = std::uint64_t(n) * std::uint64_t(part + 1) / std::uint64_t(parts);
    } else {
        values = countedValues_;
        if (countedPart_ != part || countedParts_ != parts) {
            if (countShare(part, parts, values) != ReadStatus::ok) return ReadStatus::wrong_format;
        }
        if (!shareRange(part, parts, begin, end)) return ReadStatus::wrong_format;
        // The rows whose first value (index row * d) starts in this range.
        first = (before + width - 1) / width;
        last = std::min<std::uint64_t>(std::uint64_t(n), (before + values + width - 1) / width);
        if (last < first) last = first;
    }
    const int count = int(last - first);
    float* m = new (std::nothrow) float[std::size_t(count) * (std::size_t(d) + 1) + 1];
    if (m == nullptr) return ReadStatus::no_memory;
    bool ok = true;
    if (count > 0 && format_ != DataFormat::text) {
        advise_huge_pages(m, std::uint64_t(count) * (width + 1));
        ok = fill_binary_rows(file_, layout_, std::size_t(first), count, d, m, threads);
    } else if (count > 0) {
        advise_huge_pages(m, std::uint64_t(count) * (width + 1));
        // Skip the tail of the row the previous part holds, then parse this part's
        // rows, running on past the range's end into the next for the last one.
        const std::uint64_t skip = first * width - before;
        const std::uint64_t wanted = std::uint64_t(count) * width;
        const char* const fileEnd = file_.end();
        const auto skip_tokens = [fileEnd](const char*& p, std::uint64_t tokens) {
            for (std::uint64_t i = 0; i < tokens; ++i) {
                p = skip_space(p, fileEnd);
                if (p == fileEnd) return false;
                p = skip_token(p, fileEnd);
            }
            return true;
        };
        const char* start = begin;
        const char* stop = end;  // where this part's last value ends, at the latest
        ok = file_.guard([&] {
            return skip_tokens(start, skip) &&
                   (skip + wanted <= values || skip_tokens(stop, skip + wanted - values));
        });
        // A big share is parsed by several threads, as a whole body is.
        if (ok && threads >= 2 && std::size_t(stop - start) > kParallelBytes)
            ok = fill_parallel(file_, start, stop, m, d, wanted, threads);
        else if (ok)
            ok = file_.guard([&] { return fill_values(file_, start, fileEnd, m, d, 0, wanted); });
    }
    if (!ok) {
        delete[] m;
        return ReadStatus::wrong_format;
    }
    *matrix = m;
    firstRow = int(first);
    rows = count;
    return ReadStatus::ok;
}
