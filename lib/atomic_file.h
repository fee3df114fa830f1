// atomic_file.h - an output that appears whole or not at all. It is written into a
// temporary file in the target's directory, with the target's permission bits (or
// 0666 less the umask for a new file), and put in place once complete.
//
// The temporary has no name while it is written where the file system allows it
// (O_TMPFILE): a run killed at any point leaves nothing of it. Once complete it is
// linked (linkat) under the target's own name when the target does not exist, or
// else under a fresh name beside it that is renamed over the target at once, with
// the guarded signals blocked in between. Elsewhere, and for a temporary that other
// processes must open by name, it is created by mkstemp (O_CREAT|O_EXCL: a name no
// one can predict, and no link can be planted at it) and renamed over the target.
//
// The target is resolve_output_path's: a symbolic link is followed to the file it
// names, also one whose file does not exist yet, so that file is written and the link
// stays. A target that exists and is not a regular file (a device, a pipe) is written
// in place. A directory, and a regular file that could not be replaced (one this user
// may not write, an immutable or append-only one, another user's in a directory with
// the sticky bit), is refused before anything is created.
//
// With atomic_file_guard_signals() installed, a SIGINT, SIGTERM, SIGHUP or SIGXFSZ (a
// write past the file-size limit) during the write removes a named temporary, then
// ends the process by the same signal. Signals ignored at start-up stay ignored.
#ifndef KMEANS_ATOMIC_FILE_H
#define KMEANS_ATOMIC_FILE_H

#include <cstdio>
#include <string>

namespace kmeans {

class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();  // removes a temporary that was not committed

    // False when the target is refused (see above) or the temporary (or the target,
    // written in place) cannot be opened. `shared`: the temporary gets its name at
    // once (mkstemp), so that other processes can open it by writing().
    bool open(const char* path, bool shared = false);
    std::FILE* stream() const { return file_; }
    // The file being written by name: the shared temporary, or the target written in
    // place; empty for a temporary without a name. Other writers (other processes)
    // may write into it at offsets before the commit.
    const std::string& writing() const { return temp_.empty() && !hidden_ ? target_ : temp_; }
    // Flushes, syncs, closes and puts the file in place. False on any failure; the
    // temporary is then removed and the target is as it was.
    bool commit();

private:
    void abandon();
    std::FILE* file_ = nullptr;
    std::string target_;
    std::string temp_;     // the named temporary; empty when hidden or in place
    bool hidden_ = false;  // an O_TMPFILE temporary, linked in place by commit
};

// The file that writing `path` creates or replaces: the directory part resolved by
// realpath, then each symbolic link in the last part followed, also one whose file
// does not exist yet, to the name that would be created. False for a path that
// names no file: empty, in a directory that does not exist, or a loop of links
// (more than 40 in a row).
bool resolve_output_path(const char* path, std::string& resolved);

// True when `path` can be written as above: the target is not refused and, for a
// regular or new target, a temporary can be created beside it (it is removed at
// once); a device or pipe must be writable.
bool atomic_file_probe(const char* path);

// Installs the SIGINT, SIGTERM, SIGHUP and SIGXFSZ handlers that remove a temporary in
// progress.
void atomic_file_guard_signals();

}  // namespace kmeans

#endif  // KMEANS_ATOMIC_FILE_H
