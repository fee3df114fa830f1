// model_formats.cpp - .npy and .fvecs model files, written from the model's rows and
// read into them in place.
#include "detail/model_formats.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "npy_header.h"
#include "text_scan.h"

namespace kmeans::detail {

// The values go out as the machine holds them: the files are little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "model files are little-endian");

namespace {

ReadStatus npy_model_header(const MappedFile& file, int& k, int& d, ModelLayout& layout) {
    const std::size_t size = file.size();
    if (size < 10) return ReadStatus::wrong_format;  // (an empty file maps to no data at all)
    // Copied out of the mapping first: parsing builds strings, which a file cut short
    // must not abandon halfway (MappedFile::guard).
    std::string prefix(size < kMostNpyHeaderBytes + 12 ? size : kMostNpyHeaderBytes + 12, '\0');
    if (!file.guard([&] {
            std::memcpy(&prefix[0], file.data(), prefix.size());
            return true;
        }))
        return ReadStatus::wrong_format;
    const auto* bytes = reinterpret_cast<const unsigned char*>(prefix.data());
    if (size < 10 || std::memcmp(bytes, "\x93NUMPY", 6) != 0) return ReadStatus::wrong_format;
    std::size_t start = 10;
    std::size_t length = std::size_t(bytes[8]) | std::size_t(bytes[9]) << 8;
    if (bytes[6] == 2 || bytes[6] == 3) {
        if (size < 12) return ReadStatus::wrong_format;
        start = 12;
        length = le32(bytes + 8);
    } else if (bytes[6] != 1) {
        return ReadStatus::wrong_format;
    }
    if (length > size - start || length > kMostNpyHeaderBytes) return ReadStatus::wrong_format;
    const std::string header = prefix.substr(start, length);
    const std::string descr = npy_dict_value(header, "descr");
    if (descr == "'<f4'")
        layout.valueBytes = 4;
    else if (descr == "'<f8'")
        layout.valueBytes = 8;
    else
        return ReadStatus::wrong_format;
    if (npy_dict_value(header, "fortran_order") != "False" ||
        !npy_shape(npy_dict_value(header, "shape"), k, d))
        return ReadStatus::wrong_format;
    const std::uint64_t body =
        std::uint64_t(k) * std::uint64_t(d) * std::uint64_t(layout.valueBytes);
    if (size - start - length != body) return ReadStatus::wrong_format;  // cut short, or more
    layout.offset = start + length;
    layout.stride = std::size_t(d) * std::size_t(layout.valueBytes);
    layout.prefixed = false;
    return ReadStatus::ok;
}

ReadStatus fvecs_model_header(const MappedFile& file, int& k, int& d, ModelLayout& layout) {
    const std::size_t size = file.size();
    unsigned char first[4];
    if (size < 4 || !file.guard([&] {
            std::memcpy(first, file.data(), 4);
            return true;
        }))
        return ReadStatus::wrong_format;
    const std::int32_t dim = std::int32_t(le32(first));
    if (dim < 1) return ReadStatus::wrong_format;
    const std::uint64_t record = 4 + std::uint64_t(dim) * 4;
    if (size % record != 0 || size / record > std::uint64_t(INT_MAX))
        return ReadStatus::wrong_format;
    k = int(size / record);
    d = dim;
    layout.offset = 4;
    layout.stride = std::size_t(record);
    layout.valueBytes = 4;
    layout.prefixed = true;
    return ReadStatus::ok;
}

}  // namespace

ModelFormat model_format(const char* path) {
    if (name_ends_with(path, ".npy")) return ModelFormat::npy;
    if (name_ends_with(path, ".fvecs")) return ModelFormat::fvecs;
    return ModelFormat::text;
}

bool write_binary_model(std::FILE* out, ModelFormat format, const float* centers, int k, int d) {
    const std::size_t stride = std::size_t(d) + 1;
    const std::size_t dd = std::size_t(d);
    bool ok = true;
    if (format == ModelFormat::npy) {
        const std::string header =
            npy_header("<f4", "(" + std::to_string(k) + ", " + std::to_string(d) + ")");
        ok = std::fwrite(header.data(), 1, header.size(), out) == header.size();
    }
    const std::int32_t dim = d;
    for (int i = 0; ok && i < k; ++i) {
        if (format == ModelFormat::fvecs) ok = std::fwrite(&dim, 4, 1, out) == 1;
        // A centre's first d values are contiguous in its row: written from there.
        ok = ok && std::fwrite(centers + std::size_t(i) * stride, 4, dd, out) == dd;
    }
    return ok;
}

ReadStatus read_binary_model_header(const MappedFile& file, ModelFormat format, int& k, int& d,
                                    ModelLayout& layout) {
    switch (format) {
    case ModelFormat::npy: return npy_model_header(file, k, d, layout);
    case ModelFormat::fvecs: return fvecs_model_header(file, k, d, layout);
    case ModelFormat::text: break;
    }
    return ReadStatus::wrong_format;
}

bool read_binary_model(const MappedFile& file, const ModelLayout& layout, int k, int d,
                       float* centers) {
    const std::size_t width = std::size_t(d) + 1;
    const char* const base = file.data() + layout.offset;
    return file.guard([&] {
        for (std::size_t i = 0; i < std::size_t(k); ++i) {
            const char* row = base + i * layout.stride;
            float* c = centers + i * width;
            if (layout.prefixed &&
                le32(reinterpret_cast<const unsigned char*>(row) - 4) != std::uint32_t(d))
                return false;
            for (int j = 0; j < d; ++j) {
                if (layout.valueBytes == 4) {
                    std::memcpy(&c[j], row + std::size_t(j) * 4, 4);
                } else {
                    double v;
                    std::memcpy(&v, row + std::size_t(j) * 8, 8);
                    c[j] = float(v);  // rounded once
                }
                if (!std::isfinite(c[j])) return false;
            }
        }
        return true;
    });
}

}  // namespace kmeans::detail
