// The three descriptor readers. The first byte picks the type (0, 1 or 3) and, for
// the text types, the dimension the file must have (1..8).
#include "fuzz_util.h"
#include "sift_io.h"

using namespace kmeans;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silence_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int type = data[0] % 3 == 2 ? 3 : data[0] % 3;
    const int dim = type == 3 ? 128 : 1 + (data[0] >> 2) % 8;
    MemFile file(data + 1, size - 1);
    if (!file.ok()) return 0;
    float* matrix = nullptr;
    SiftRegion* regions = nullptr;
    int n = -1;
    int d = -1;
    switch (type) {
    case 0: read_sift_0(file.path(), matrix, n, d, dim); break;
    case 1: read_sift_1(file.path(), matrix, n, d, dim, regions); break;
    default: read_sift_3(file.path(), matrix, n, d, dim, regions); break;
    }
    if (matrix != nullptr) {
        if (d != dim || n < 0) __builtin_trap();
        for (std::size_t i = 0; i < std::size_t(n); ++i)
            if (matrix[i * (std::size_t(d) + 1) + d] != -0.5f) __builtin_trap();
        if (type != 0 && regions == nullptr) __builtin_trap();
    } else if (regions != nullptr) {
        __builtin_trap();  // regions only come with a matrix
    }
    delete[] matrix;
    delete[] regions;
    return 0;
}
