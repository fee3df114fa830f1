// binary_data.h - the trainer's binary data files, recognised by their names:
//   *.fvecs  records of a little-endian int32 d, then d little-endian float32 values
//   *.bvecs  records of a little-endian int32 d, then d uint8 values (0..255)
//   *.npy    NumPy format 1.0, 2.0 or 3.0: C order, two dimensions (n, d), dtype
//            <f4, |u1 (or <u1) or <f8 (each value rounded to float once)
// Any other name is the text format (data_file.h).
//
// n and d come from the file (its size and first record, or the .npy header). The
// augmented matrix is filled straight from the mapped file, its pages released as
// they are read, and every value must be a finite float. A size that is not a whole
// number of records, a record whose d differs from the first, n or d below 1 or past
// int, another dtype, Fortran order, other than two dimensions, or a header cut short
// or lying about the size: wrong_format.
#ifndef KMEANS_BINARY_DATA_H
#define KMEANS_BINARY_DATA_H

#include <cstddef>
#include <cstdint>

#include "text_scan.h"

enum class DataFormat { text, fvecs, bvecs, npy };

// The format a data file's name says.
DataFormat data_format(const char* path);

// Where the values are and how they are stored.
struct BinaryLayout {
    std::size_t offset = 0;  // of the first value (past the first record's d, or the header)
    std::size_t stride = 0;  // bytes from one row's first value to the next row's
    int valueBytes = 0;      // 1 (uint8), 4 (float32) or 8 (float64)
    bool prefixed = false;   // each row follows its own int32 d (the vecs formats)
};

// Reads n, d and the layout of a mapped binary file; checks that the size fits them
// exactly. (That every vecs record announces the same d is checked while filling.)
kmeans::ReadStatus read_binary_header(const kmeans::MappedFile& file, DataFormat format, int& n,
                                      int& d, BinaryLayout& layout);

// Fills the n x (d+1) augmented matrix (column d = -0.5) from the mapped file; false
// on a value that is not a finite float, a vecs record with another d, or a file cut
// short while it is read.
// Uses up to `threads` threads.
bool fill_binary(const kmeans::MappedFile& file, const BinaryLayout& layout, int n, int d,
                 float* matrix, int threads);
// The same for the file's rows [first, first + count) only: matrix row 0 is file row
// `first`.
bool fill_binary_rows(const kmeans::MappedFile& file, const BinaryLayout& layout, std::size_t first,
                      int count, int d, float* matrix, int threads);

#endif
