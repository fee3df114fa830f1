// data_file.h - the trainer's data file: text "n d" then n*d floats, any white space
// between them; or, by its name, a .fvecs, .bvecs or .npy file (binary_data.h), read
// through the same steps. Read in two steps so the driver can print its estimate between the
// header and the (long) body: open + header first, then the body straight into the
// augmented matrix (n rows of d+1 floats, column d = -0.5).
//
// The file is mapped, not copied: the matrix is the only copy of the data in memory.
// Values are parsed exactly as stream extraction of a float would read them (same
// bits); anything that is not a finite float, or a body with fewer than n*d values,
// makes the file wrong-format.
#ifndef KMEANS_DATA_FILE_H
#define KMEANS_DATA_FILE_H

#include <cstddef>
#include <cstdint>

#include "binary_data.h"
#include "text_scan.h"

class DataFile {
public:
    // Maps the file (text_scan.h says how a pipe or device is read, and when not).
    kmeans::ReadStatus open(const char* path);
    // Two integers n >= 1 and d >= 1, and a size the file could hold (every value
    // takes at least two bytes): otherwise wrong_format.
    kmeans::ReadStatus readHeader(int& n, int& d);
    // Allocates the n x (d+1) matrix (non-throwing new; no_memory on failure) and
    // fills it, using up to `threads` threads. On any status but ok, *matrix is null.
    kmeans::ReadStatus readBody(int n, int d, int threads, float** matrix);
    // Drops the mapping: once the matrix is filled the file's pages need not stay
    // in this process's memory.
    void close() { file_.close(); }

    // One share of the rows, for part `part` of `parts` processes that each read
    // their own (after open and readHeader, on every one). A binary file's part p
    // holds rows [n*p/parts, n*(p+1)/parts). A text body is cut into `parts` byte
    // ranges at white space, and part p holds the rows whose first value starts in
    // its range (its last row may run on into the next range). So, for text:
    //   1. countShare: the values that start in this part's range (0 for binary);
    //   2. the caller adds up the counts of the parts before this one (`before`), and
    //      checks that all of them together hold n*d values at least;
    //   3. readShare allocates and fills this part's rows: rows x (d+1) floats, file
    //      rows [firstRow, firstRow + rows). A part may hold no rows.
    // The values read are those the whole-file read would put in these rows.
    kmeans::ReadStatus countShare(int part, int parts, std::uint64_t& values);
    kmeans::ReadStatus readShare(int n, int d, int part, int parts, std::uint64_t before,
                                 int threads, float** matrix, int& firstRow, int& rows);

private:
    kmeans::MappedFile file_;
    DataFormat format_ = DataFormat::text;  // from the file's name (binary_data.h)
    BinaryLayout layout_;                   // of a binary file, once its header is read
    const char* cursor_ = nullptr;          // just past a text header
    // countShare's result, which readShare reuses for the same part.
    int countedPart_ = -1;
    int countedParts_ = 0;
    std::uint64_t countedValues_ = 0;
    // Start and end of a part's byte range of the text body.
    bool shareRange(int part, int parts, const char*& begin, const char*& end) const;
};

#endif
