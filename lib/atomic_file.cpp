// atomic_file.cpp - see atomic_file.h.
#include "atomic_file.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kmeans {

namespace {

// The named temporary being written, for the signal handlers (one at a time).
char g_pending[PATH_MAX + 1];
volatile sig_atomic_t g_has_pending = 0;

constexpr int kGuarded[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};

void remove_pending(int sig) {
    if (g_has_pending) unlink(g_pending);
    signal(sig, SIG_DFL);
    raise(sig);
}

void set_pending(const std::string& name) {
    std::memcpy(g_pending, name.c_str(), name.size() + 1);
    g_has_pending = 1;
}

// "<dir>/<name>" with the separators a path needs.
std::string join(const std::string& dir, const std::string& name) {
    return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name;
}

// The directory part of a path ("." for a bare name, "/" for a name in the root).
std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash == 0 ? 1 : slash);
}

// Whether this process holds CAP_FOWNER, which lets it replace another user's file
// in a sticky directory, as root usually does.
bool may_act_as_owner() {
    __user_cap_header_struct header;
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[2];
    std::memset(data, 0, sizeof data);
    if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
    return (data[CAP_FOWNER / 32].effective >> (CAP_FOWNER % 32)) & 1u;
}

// Whether an existing regular file may be replaced by this process, tested the way
// the kernel decides it, so that a run is refused before its data is read rather
// than after: write permission on the file itself (the effective ids, as for open;
// the kernel also answers EPERM here for an immutable file), neither the immutable
// nor the append-only attribute (no rename may replace such a file), and in a
// directory with the sticky bit, a file or directory of this user's own.
bool replaceable(const std::string& path, const struct stat& st) {
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return false;
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0)
        return false;
    struct stat dir;
    if (stat(directory_of(path).c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) != 0) {
        const uid_t me = geteuid();
        if (st.st_uid != me && dir.st_uid != me && !may_act_as_owner()) return false;
    }
    return true;
}

struct Target {
    std::string path;  // the file to write or replace (links resolved)
    bool inPlace = false;
    mode_t mode = 0;
};

// Where the output goes and with which permission bits. False for a path that names
// no file, and for a target that is refused (atomic_file.h).
bool resolve(const char* path, Target& t) {
    if (!resolve_output_path(path, t.path)) return false;
    struct stat st;
    if (stat(t.path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return false;
        t.inPlace = !S_ISREG(st.st_mode);
        t.mode = st.st_mode & 07777;
        if (!t.inPlace && !replaceable(t.path, st)) return false;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        t.mode = 0666 & ~mask;
    }
    return true;
}

// A temporary without a name in the target's directory, or -1 where the file
// system (or the kernel) has no O_TMPFILE. Giving it a name later goes through
// /proc/self/fd (linkat with AT_EMPTY_PATH needs a capability), so without /proc
// the named route is taken instead.
int make_hidden_temp(const Target& t) {
    if (access("/proc/self/fd", X_OK) != 0) return -1;
    const int fd = ::open(directory_of(t.path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    if (fchmod(fd, t.mode) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// mkstemp beside the target: "<dir>/.kmeans-XXXXXX". -1 on failure.
int make_named_temp(const Target& t, std::string& temp) {
    temp = join(directory_of(t.path), ".kmeans-XXXXXX");
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

// A fresh "<dir>/.kmeans-XXXXXX" name, its six characters drawn at random.
std::string fresh_name(const std::string& dir) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned long long bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != ssize_t(sizeof bits)) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        bits =
            (unsigned long long)(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^ (unsigned(getpid()) << 16);
    }
    std::string name = ".kmeans-";
    for (int i = 0; i < 6; ++i, bits /= 62) name += kLetters[bits % 62];
    return join(dir, name);
}

// Gives the complete hidden temporary `fd` the target's name. A new target is
// linked under that name itself: no other name ever appears. An existing one is
// replaced by a link under a fresh name (linkat never follows or replaces what is
// there: a planted name is skipped) renamed over it; the guarded signals wait
// until the rename is done, so only a SIGKILL in that instant can leave the name.
bool link_into_place(int fd, const std::string& target) {
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, proc, AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) return false;
    sigset_t guarded, previous;
    sigemptyset(&guarded);
    for (int sig : kGuarded) sigaddset(&guarded, sig);
    sigprocmask(SIG_BLOCK, &guarded, &previous);
    const std::string dir = directory_of(target);
    bool ok = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = fresh_name(dir);
        if (temp.size() > PATH_MAX) break;
        if (linkat(AT_FDCWD, proc, AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST) continue;
            break;
        }
        set_pending(temp);  // for a signal taken by another thread
        ok = std::rename(temp.c_str(), target.c_str()) == 0;
        if (!ok) unlink(temp.c_str());
        g_has_pending = 0;
        break;
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

}  // namespace

bool resolve_output_path(const char* path, std::string& resolved) {
    if (path == nullptr || *path == '\0') return false;
    std::string current = path;
    // Linux's own limit on links followed in one lookup: a longer chain is a loop.
    for (int links = 0; links <= 40; ++links) {
        const std::size_t slash = current.find_last_of('/');
        const std::string name = slash == std::string::npos ? current : current.substr(slash + 1);
        char buffer[PATH_MAX];
        if (name.empty() || name == "." || name == "..") {  // names a directory
            if (realpath(current.c_str(), buffer) == nullptr) return false;
            resolved = buffer;
            return true;
        }
        if (realpath(directory_of(current).c_str(), buffer) == nullptr) return false;
        const std::string dir = buffer;
        const std::string full = join(dir, name);
        struct stat st;
        if (lstat(full.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            resolved = full;
            return true;
        }
        const ssize_t length = readlink(full.c_str(), buffer, sizeof buffer);
        if (length < 0 || std::size_t(length) >= sizeof buffer) return false;
        const std::string target(buffer, std::size_t(length));
        current = target[0] == '/' ? target : join(dir, target);
    }
    return false;
}

AtomicFile::~AtomicFile() { abandon(); }

void AtomicFile::abandon() {
    if (file_ != nullptr) std::fclose(file_);  // a hidden temporary goes with its descriptor
    file_ = nullptr;
    hidden_ = false;
    if (!temp_.empty()) {
        g_has_pending = 0;
        unlink(temp_.c_str());
        temp_.clear();
    }
}

bool AtomicFile::open(const char* path, bool shared) {
    abandon();
    Target t;
    if (!resolve(path, t)) return false;
    target_ = t.path;
    if (t.inPlace) {
        file_ = std::fopen(target_.c_str(), "w");
        return file_ != nullptr;
    }
    int fd = shared ? -1 : make_hidden_temp(t);
    hidden_ = fd >= 0;
    if (!hidden_) {
        std::string temp;
        fd = make_named_temp(t, temp);
        if (fd < 0) return false;
        temp_ = temp;
        set_pending(temp_);
    }
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
    const bool inPlace = temp_.empty() && !hidden_;
    bool ok = std::fflush(file_) == 0;
    if (ok && !inPlace) ok = fsync(fileno(file_)) == 0;
    // A hidden temporary is linked after the stream is closed (its last errors
    // known), through a second descriptor of the same file.
    const int keep = ok && hidden_ ? dup(fileno(file_)) : -1;
    ok = (std::fclose(file_) == 0) && ok;
    file_ = nullptr;
    if (inPlace) return ok;
    if (hidden_) {
        ok = ok && keep >= 0 && link_into_place(keep, target_);
        if (keep >= 0) close(keep);
        hidden_ = false;
        return ok;
    }
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
    int fd = make_hidden_temp(t);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    std::string temp;
    fd = make_named_temp(t, temp);
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
    for (int sig : kGuarded) {
        // A signal the caller ignores stays ignored (nohup, a shell's background job,
        // SIGXFSZ ignored so that a write past the limit fails instead).
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(sig, &action, nullptr);
    }
}

}  // namespace kmeans
