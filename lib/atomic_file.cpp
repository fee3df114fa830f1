// atomic_file.cpp - see atomic_file.h.
#include "atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// The temporary being written, for the signal handlers (one at a time).
char g_pending[PATH_MAX + 1];
volatile sig_atomic_t g_has_pending = 0;

void remove_pending(int sig) {
    if (g_has_pending) unlink(g_pending);
    signal(sig, SIG_DFL);
    raise(sig);
}

struct Target {
    std::string path;  // the file to replace (a link resolved)
    bool inPlace = false;
    mode_t mode = 0;
};

// Where the output goes and with which permission bits. False only for a path that
// cannot name a file (empty).
bool resolve(const char* path, Target& t) {
    if (path == nullptr || *path == '\0') return false;
    t.path = path;
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char buffer[PATH_MAX];
        if (realpath(path, buffer) != nullptr) t.path = buffer;
    }
    if (stat(t.path.c_str(), &st) == 0) {
        t.inPlace = !S_ISREG(st.st_mode);
        t.mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        t.mode = 0666 & ~mask;
    }
    return true;
}

// mkstemp beside the target: "<dir>/.kmeans-XXXXXX". -1 on failure.
int make_temp(const Target& t, std::string& temp) {
    const std::size_t slash = t.path.find_last_of('/');
    const std::string dir =
        slash == std::string::npos ? "." : t.path.substr(0, slash == 0 ? 1 : slash);
    temp = dir + (dir == "/" ? "" : "/") + ".kmeans-XXXXXX";
    if (temp.size() > PATH_MAX) return -1;
    const int fd = mkstemp(&temp[0]);
    if (fd < 0) return -1;
    if (fchmod(fd, t.mode) != 0) {
        close(fd);
        unlink(temp.c_str());
        return -1;
    }
    return fd;
}

}  // namespace

AtomicFile::~AtomicFile() { abandon(); }

void AtomicFile::abandon() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) {
        g_has_pending = 0;
        unlink(temp_.c_str());
        temp_.clear();
    }
}

bool AtomicFile::open(const char* path) {
    abandon();
    Target t;
    if (!resolve(path, t)) return false;
    target_ = t.path;
    if (t.inPlace) {
        file_ = std::fopen(target_.c_str(), "w");
        return file_ != nullptr;
    }
    std::string temp;
    const int fd = make_temp(t, temp);
    if (fd < 0) return false;
    temp_ = temp;
    std::memcpy(g_pending, temp_.c_str(), temp_.size() + 1);
    g_has_pending = 1;
    file_ = fdopen(fd, "w");
    if (file_ == nullptr) {
        close(fd);
        abandon();
        return false;
    }
    return true;
}

bool AtomicFile::commit() {
    if (file_ == nullptr) return false;
    bool ok = std::fflush(file_) == 0;
    if (ok && !temp_.empty()) ok = fsync(fileno(file_)) == 0;
    ok = (std::fclose(file_) == 0) && ok;
    file_ = nullptr;
    if (temp_.empty()) return ok;
    if (ok && std::rename(temp_.c_str(), target_.c_str()) == 0) {
        g_has_pending = 0;
        temp_.clear();
        return true;
    }
    abandon();
    return false;
}

bool atomic_file_probe(const char* path) {
    Target t;
    if (!resolve(path, t)) return false;
    if (t.inPlace) return access(t.path.c_str(), W_OK) == 0;
    std::string temp;
    const int fd = make_temp(t, temp);
    if (fd < 0) return false;
    close(fd);
    unlink(temp.c_str());
    return true;
}

void atomic_file_guard_signals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = remove_pending;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) {
        // A signal the caller ignores stays ignored (nohup, a shell's background job,
        // SIGXFSZ ignored so that a write past the limit fails instead).
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(sig, &action, nullptr);
    }
}
