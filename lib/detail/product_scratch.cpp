// product_scratch.cpp - filling OpenBLAS's buffer pool while a failure can still be
// reported.
#include "detail/product_scratch.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

// OpenBLAS's pool (exported by its shared library; weak, so that another CBLAS,
// which keeps no pool, links too). A buffer taken and given back stays mapped in the
// pool, and any thread's next product reuses it.
extern "C" void* blas_memory_alloc(int procpos) __attribute__((weak));
extern "C" void blas_memory_free(void* buffer) __attribute__((weak));
// "OpenBLAS 0.3.21 DYNAMIC_ARCH ...": the pool above is internal to the library, so it
// is only used in the versions whose pool is known (0.3.x).
extern "C" char* openblas_get_config() __attribute__((weak));

namespace kmeans::detail {

namespace {

// What this process has mapped, in bytes; 0 when it cannot be read.
std::size_t mapped_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// True when `bytes` of private writable memory can be mapped now, the way
// OpenBLAS maps a buffer; the mapping is given back at once.
bool can_map(std::size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    munmap(p, bytes);
    return true;
}

}  // namespace

constexpr int kMostBuffers = 64;

// Whether the loaded OpenBLAS keeps the pool described above.
static bool known_pool() {
    static const bool known = [] {
        const char* config = openblas_get_config != nullptr ? openblas_get_config() : nullptr;
        return config != nullptr && std::strncmp(config, "OpenBLAS 0.3.", 13) == 0;
    }();
    return known;
}

bool reserve_product_scratch(int workers) {
    if (blas_memory_alloc == nullptr || blas_memory_free == nullptr || !known_pool()) return true;
    static std::mutex lock;
    static int held = 0;  // buffers known to be in the pool
    // OpenBLAS's buffer size is a build setting. Until one buffer has been seen
    // mapped, twice the usual 128 MiB is asked for; after that, what it took.
    static std::size_t bufferBytes = std::size_t(256) << 20;
    std::lock_guard<std::mutex> guard(lock);
    // The pool has a fixed number of places (128 in Debian's build) and then a
    // fragile overflow: filling it beyond 64 breaks it. Workers past the 64th map
    // their buffers when they first need them, as OpenBLAS does by itself.
    if (workers > kMostBuffers) workers = kMostBuffers;
    if (workers <= held) return true;

    std::vector<void*> taken;
    bool ok = true;
    for (int i = 0; i < workers; ++i) {
        // The first `held` come from the pool; each one beyond maps a new buffer,
        // which must not fail.
        if (i >= held && !can_map(bufferBytes)) {
            ok = false;
            break;
        }
        const std::size_t before = mapped_bytes();
        void* buffer = blas_memory_alloc(0);
        const std::size_t after = mapped_bytes();
        if (buffer == nullptr) {
            ok = false;
            break;
        }
        taken.push_back(buffer);
        if (i >= held && after > before) bufferBytes = after - before + (std::size_t(1) << 20);
    }
    // Given back to the pool, not unmapped: the workers' products take them.
    for (void* buffer : taken) blas_memory_free(buffer);
    if (int(taken.size()) > held) held = int(taken.size());
    return ok;
}

}  // namespace kmeans::detail
