// mask_times.h - the progress lines' whole-second timings, the only output that may
// differ between two runs, replaced by T: a second boundary can fall inside any step.
#ifndef KMEANS_TESTS_MASK_TIMES_H
#define KMEANS_TESTS_MASK_TIMES_H

#include <regex>
#include <string>

inline std::string mask_times(const std::string& s) {
    static const std::regex timing(
        "(Time for searching min clsuter: |Assignment time = |Time for relocating clusters = "
        "|Reading finish ! Time = )-?[0-9]+");
    return std::regex_replace(s, timing, "$1T");
}

#endif
