// messages.h - the messages that more than one place says, each worded once: the
// engine's and the trainers' memory messages, too few rows, centres of another
// dimension, and every program's output that cannot be written. The programs print
// them on standard error, each line ended by std::endl (flushed); the Python module
// raises them.
#ifndef KMEANS_MESSAGES_H
#define KMEANS_MESSAGES_H

#include <iostream>
#include <string>

namespace kmeans {

inline std::string insufficient_memory_text() {
    return "Insufficient memory! Try with a smaller block size.";
}

inline void insufficient_memory() { std::cerr << insufficient_memory_text() << std::endl; }

inline std::string data_matrix_text(long long rows, int d) {
    return "Cannot allocate the data matrix: " + std::to_string(rows) + " x " +
           std::to_string(d + 1) + " floats do not fit in memory.";
}

inline std::string too_few_rows_text() {
    return "The number of individus is less than the number of cluster.";
}

inline std::string dimensions_differ_text(int model, int rows) {
    return "Dimensions are not equal ! " + std::to_string(model) + " != " + std::to_string(rows);
}

inline std::string cannot_write_text(const std::string& path) {
    return "Cannot open file '" + path + "' for writing.";
}

// Returns false, for `return cannot_write(path);` where a step reports its failure.
inline bool cannot_write(const char* path) {
    std::cerr << cannot_write_text(path) << std::endl;
    return false;
}

}  // namespace kmeans

#endif  // KMEANS_MESSAGES_H
