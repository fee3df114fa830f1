// binary_data.cpp - .fvecs, .bvecs and .npy training files, read in place.
#include "binary_data.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "npy_header.h"
#include "workers.h"

using namespace kmeans;

namespace {

ReadStatus vecs_header(const MappedFile& file, int valueBytes, int& n, int& d,
                       BinaryLayout& layout) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    const std::size_t size = file.size();
    if (size < 4) return ReadStatus::wrong_format;
    const std::int32_t dim = std::int32_t(le32(bytes));
    if (dim < 1) return ReadStatus::wrong_format;
    const std::uint64_t record = 4 + std::uint64_t(dim) * std::uint64_t(valueBytes);
    if (size % record != 0 || size / record > std::uint64_t(INT_MAX))
        return ReadStatus::wrong_format;
    const std::size_t rows = std::size_t(size / record);
    n = int(rows);
    d = dim;
    layout.offset = 4;
    layout.stride = std::size_t(record);
    layout.valueBytes = valueBytes;
    layout.prefixed = true;
    return ReadStatus::ok;
}

ReadStatus npy_header(const MappedFile& file, int& n, int& d, BinaryLayout& layout) {
    const std::size_t size = file.size();
    if (size < 10) return ReadStatus::wrong_format;  // (an empty file maps to no data at all)
    // The header is copied out of the mapping first: parsing it builds strings, which
    // must not be abandoned halfway by a file cut short (MappedFile::guard).
    std::vector<unsigned char> prefix(std::min(size, kMostNpyHeaderBytes + 12));
    if (!file.guard([&] {
            std::memcpy(prefix.data(), file.data(), prefix.size());
            return true;
        }))
        return ReadStatus::wrong_format;
    const unsigned char* bytes = prefix.data();
    static const unsigned char kMagic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
    if (size < 10 || std::memcmp(bytes, kMagic, 6) != 0) return ReadStatus::wrong_format;
    const int major = bytes[6];
    std::size_t start, length;
    if (major == 1) {
        start = 10;
        length = std::size_t(bytes[8]) | std::size_t(bytes[9]) << 8;
    } else if (major == 2 || major == 3) {
        if (size < 12) return ReadStatus::wrong_format;
        start = 12;
        length = le32(bytes + 8);
    } else {
        return ReadStatus::wrong_format;
    }
    if (length > size - start || length > kMostNpyHeaderBytes) return ReadStatus::wrong_format;
    const std::string header(reinterpret_cast<const char*>(bytes) + start, length);
    const std::string descr = npy_dict_value(header, "descr");
    int valueBytes = 0;
    if (descr == "'<f4'")
        valueBytes = 4;
    else if (descr == "'|u1'" || descr == "'<u1'")
        valueBytes = 1;
    else if (descr == "'<f8'")
        valueBytes = 8;
    else
        return ReadStatus::wrong_format;
    if (npy_dict_value(header, "fortran_order") != "False") return ReadStatus::wrong_format;
    if (!npy_shape(npy_dict_value(header, "shape"), n, d)) return ReadStatus::wrong_format;
    const std::uint64_t body = std::uint64_t(n) * std::uint64_t(d) * std::uint64_t(valueBytes);
    if (size - start - length != body) return ReadStatus::wrong_format;  // cut short, or more
    layout.offset = start + length;
    layout.stride = std::size_t(d) * std::size_t(valueBytes);
    layout.valueBytes = valueBytes;
    return ReadStatus::ok;
}

// Parsed rows are given back to the system in steps of this size.
constexpr std::size_t kReleaseBytes = std::size_t(16) << 20;

}  // namespace

DataFormat data_format(const char* path) {
    if (name_ends_with(path, ".fvecs")) return DataFormat::fvecs;
    if (name_ends_with(path, ".bvecs")) return DataFormat::bvecs;
    if (name_ends_with(path, ".npy")) return DataFormat::npy;
    return DataFormat::text;
}

ReadStatus read_binary_header(const MappedFile& file, DataFormat format, int& n, int& d,
                              BinaryLayout& layout) {
    switch (format) {
    case DataFormat::fvecs: return vecs_header(file, 4, n, d, layout);
    case DataFormat::bvecs: return vecs_header(file, 1, n, d, layout);
    case DataFormat::npy: return npy_header(file, n, d, layout);
    case DataFormat::text: break;
    }
    return ReadStatus::wrong_format;
}

namespace {

// Rows [first, last) of the matrix from the mapping; false on a value that is not a
// finite float, or a file cut short while it is read.
struct RowRange {
    const MappedFile* file;
    const BinaryLayout* layout;
    std::size_t first, last;
    std::size_t base;  // the file row of matrix row 0
    int d;
    float* matrix;
    bool ok;
};

bool fill_rows(const RowRange& r) {
    const MappedFile& file = *r.file;
    const BinaryLayout& layout = *r.layout;
    const char* base = file.data() + layout.offset;
    const std::size_t width = std::size_t(r.d) + 1;
    const int d = r.d;
    return file.guard([&] {
        const char* released = base + r.first * layout.stride;
        for (std::size_t i = r.first; i < r.last; ++i) {
            const char* row = base + i * layout.stride;
            float* out = r.matrix + (i - r.base) * width;
            // Each record's own d, read with its values: one pass over the file.
            if (layout.prefixed &&
                le32(reinterpret_cast<const unsigned char*>(row) - 4) != std::uint32_t(d))
                return false;
            if (layout.valueBytes == 1) {
                const auto* u = reinterpret_cast<const unsigned char*>(row);
                for (int j = 0; j < d; ++j) out[j] = float(u[j]);
            } else if (layout.valueBytes == 4) {
                std::memcpy(out, row, sizeof(float) * std::size_t(d));
                for (int j = 0; j < d; ++j)
                    if (!std::isfinite(out[j])) return false;
            } else {
                for (int j = 0; j < d; ++j) {
                    double v;
                    std::memcpy(&v, row + std::size_t(j) * 8, 8);
                    out[j] = float(v);  // rounded once
                    if (!std::isfinite(out[j])) return false;
                }
            }
            out[d] = -0.5f;
            if (row - released > std::ptrdiff_t(kReleaseBytes)) {
                file.release(released, row);  // read: the pages leave the resident set
                released = row;
            }
        }
        return true;
    });
}

void* fill_range(void* arg) {
    RowRange* r = static_cast<RowRange*>(arg);
    r->ok = fill_rows(*r);
    return nullptr;
}

}  // namespace

bool fill_binary(const MappedFile& file, const BinaryLayout& layout, int n, int d, float* matrix,
                 int threads) {
    return fill_binary_rows(file, layout, 0, n, d, matrix, threads);
}

bool fill_binary_rows(const MappedFile& file, const BinaryLayout& layout, std::size_t first,
                      int count, int d, float* matrix, int threads) {
    // Filling is mostly the first touch of the matrix's fresh pages: it scales with
    // threads. One range per thread, the calling thread taking the first.
    const int parts = threads < 1 ? 1 : threads > kMostWorkers ? kMostWorkers : threads;
    const std::size_t rows = count < 0 ? 0 : std::size_t(count);
    RowRange ranges[kMostWorkers];
    for (int t = 0; t < parts; ++t)
        ranges[t] = {&file,
                     &layout,
                     first + rows * std::size_t(t) / std::size_t(parts),
                     first + rows * std::size_t(t + 1) / std::size_t(parts),
                     first,
                     d,
                     matrix,
                     true};
    run_workers(parts, [&](int t) { fill_range(&ranges[t]); });
    bool ok = true;
    for (int t = 0; t < parts; ++t) ok = ok && ranges[t].ok;
    return ok;
}
