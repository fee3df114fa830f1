// The trainer's data file reader: header, then the body with one or two threads
// (the first byte chooses), into the augmented matrix.
#include <cmath>

#include "data_file.h"
#include "fuzz_util.h"

using namespace kmeans;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silence_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int threads = 1 + (data[0] & 1);
    MemFile file(data + 1, size - 1);
    if (!file.ok()) return 0;
    DataFile input;
    if (input.open(file.path()) != ReadStatus::ok) return 0;
    int n = 0;
    int d = 0;
    if (input.readHeader(n, d) != ReadStatus::ok) return 0;
    if (n < 1 || d < 1) __builtin_trap();  // the header check lets only real sizes through
    float* matrix = nullptr;
    if (input.readBody(n, d, threads, &matrix) == ReadStatus::ok) {
        // Every value finite, every row ends in -0.5.
        for (std::size_t i = 0; i < std::size_t(n); ++i) {
            const float* row = matrix + i * (std::size_t(d) + 1);
            if (row[d] != -0.5f) __builtin_trap();
            for (int j = 0; j < d; ++j)
                if (!std::isfinite(row[j])) __builtin_trap();
        }
        delete[] matrix;
    } else if (matrix != nullptr) {
        __builtin_trap();  // a refused body delivers no matrix
    }
    return 0;
}
