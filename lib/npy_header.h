// npy_header.h - the header of a NumPy format 1.0 file, as numpy.save writes it: the
// magic string, the version, the header's length (little-endian uint16), then the
// dictionary padded with spaces and ended by a line feed so that the values start at
// a multiple of 64 bytes. The engine writes its model files with it, the assigner its
// label files; readers parse headers on their own (binary_data, detail/model_formats).
#ifndef KMEANS_NPY_HEADER_H
#define KMEANS_NPY_HEADER_H

#include <string>

namespace kmeans {

// `descr` a dtype such as "<f4", `shape` a Python tuple such as "(16, 128)" or "(5,)";
// always C order. A header of a 1.0 file holds at most 65535 bytes: any shape of int
// dimensions fits.
inline std::string npy_header(const char* descr, const std::string& shape) {
    std::string dict =
        std::string("{'descr': '") + descr + "', 'fortran_order': False, 'shape': " + shape + ", }";
    while ((10 + dict.size() + 1) % 64 != 0) dict += ' ';
    dict += '\n';
    std::string out("\x93NUMPY\x01\x00", 8);
    out += char(dict.size() & 0xff);
    out += char(dict.size() >> 8);
    return out + dict;
}

}  // namespace kmeans

#endif  // KMEANS_NPY_HEADER_H
