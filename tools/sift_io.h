// sift_io.h - the assigner's descriptor file readers and the decomposition of an
// elliptic region into its shape matrix.
//
// Each reader loads one descriptor file into a new augmented matrix (n rows of dim+1
// floats, column dim = -0.5) and, for types 1 and 3, a new array of n SiftRegion
// records; both are new[] arrays that the caller owns and releases with delete[].
// Each returns how the reading ended (text_scan.h), and its caller words the
// message: on any status but ok the matrix is null and the region pointer untouched.
// Only progress goes to standard output ("rows = ..."), and decompose notes a region
// that is no ellipse on standard error.
//
//   type 0  text: d n, then n descriptors of d reals
//   type 1  text: d n, then n times (x y a b c, then d reals); prints "rows = ..."
//   type 3  binary: records of 156 bytes, dimension 128, no header; prints "rows = ..."
//
// The text readers map the file and parse it with the scanners of text_scan.h; a file
// that ends early or holds anything but finite numbers where values are due is
// refused as a whole rather than delivered with holes. The binary reader reads the
// file with one fread into one buffer and converts it record by record.
#ifndef KMEANS_SIFT_IO_H
#define KMEANS_SIFT_IO_H

#include <cstdint>
#include <string>

#include "text_scan.h"

// One region: position, shape matrix whose rows are the region's two axes, and the
// file and cluster the descriptor belongs to. Written byte for byte to the region
// descriptor file, so the layout is fixed: eight 4-byte fields, no padding.
struct SiftRegion {
    int fileIndex;     // set by the driver (type 3 copies the record's bytes 0..3 first)
    int clusterIndex;  // set by the driver (type 3 copies the record's bytes 4..7 first)
    float x;
    float y;
    float a11;
    float a12;
    float a21;
    float a22;
};
static_assert(sizeof(SiftRegion) == 32, "SiftRegion is a 32-byte file record");
static_assert(sizeof(int) == 4 && sizeof(float) == 4, "SiftRegion fields are 4 bytes");

// Shape matrix of the ellipse p^T M p <= 1, M = [a b; b c]: row 1 is the eigenvector
// of the larger eigenvalue l1 scaled to 1/sqrt(l1), row 2 the perpendicular one scaled
// to 1/sqrt(l2). A matrix that is not positive definite gets a message on std::cerr
// and its non-finite results are stored as they come.
void decompose(float a, float b, float c, float& a11, float& a12, float& a21, float& a22);

// The line the assigner prints for a descriptor file that did not read (no line end):
// "Error: Cannot open file '<name>' for reading.", "Error: Wrong format file:
// '<name>'." or what unreadable_message says. A matrix that does not fit in memory
// is worded as the wrong format: such an entry is unreadable like a malformed one,
// gets its line of zeros, and the run goes on with the next file.
std::string entry_message(kmeans::ReadStatus status, const char* name);

kmeans::ReadStatus read_sift_0(const char* name, float*& matrix, int& n, int& d, int dim);
kmeans::ReadStatus read_sift_1(const char* name, float*& matrix, int& n, int& d, int dim,
                               SiftRegion*& regions);
kmeans::ReadStatus read_sift_3(const char* name, float*& matrix, int& n, int& d, int dim,
                               SiftRegion*& regions);

// A binary descriptor file, recognised by its name as the trainer's data files are
// (binary_data.h: .fvecs, .bvecs, .npy), whatever the SIFT type: no regions, no
// "rows = " line. Its dimension must equal `dim`. The matrix is filled straight from
// the mapped file on up to `threads` threads.
kmeans::ReadStatus read_binary_entry(const char* name, float*& matrix, int& n, int& d, int dim,
                                     int threads);

#endif
