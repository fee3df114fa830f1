// quiet_output.h - --quiet for every program: standard output dropped from quiet_begin()
// until quiet_end(), before the closing line; errors still show. The discarding buffer
// also serves the MPI drivers' ranks that do not speak.
#ifndef KMEANS_QUIET_OUTPUT_H
#define KMEANS_QUIET_OUTPUT_H

#include <streambuf>

// A stream buffer that discards everything written to it (one for the process).
std::streambuf* discarding_buffer();

void quiet_begin();
void quiet_end();

#endif
