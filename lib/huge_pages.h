// huge_pages.h - the hint every data matrix gets before its first write.
//
// The matrix is written once, front to back, by the fill threads, then read by every
// pass's search: in 2 MiB pages the kernel takes one fault per 512 it would take in
// 4 KiB pages, zeroes each page at the speed of memory, and the search's reads miss
// the TLB far less (a pass costs about a tenth more in small pages). Only a hint:
// where huge pages are off, nothing changes.
#ifndef KMEANS_HUGE_PAGES_H
#define KMEANS_HUGE_PAGES_H

#include <sys/mman.h>

#include <cstdint>

namespace kmeans {

inline void advise_huge_pages(float* matrix, std::uint64_t cells) {
    const std::uintptr_t huge = std::uintptr_t(2) << 20;
    const std::uintptr_t lo = (reinterpret_cast<std::uintptr_t>(matrix) + huge - 1) / huge * huge;
    const std::uintptr_t hi = (reinterpret_cast<std::uintptr_t>(matrix + cells)) / huge * huge;
    if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
}

}  // namespace kmeans

#endif  // KMEANS_HUGE_PAGES_H
