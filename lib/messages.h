// messages.h - the messages that more than one place prints, each worded once: the
// engine's and the trainers' memory message, and every program's output that cannot
// be written. On standard error, each line ended by std::endl (flushed).
#ifndef KMEANS_MESSAGES_H
#define KMEANS_MESSAGES_H

#include <iostream>
#include <string>

namespace kmeans {

inline void insufficient_memory() {
    std::cerr << "Insufficient memory! Try with a smaller block size." << std::endl;
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
