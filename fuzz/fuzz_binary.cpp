// The trainer's binary data file reader: the first byte chooses the format (.fvecs,
// .bvecs or .npy) and the thread count; the rest is the file.
#include <cmath>
#include <memory>
#include <new>

#include "binary_data.h"
#include "fuzz_util.h"

using namespace kmeans;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silence_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const DataFormat kFormats[3] = {DataFormat::fvecs, DataFormat::bvecs, DataFormat::npy};
    const DataFormat format = kFormats[data[0] % 3];
    const int threads = 1 + ((data[0] >> 2) & 1);
    MemFile mem(data + 1, size - 1);
    if (!mem.ok()) return 0;
    MappedFile file;
    if (file.open(mem.path(), false) != ReadStatus::ok) return 0;
    int n = 0, d = 0;
    BinaryLayout layout;
    if (read_binary_header(file, format, n, d, layout) != ReadStatus::ok) return 0;
    if (n < 1 || d < 1) __builtin_trap();
    // The header check lets through only sizes that the file holds exactly.
    const std::size_t width = std::size_t(d) + 1;
    if (layout.offset + (std::size_t(n) - 1) * layout.stride +
            std::size_t(d) * std::size_t(layout.valueBytes) >
        file.size())
        __builtin_trap();
    std::unique_ptr<float[]> matrix(new (std::nothrow) float[std::size_t(n) * width]);
    if (!matrix) return 0;
    if (fill_binary(file, layout, n, d, matrix.get(), threads)) {
        for (std::size_t i = 0; i < std::size_t(n); ++i) {
            const float* row = matrix.get() + i * width;
            if (row[d] != -0.5f) __builtin_trap();
            for (int j = 0; j < d; ++j)
                if (!std::isfinite(row[j])) __builtin_trap();
        }
    }
    return 0;
}
