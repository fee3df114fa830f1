// sift_io.cpp - descriptor file readers (types 0, 1, 3) and region decomposition.
#include "sift_io.h"

#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>

#include "binary_data.h"
#include "text_scan.h"

using namespace kmeans;

namespace {

constexpr int kType3Dim = 128;
constexpr std::uint64_t kType3Record = 156;  // 7 four-byte fields, then 128 signed bytes
constexpr int kType3Values = 28;             // offset of the descriptor in a record

enum class HeaderToken { ok, bad, end };

// One header integer. `end` when the file ends within or right after the token: a
// stream reading the header would have met the end of the file there.
HeaderToken header_int(const char*& p, const char* end, int& out) {
    if (scan_int(p, end, out)) return p == end ? HeaderToken::end : HeaderToken::ok;
    return skip_token(p, end) == end ? HeaderToken::end : HeaderToken::bad;
}

// The header of types 0 and 1: the dimension into d, then the count into n, each set
// as soon as it is read. A file that ends within the header holds no descriptors:
// n = 0 and d = dim, and it is refused like any other file without one.
ReadStatus read_header(const char*& p, const char* end, int dim, int& n, int& d) {
    int value = 0;
    HeaderToken token = header_int(p, end, value);
    if (token == HeaderToken::ok) {
        d = value;
        token = header_int(p, end, value);
        if (token == HeaderToken::ok) n = value;
    }
    if (token == HeaderToken::end) {
        n = 0;
        d = dim;
        return ReadStatus::wrong_format;
    }
    if (token == HeaderToken::bad || d != dim || dim < 0 || n <= 0) return ReadStatus::wrong_format;
    return ReadStatus::ok;
}

// Types 0 and 1. Type 1 (regions != nullptr) has five reals x y a b c before each
// descriptor and announces its size on standard output before reading the body. A
// file cut short while it is read (its mapped pages fault) is a wrong-format file.
ReadStatus read_text(const char* name, float*& matrix, int& n, int& d, int dim,
                     SiftRegion** regions) {
    matrix = nullptr;
    MappedFile file;
    const ReadStatus opened = file.open(name);
    if (opened != ReadStatus::ok) return opened;
    const char* p = file.data();
    const char* const end = file.end();
    ReadStatus header = ReadStatus::wrong_format;
    if (!file.guard([&] {
            header = read_header(p, end, dim, n, d);
            return true;
        }))
        return ReadStatus::wrong_format;
    if (header != ReadStatus::ok) return header;
    const int perRegion = regions != nullptr ? 5 : 0;
    const std::uint64_t rows = static_cast<std::uint64_t>(n);
    if (!values_fit(rows * (static_cast<std::uint64_t>(dim) + perRegion), file.size()))
        return ReadStatus::wrong_format;

    if (regions != nullptr) std::cout << "rows = " << n << " cols = " << dim << std::endl;

    const std::uint64_t width = static_cast<std::uint64_t>(dim) + 1;
    std::unique_ptr<float[]> m(new (std::nothrow) float[rows * width]);
    std::unique_ptr<SiftRegion[]> r;
    if (regions != nullptr) r.reset(new (std::nothrow) SiftRegion[rows]);
    if (m == nullptr || (regions != nullptr && r == nullptr)) return ReadStatus::no_memory;

    float* const rowsOut = m.get();
    SiftRegion* const regionsOut = r.get();
    const bool parsed = file.guard([&] {
        for (std::uint64_t i = 0; i < rows; ++i) {
            if (regionsOut != nullptr) {
                SiftRegion& g = regionsOut[i];
                float a = 0.0f, b = 0.0f, c = 0.0f;
                if (!scan_float(p, end, g.x) || !scan_float(p, end, g.y) ||
                    !scan_float(p, end, a) || !scan_float(p, end, b) || !scan_float(p, end, c))
                    return false;
                g.fileIndex = 0;  // the driver stamps both indices
                g.clusterIndex = 0;
                decompose(a, b, c, g.a11, g.a12, g.a21, g.a22);
            }
            float* row = rowsOut + i * width;
            for (int j = 0; j < dim; ++j) {
                if (!scan_float(p, end, row[j])) return false;
            }
            row[dim] = -0.5f;
        }
        return true;
    });
    if (!parsed) return ReadStatus::wrong_format;
    matrix = m.release();
    if (regions != nullptr) *regions = r.release();
    return ReadStatus::ok;
}

}  // namespace

void decompose(float a, float b, float c, float& a11, float& a12, float& a21, float& a22) {
    double l1, l2, dx, dy;
    if (b == 0.0f) {
        // Already diagonal: the eigenvalues are a and c (in that order, unsorted) and
        // the axes are the coordinate axes. The direction is a unit vector, as in the
        // general case, so a vanishing b changes the shape continuously.
        l1 = a;
        l2 = c;
        dx = 1.0;
        dy = 0.0;
    } else {  // also for a b that is not a number: everything below becomes NaN
        const double s = static_cast<double>(a) + c;
        const double disc =
            s * s + (static_cast<double>(a) * c - static_cast<double>(b) * b) * -4.0;
        const double r = std::sqrt(disc);  // disc = (a - c)^2 + 4 b^2
        l1 = (r + s) * 0.5;                // the larger eigenvalue
        l2 = (s - r) * 0.5;
        const double t = (l1 - a) / b;  // slope of l1's eigenvector
        dx = 1.0 / std::sqrt(t * t + 1.0);
        dy = t * dx;
    }
    // Not positive definite: the region is no ellipse. Say so, and store the NaN or
    // infinite axis lengths as they come (a NaN eigenvalue compares false: no message).
    if (l1 <= 0 || l2 <= 0) std::cerr << "error: s1 = " << l1 << " - s2 = " << l2 << std::endl;
    const double q1 = 1.0 / std::sqrt(l1);
    const double q2 = 1.0 / std::sqrt(l2);
    a11 = static_cast<float>(dx * q1);
    a12 = static_cast<float>(dy * q1);
    a21 = static_cast<float>(-dy * q2);  // -0 when dy is 0
    a22 = static_cast<float>(dx * q2);
}

std::string entry_message(ReadStatus status, const char* name) {
    if (status == ReadStatus::ok) return std::string();
    // The assigner's own "Error: " before the one message without it.
    const std::string message = unreadable_message(status, name);
    return status == ReadStatus::cannot_open ? "Error: " + message : message;
}

ReadStatus read_sift_0(const char* name, float*& matrix, int& n, int& d, int dim) {
    return read_text(name, matrix, n, d, dim, nullptr);
}

ReadStatus read_sift_1(const char* name, float*& matrix, int& n, int& d, int dim,
                       SiftRegion*& regions) {
    return read_text(name, matrix, n, d, dim, &regions);
}

ReadStatus read_sift_3(const char* name, float*& matrix, int& n, int& d, int dim,
                       SiftRegion*& regions) {
    matrix = nullptr;
    std::FILE* f = std::fopen(name, "rb");
    if (f == nullptr) return ReadStatus::cannot_open;
    // fopen accepts a directory; its "length" would be meaningless.
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(f);
        return ReadStatus::cannot_open;
    }
    d = kType3Dim;
    long length = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) length = std::ftell(f);
    const std::uint64_t count = length >= 0 ? static_cast<std::uint64_t>(length) / kType3Record : 0;
    // A file that cannot be measured (a pipe), or whose count passes int: not readable.
    n = count <= static_cast<std::uint64_t>(INT_MAX) ? static_cast<int>(count) : 0;
    const std::uint64_t bytes = count * kType3Record;
    if (length < 0 || count > static_cast<std::uint64_t>(INT_MAX) || d != dim ||
        bytes != static_cast<std::uint64_t>(length)) {
        std::fclose(f);
        return ReadStatus::wrong_format;
    }

    std::cout << "rows = " << n << " & cols = " << d << std::endl;

    // The whole file in one read: one system call instead of one per record.
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[bytes]);
    const bool read = buffer != nullptr && std::fseek(f, 0, SEEK_SET) == 0 &&
                      std::fread(buffer.get(), 1, bytes, f) == bytes;
    std::fclose(f);
    if (buffer == nullptr) return ReadStatus::no_memory;
    if (!read) return ReadStatus::wrong_format;  // the file shrank under us

    const std::uint64_t width = static_cast<std::uint64_t>(d) + 1;
    std::unique_ptr<float[]> m(new (std::nothrow) float[count * width]);
    std::unique_ptr<SiftRegion[]> r(new (std::nothrow) SiftRegion[count]);
    if (m == nullptr || r == nullptr) return ReadStatus::no_memory;
    for (std::uint64_t i = 0; i < count; ++i) {
        // Fields are copied byte-wise: memcpy is the defined way to reinterpret bytes.
        const unsigned char* rec = buffer.get() + i * kType3Record;
        SiftRegion& g = r[i];
        float first, second, scale;
        std::memcpy(&g.fileIndex, rec, 4);
        std::memcpy(&g.clusterIndex, rec + 4, 4);
        std::memcpy(&second, rec + 8, 4);  // the record stores the coordinates swapped
        std::memcpy(&first, rec + 12, 4);
        std::memcpy(&scale, rec + 16, 4);
        g.x = first;
        g.y = second;
        g.a11 = g.a22 = 6.0f * scale;  // a circle of radius 6 s, product in single precision
        g.a12 = g.a21 = 0.0f;
        float* row = m.get() + i * width;
        for (int j = 0; j < kType3Dim; ++j) {
            row[j] = static_cast<float>(static_cast<signed char>(rec[kType3Values + j]));
        }
        row[kType3Dim] = -0.5f;
    }
    matrix = m.release();
    regions = r.release();
    return ReadStatus::ok;
}

ReadStatus read_binary_entry(const char* name, float*& matrix, int& n, int& d, int dim,
                             int threads) {
    matrix = nullptr;
    MappedFile file;
    const ReadStatus opened = file.open(name, false);
    if (opened != ReadStatus::ok) return opened;
    BinaryLayout layout;
    const ReadStatus header = read_binary_header(file, data_format(name), n, d, layout);
    if (header != ReadStatus::ok) return header;
    if (d != dim) return ReadStatus::wrong_format;
    // n*(d+1) floats, formed in 64 bits.
    std::unique_ptr<float[]> m(new (std::nothrow) float[std::size_t(n) * (std::size_t(d) + 1)]);
    if (m == nullptr) return ReadStatus::no_memory;
    if (!fill_binary(file, layout, n, d, m.get(), threads)) return ReadStatus::wrong_format;
    matrix = m.release();
    return ReadStatus::ok;
}
