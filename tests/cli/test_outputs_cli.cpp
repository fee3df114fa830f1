// Where the programs' outputs go: links followed to the file they would create, a
// model path that cannot be written refused before the data is read, no name of a
// temporary left by a killed run, and a command line with operands to spare refused
// before anything is created. Also assign with far more workers than rows.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "cli_util.h"
#include "support/temp_dir.h"

namespace {

const std::string kMt = KMEANS_MT;
const std::string kSt = KMEANS_ST;
const std::string kAssign = ASSIGN;
const std::string kSample = SAMPLE_DIR;

const std::string kTwoGroups = "8 2\n0 0\n0 2\n2 0\n2 2\n100 100\n100 102\n102 100\n102 102\n";

std::string cannot_write(const std::string& path) {
    return "Cannot open file '" + path + "' for writing.\n";
}

bool is_link(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

using OutputPaths = TempDirTest;

// A link whose file does not exist yet names that file: two outputs that would be
// the same file are refused, a dangling link is written through, a loop refused.
TEST_F(OutputPaths, LinksToFilesNotThereYet) {
    spit(path("good.txt"), kTwoGroups);
    symlink("model.txt", path("minlink").c_str());
    RunResult r = run(
        kMt, {"-k", "2", "-i", "1", "-m", path("minlink"), path("good.txt"), path("model.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Error: '" + path("minlink") + "' is also an output: '" + path("model.txt") + "'.\n");
    EXPECT_FALSE(exists(path("model.txt")));

    // Two centres of 128 values, for the sample's type 1 files.
    std::string model = "2 128\n";
    for (int j = 0; j < 256; ++j) model += j < 128 ? "0 " : "50 ";
    spit(path("amodel.txt"), model);
    symlink("regions.bin", path("reslink").c_str());
    r = run(kAssign,
            {"-t", "1", "-d", path("regions.bin"), "list_type1.txt", path("amodel.txt"),
             path("reslink")},
            kSample);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: '" + path("regions.bin") + "' is also an output: '" + path("reslink") +
                         "'.\n");
    EXPECT_FALSE(exists(path("regions.bin")));

    symlink("sub/target.txt", path("dangling").c_str());
    mkdir(path("sub").c_str(), 0755);
    r = run(kMt, {"-k", "2", "-i", "1", path("good.txt"), path("dangling")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(is_link(path("dangling")));
    EXPECT_EQ(slurp(path("sub/target.txt")).substr(0, 4), "2 2\n");

    symlink("loop2", path("loop1").c_str());
    symlink("loop1", path("loop2").c_str());
    r = run(kMt, {"-k", "2", "-i", "1", path("good.txt"), path("loop1")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, cannot_write(path("loop1")));
    EXPECT_EQ(r.out.find("Reading finish"), std::string::npos);
    EXPECT_TRUE(is_link(path("loop1")));
}

// A model that could not be replaced is refused before the data is read: a
// directory, a link to one, an immutable file, a read-only file or another user's
// file in a sticky directory (for a user who is not root: root may write both).
TEST_F(OutputPaths, UnwritableModelRefusedBeforeTheData) {
    chmod(dir_.c_str(), 0755);
    spit(path("good.txt"), kTwoGroups);
    chmod(path("good.txt").c_str(), 0644);
    mkdir(path("dir").c_str(), 0755);
    symlink("dir", path("dirlink").c_str());
    spit(path("immutable.txt"), "old");
    // Not every file system has the attribute, nor every container the capability.
    const bool chattr = run("/usr/bin/chattr", {"+i", path("immutable.txt")}).status == 0;
    struct Case {
        std::string model;
        bool asNobody;  // run as another user than the file's owner
    };
    std::vector<Case> cases = {{path("dir"), false}, {path("dirlink"), false}};
    if (chattr) cases.push_back({path("immutable.txt"), false});

    // A read-only file of nobody's in a directory anyone may write, and root's file in
    // a sticky one, written by nobody.
    const bool root = geteuid() == 0;
    const bool setpriv = root && exists("/usr/bin/setpriv");
    mkdir(path("open").c_str(), 0777);
    chmod(path("open").c_str(), 0777);
    spit(path("open/readonly.txt"), "old");
    chmod(path("open/readonly.txt").c_str(), 0444);
    mkdir(path("sticky").c_str(), 0777);
    chmod(path("sticky").c_str(), 01777);
    spit(path("sticky/roots.txt"), "old");
    chmod(path("sticky/roots.txt").c_str(), 0666);
    if (setpriv) {
        chown(path("open/readonly.txt").c_str(), 65534, 65534);
        cases.push_back({path("open/readonly.txt"), true});
        cases.push_back({path("sticky/roots.txt"), true});
    } else if (!root) {
        cases.push_back({path("open/readonly.txt"), false});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        std::vector<std::string> args = {"-k", "2", "-i", "1", path("good.txt"), c.model};
        const std::string program = c.asNobody ? "/usr/bin/setpriv" : kMt;
        if (c.asNobody)
            args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", kMt});
        const RunResult r = run(program, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, cannot_write(c.model));
        EXPECT_EQ(r.out.find("Reading finish"), std::string::npos);
    }
    EXPECT_EQ(slurp(path("open/readonly.txt")), "old");
    EXPECT_EQ(slurp(path("sticky/roots.txt")), "old");
    if (chattr) run("/usr/bin/chattr", {"-i", path("immutable.txt")});
    // Root writes a read-only file, as the kernel lets it.
    if (root) {
        const RunResult r =
            run(kMt, {"-k", "2", "-i", "1", path("good.txt"), path("open/readonly.txt")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(slurp(path("open/readonly.txt")).substr(0, 4), "2 2\n");
    }
    if (!setpriv) GTEST_SKIP() << "no other user to run as: the cases of another user's files";
}

// Runs the trainer and stops it at each name that appears in `dir`; the `nth` such
// name that is still there once the run is stopped gets the run killed (SIGKILL).
// Returns whether it was killed.
bool kill_at_nth_name(const std::vector<std::string>& args, const std::string& dir, int nth) {
    const int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        ADD_FAILURE() << "no inotify";
        return false;
    }
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = spawn(kMt, args, null, null);
    close(null);
    int seen = 0;
    bool killed = false;
    bool done = false;
    int status = 0;
    alignas(inotify_event) char buffer[4096];
    while (!done && !killed) {
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            done = waitpid(pid, &status, WNOHANG) == pid;
            continue;
        }
        const ssize_t got = read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; !done && !killed && at < got;) {
            const inotify_event* e = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + e->len);
            kill(pid, SIGSTOP);
            if (waitpid(pid, &status, WUNTRACED) == pid && !WIFSTOPPED(status)) {
                done = true;  // it had ended
            } else if (e->len > 0 && exists(dir + "/" + e->name) && ++seen == nth) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                killed = true;
            } else {
                kill(pid, SIGCONT);
            }
        }
    }
    close(watch);
    return killed;
}

// However a run ends, the directory holds its inputs and whole outputs only: every
// name that appears is stopped at, and the run killed there, one name further each
// time, until a run ends by itself.
TEST_F(OutputPaths, KilledAtEachNewNameLeavesOnlyWholeFiles) {
    // Rows enough that the min cluster file is still being written when the model
    // appears; the run may end before it is stopped at the min cluster file.
    std::string text = "100000 2\n";
    for (int i = 0; i < 100000; ++i)
        text += std::to_string(i % 7) + " " + std::to_string(i % 5) + "\n";
    mkdir(path("in").c_str(), 0755);  // made before the watch starts
    const std::string data = path("in/data.txt");
    spit(data, text);
    const std::vector<std::string> args = {
        "-k", "4", "-i", "2", "-m", path("min.txt"), data, path("model.txt")};
    ASSERT_EQ(run(kMt, args).status, 0);
    const std::string model = slurp(path("model.txt"));
    const std::string min = slurp(path("min.txt"));
    int nth = 1;
    for (; nth < 10; ++nth) {
        SCOPED_TRACE("killed at new name " + std::to_string(nth));
        unlink(path("model.txt").c_str());
        unlink(path("min.txt").c_str());
        const bool killed = kill_at_nth_name(args, dir_, nth);
        for (const std::string& name : {"model.txt", "min.txt"})
            if (exists(path(name))) EXPECT_EQ(slurp(path(name)), name == "min.txt" ? min : model);
        DIR* d = opendir(dir_.c_str());
        ASSERT_NE(d, nullptr);
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            EXPECT_TRUE(name == "." || name == ".." || name == "in" || name == "model.txt" ||
                        name == "min.txt")
                << "left behind: " << name;
        }
        closedir(d);
        if (!killed) break;
    }
    EXPECT_GE(nth, 2) << "the run was never killed";
}

// -p far above what any block can use: a block of n rows runs at most n/16 workers,
// and memory is reserved for those only; the counts are those of -p 2.
TEST_F(OutputPaths, AssignWithFarMoreWorkersThanRows) {
    std::string model = "3 128\n";
    for (int j = 0; j < 3 * 128; ++j) model += std::to_string((j / 128) * 40 + j % 7) + " ";
    spit(path("model.txt"), model);
    const RunResult two =
        run(kAssign, {"-t", "0", "-p", "2", "list_type0.txt", path("model.txt"), path("r2.txt")},
            kSample);
    ASSERT_EQ(two.status, 0) << two.err;
    const RunResult many = run(
        kAssign, {"-t", "0", "-p", "100000", "list_type0.txt", path("model.txt"), path("r.txt")},
        kSample);
    EXPECT_EQ(many.status, 0);
    EXPECT_EQ(many.err, "");
    EXPECT_EQ(slurp(path("r.txt")), slurp(path("r2.txt")));
}

// An operand to spare (a glob that matched two data files) is a mistake: the usage
// text, exit 1, and no file created or touched.
TEST_F(OutputPaths, ExtraOperandRefused) {
    spit(path("data1.txt"), kTwoGroups);
    spit(path("data2.txt"), kTwoGroups);
    const std::string trainerUsage =
        " [OPTION] <data file> <model file>\nOPTIONS:\n\t-i <number>:\tNumber of iterations\n"
        "\t-k <number>:\tNumber of clusters\n\t-b <number>:\tBlock size\n"
        "\t-m <string>:\tFile contaning individus' min cluster\n"
        "\t-p <number>:\tNumber of processors\n";
    for (const std::string& prog : {kMt, kSt}) {
        const RunResult r = run(prog, {"-k", "2", "-m", path("min.txt"), path("data1.txt"),
                                       path("data2.txt"), path("model.txt")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Use: " + prog + trainerUsage);
    }
    EXPECT_EQ(slurp(path("data2.txt")), kTwoGroups);
    spit(path("list.txt"), "1 " + path("data1.txt"));
    spit(path("model.txt"), "1 2\n0 0");
    const RunResult r = run(kAssign, {"-t", "1", "-d", path("reg.bin"), path("list.txt"),
                                      path("model.txt"), path("r.txt"), path("extra.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Use: " + kAssign +
                         " [OPTION] <list file> <model file> <result file>\nOPTIONS:\n"
                         "\t-t <number>:\tSIFT type\n\t-d <string>:\tSIFT region descriptor "
                         "file\n\t-b <number>:\tBlock size\n\t-p <number>:\tNumber of "
                         "processors\n");
    EXPECT_FALSE(exists(path("reg.bin")));
    EXPECT_FALSE(exists(path("r.txt")));
    EXPECT_FALSE(exists(path("min.txt")));
}

}  // namespace
