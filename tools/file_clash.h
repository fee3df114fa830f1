// file_clash.h - refuses a run whose output would overwrite one of its own inputs, or
// another of its outputs, before anything is created or truncated.
//
// Files are compared by identity, not by name: device and inode where the file
// exists (so links and other spellings of a path are caught), the name it would be
// created under where it does not (resolve_output_path: its directory through
// realpath, and every link to a file not there yet followed to that file). Existing files that are
// not regular (/dev/null, /dev/full, a pipe) are never a clash: writing them destroys nothing.
#ifndef KMEANS_FILE_CLASH_H
#define KMEANS_FILE_CLASH_H

#include <string>
#include <vector>

// The first clash as the line to print ("Error: '<out>' is also an input: '<in>'."
// or "Error: '<out>' is also an output: '<other>'."), or an empty string. Empty
// names are skipped.
std::string find_file_clash(const std::vector<std::string>& inputs,
                            const std::vector<std::string>& outputs);

#endif  // KMEANS_FILE_CLASH_H
