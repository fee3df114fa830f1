// read_status.h - how reading an input ended, the one way every reader (the model,
// the data file, the descriptor files) says it.
#ifndef KMEANS_READ_STATUS_H
#define KMEANS_READ_STATUS_H

namespace kmeans {

enum class ReadStatus {
    ok,
    cannot_open,   // missing, unreadable, or a directory
    wrong_format,  // not what its format says: refused as a whole
    too_large,     // its text does not fit in memory
    endless,       // not a regular file, and more than kMostStreamBytes of text
    no_memory,     // the matrix it holds does not fit in memory
};

}  // namespace kmeans

#endif  // KMEANS_READ_STATUS_H
