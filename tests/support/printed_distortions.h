// printed_distortions.h - the D of every "Step [i] distorion = D" line of a training's
// standard output, in order (shared by the unit and the end-to-end tests).
#ifndef KMEANS_TESTS_PRINTED_DISTORTIONS_H
#define KMEANS_TESTS_PRINTED_DISTORTIONS_H

#include <sstream>
#include <string>
#include <vector>

inline std::vector<double> printed_distortions(const std::string& out) {
    std::vector<double> v;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t at = line.find("] distorion = ");
        if (at != std::string::npos) v.push_back(std::stod(line.substr(at + 14)));
    }
    return v;
}

#endif
