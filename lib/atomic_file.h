// atomic_file.h - an output that appears whole or not at all. It is written under a
// temporary name in the target's directory, created by mkstemp (O_CREAT|O_EXCL: a
// name no one can predict, and no link can be planted at it), with the target's
// permission bits (or 0666 less the umask for a new file), and renamed over the
// target once complete. A target that is a symbolic link is resolved first, so the
// file it names is replaced and the link stays. A target that exists and is not a
// regular file (a device, a pipe) is written in place.
//
// With atomic_file_guard_signals() installed, a SIGINT, SIGTERM, SIGHUP or SIGXFSZ (a
// write past the file-size limit) during the write removes the temporary file, then
// ends the process by the same signal. Signals ignored at start-up stay ignored.
#ifndef KMEANS_ATOMIC_FILE_H
#define KMEANS_ATOMIC_FILE_H

#include <cstdio>
#include <string>

class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();  // removes a temporary that was not committed

    // False when the temporary (or the target, written in place) cannot be opened.
    bool open(const char* path);
    std::FILE* stream() const { return file_; }
    // The file being written: the temporary (or the target, written in place). Other
    // writers (other processes) may write into it at offsets before the commit.
    const std::string& writing() const { return temp_.empty() ? target_ : temp_; }
    // Flushes, syncs, closes and renames into place. False on any failure; the
    // temporary is then removed and the target is as it was.
    bool commit();

private:
    void abandon();
    std::FILE* file_ = nullptr;
    std::string target_;
    std::string temp_;  // empty when written in place
};

// True when `path` can be written as above: for a regular or new target, a temporary
// is created beside it and removed at once; a device or pipe must be writable.
bool atomic_file_probe(const char* path);

// Installs the SIGINT, SIGTERM, SIGHUP and SIGXFSZ handlers that remove a temporary in
// progress.
void atomic_file_guard_signals();

#endif  // KMEANS_ATOMIC_FILE_H
