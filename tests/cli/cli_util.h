// cli_util.h - runs a real program with arguments and captures its exit status,
// standard output and standard error, for the end-to-end cases.
#ifndef KMEANS_TESTS_CLI_UTIL_H
#define KMEANS_TESTS_CLI_UTIL_H

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/mask_times.h"

struct RunResult {
    int status = -1;
    bool timedOut = false;  // killed after the caller's time limit
    std::string out;
    std::string err;
};

// The assigner's usage text, as a mistake prints it (standard error).
inline std::string assign_usage(const std::string& program) {
    return "Use: " + program +
           " [OPTION] <list file> <model file> <result file>\n"
           "OPTIONS:\n"
           "\t-t <number>:\tSIFT type\n"
           "\t-d <string>:\tSIFT region descriptor file\n"
           "\t-b <number>:\tBlock size\n"
           "\t-p <number>:\tNumber of processors\n";
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void spit(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Starts `program args...` with its standard output and error on the given
// descriptors, in `cwd` (when not empty); no shell is involved. A non-zero
// `addressSpace` limits the program's address space (bytes), to make a large
// allocation fail. A non-zero `fileSize` limits the size of every file it writes
// (bytes), SIGXFSZ ignored, so that a write past it fails with EFBIG instead of
// killing the program. Returns the child's pid; the caller waits for it.
inline pid_t spawn(const std::string& program, const std::vector<std::string>& args, int outFd,
                   int errFd, const std::string& cwd = "", unsigned long long addressSpace = 0,
                   unsigned long long fileSize = 0) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        if (addressSpace != 0) {
            const rlimit limit{addressSpace, addressSpace};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (fileSize != 0) {
            signal(SIGXFSZ, SIG_IGN);  // an ignored signal stays ignored across exec
            const rlimit limit{fileSize, fileSize};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// Runs a program to its end (see spawn) and captures its status and output. A
// non-zero `timeoutSeconds` kills a program that runs longer (timedOut is then set).
inline RunResult run(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd = "", unsigned long long addressSpace = 0,
                     int timeoutSeconds = 0, unsigned long long fileSize = 0) {
    char outName[] = "/tmp/kmeans_cli_out_XXXXXX";
    char errName[] = "/tmp/kmeans_cli_err_XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    const pid_t pid = spawn(program, args, outFd, errFd, cwd, addressSpace, fileSize);
    int wstatus = 0;
    RunResult r;
    if (timeoutSeconds > 0) {
        const long long polls = timeoutSeconds * 100LL;  // every 10 ms
        long long i = 0;
        while (waitpid(pid, &wstatus, WNOHANG) == 0) {
            if (++i > polls) {
                r.timedOut = true;
                kill(pid, SIGKILL);
                waitpid(pid, &wstatus, 0);
                break;
            }
            usleep(10000);
        }
    } else {
        waitpid(pid, &wstatus, 0);
    }
    close(outFd);
    close(errFd);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = slurp(outName);
    // Under AddressSanitizer with allocator_may_return_null=1, a refused huge
    // allocation adds one warning line; the program's own output is what counts.
    static const std::regex asanWarning(
        "==[0-9]+==WARNING: AddressSanitizer failed to allocate[^\n]*\n");
    r.err = std::regex_replace(slurp(errName), asanWarning, "");
    unlink(outName);
    unlink(errName);
    return r;
}

#endif
