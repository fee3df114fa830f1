// The model file reader: a model either reads whole (k, d >= 1, norms rebuilt) or
// is refused.
#include <cmath>

#include "fuzz_util.h"
#include "kmeans.h"

using namespace kmeans;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silence_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemFile file(data, size);
    if (!file.ok()) return 0;
    KMeans model;
    if (model.readModel(file.path()) != ReadStatus::ok) return 0;
    if (model.k < 1 || model.d < 1) __builtin_trap();
    for (int c = 0; c < model.k; ++c)
        for (int j = 0; j <= model.d; ++j)
            if (std::isnan(model.centers[std::size_t(c) * (std::size_t(model.d) + 1) + j]))
                __builtin_trap();
    return 0;
}
