// fuzz_util.h - hands a fuzzer's bytes to the readers through their real entry
// points, which take file names: the bytes go to an in-memory file (memfd) that is
// opened by its /proc path. Console output is discarded.
#ifndef KMEANS_FUZZ_UTIL_H
#define KMEANS_FUZZ_UTIL_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>

class MemFile {
public:
    MemFile(const std::uint8_t* data, std::size_t size) {
        fd_ = memfd_create("fuzz", 0);
        if (fd_ < 0) return;
        std::size_t done = 0;
        while (done < size) {
            const ssize_t w = write(fd_, data + done, size - done);
            if (w <= 0) break;
            done += std::size_t(w);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    const char* path() const { return path_.c_str(); }

private:
    int fd_ = -1;
    std::string path_;
};

// Discards everything written to it.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

inline void silence_console() {
    static NullBuffer sink;
    std::cout.rdbuf(&sink);
    std::cerr.rdbuf(&sink);
}

#endif
