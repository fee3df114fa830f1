// npy_header.h - the header of a NumPy format 1.0 file, as numpy.save writes it: the
// magic string, the version, the header's length (little-endian uint16), then the
// dictionary padded with spaces and ended by a line feed so that the values start at
// a multiple of 64 bytes. The engine writes its model files with it, the programs
// their label files; the readers of .npy data and models parse headers with the two
// routines below; their names and vecs records with the two helpers before them.
#ifndef KMEANS_NPY_HEADER_H
#define KMEANS_NPY_HEADER_H

#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kmeans {

// Whether a file's name ends in `suffix` (".npy", ".fvecs"...): the binary formats are
// recognised by name.
inline bool name_ends_with(const char* name, const char* suffix) {
    const std::size_t n = std::strlen(name), m = std::strlen(suffix);
    return n >= m && std::strcmp(name + n - m, suffix) == 0;
}

// The little-endian uint32 at p (the files' byte order, whatever the machine's).
inline std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// numpy writes headers of a few hundred bytes; a reader refuses any longer.
constexpr std::size_t kMostNpyHeaderBytes = std::size_t(1) << 16;

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

// The value of 'key' in a .npy header dictionary, as written by numpy: the text after
// "'key':" up to the next ',' that is not inside parentheses or quotes.
inline std::string npy_dict_value(const std::string& header, const char* key) {
    const std::string quoted = std::string("'") + key + "'";
    std::size_t at = header.find(quoted);
    if (at == std::string::npos) return std::string();
    at = header.find(':', at + quoted.size());
    if (at == std::string::npos) return std::string();
    std::size_t end = at + 1;
    int depth = 0;
    bool inQuote = false;
    for (; end < header.size(); ++end) {
        const char c = header[end];
        if (c == '\'') inQuote = !inQuote;
        if (inQuote) continue;
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if ((c == ',' && depth == 0) || c == '}') break;
    }
    std::string v = header.substr(at + 1, end - at - 1);
    const std::size_t first = v.find_first_not_of(" \t");
    const std::size_t last = v.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : v.substr(first, last - first + 1);
}

// "(n, d)": exactly two positive integers that fit an int (a Python 2 "L" allowed).
inline bool npy_shape(const std::string& s, int& n, int& d) {
    if (s.size() < 2 || s.front() != '(' || s.back() != ')') return false;
    long long values[3];
    int count = 0;
    std::size_t i = 1;
    while (i < s.size() - 1) {
        while (i < s.size() - 1 && s[i] == ' ') ++i;
        if (i == s.size() - 1) break;
        if (count == 3 || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        long long v = 0;
        while (i < s.size() - 1 && std::isdigit(static_cast<unsigned char>(s[i]))) {
            v = v * 10 + (s[i] - '0');
            if (v > INT_MAX) return false;
            ++i;
        }
        while (i < s.size() - 1 && (s[i] == ' ' || s[i] == 'L')) ++i;
        values[count++] = v;
        if (i < s.size() - 1 && s[i] != ',') return false;
        if (i < s.size() - 1) ++i;
    }
    if (count != 2 || values[0] < 1 || values[1] < 1) return false;
    n = int(values[0]);
    d = int(values[1]);
    return true;
}

}  // namespace kmeans

#endif  // KMEANS_NPY_HEADER_H
