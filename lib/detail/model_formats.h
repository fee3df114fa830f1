// model_formats.h - the model file's binary formats, chosen by the file's name:
//   *.npy    NumPy format 1.0 as written (dtype <f4, shape (k, d), C order); read:
//            versions 1.0 to 3.0, two dimensions, C order, dtype <f4, or <f8 with
//            each value rounded to float once
//   *.fvecs  k records of a little-endian int32 d, then d little-endian float32
// Any other name is the text model (kmeans.cpp). Both hold the centres' float values
// exactly, never the norm column, which the reader rebuilds as the text reader does.
//
// Writing streams each centre's d floats from its row of the model (no copy); reading
// fills the model's rows straight from the mapped file. Every value must be a finite
// float; a size that does not match the header (or is not a whole number of records),
// a record whose d differs from the first, k or d below 1 or past int, another dtype,
// Fortran order, other than two dimensions: wrong_format.
#ifndef KMEANS_DETAIL_MODEL_FORMATS_H
#define KMEANS_DETAIL_MODEL_FORMATS_H

#include <cstddef>
#include <cstdio>

#include "read_status.h"

namespace kmeans {
class MappedFile;
}

namespace kmeans::detail {

enum class ModelFormat { text, npy, fvecs };

// The format a model file's name says.
ModelFormat model_format(const char* path);

// Where a binary model's values are.
struct ModelLayout {
    std::size_t offset = 0;  // of the first value (past the first record's d, or the header)
    std::size_t stride = 0;  // bytes from one centre's first value to the next one's
    int valueBytes = 4;      // 4 (float32) or 8 (float64, .npy only)
    bool prefixed = false;   // each centre follows its own int32 d (.fvecs)
};

// k centres of d values (rows of stride d+1 in `centers`), in `format`, to `out`: false
// when a write fails.
bool write_binary_model(std::FILE* out, ModelFormat format, const float* centers, int k, int d);

// k, d and the layout of a mapped binary model; ok or wrong_format.
ReadStatus read_binary_model_header(const MappedFile& file, ModelFormat format, int& k, int& d,
                                    ModelLayout& layout);

// The first d values of each of the k rows of `centers` (stride d+1) from the mapped
// file: false on a value that is not a finite float, a record with another d, or a
// file cut short while it is read. Column d is left to the caller.
bool read_binary_model(const MappedFile& file, const ModelLayout& layout, int k, int d,
                       float* centers);

}  // namespace kmeans::detail

#endif  // KMEANS_DETAIL_MODEL_FORMATS_H
