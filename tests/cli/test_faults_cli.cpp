// Inputs the programs refuse and faults during a run: every case ends with a
// message and a non-zero status (or a line of zeros for one bad entry of a list),
// and no run leaves a file that looks complete when it is not.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli_util.h"
#include "support/temp_dir.h"

namespace {

const std::string kMt = KMEANS_MT;
const std::string kSt = KMEANS_ST;
const std::string kAssign = ASSIGN;

const std::string kTwoGroups = "8 2\n0 0\n0 2\n2 0\n2 2\n100 100\n100 102\n102 100\n102 102\n";

// The names in a directory, hidden ones (a ".kmeans-" temporary) included, sorted.
std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

using Refusals = TempDirTest;

// An output that is one of the run's inputs, or its other output, under the same or
// another name: refused before anything is touched, every file as it was.
TEST_F(Refusals, OutputsThatNameAnInput) {
    spit(path("data.txt"), kTwoGroups);
    spit(path("model.txt"), "2 2\n1 1\n101 101");
    spit(path("a.txt"), "2 2\n0 0\n100 100\n");
    spit(path("list.txt"), "2\n" + path("a.txt") + "\n" + path("a.txt") + "\n");
    symlink(path("data.txt").c_str(), path("link.txt").c_str());
    const std::vector<std::string> before = {slurp(path("data.txt")), slurp(path("model.txt")),
                                             slurp(path("a.txt")), slurp(path("list.txt"))};
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::string out, in;
    };
    const std::string dotted = dir_ + "/./a.txt";
    const std::vector<Case> cases = {
        {kMt, {"-k", "2", path("data.txt"), path("link.txt")}, path("link.txt"), path("data.txt")},
        {kSt,
         {"-k", "2", "-m", path("data.txt"), path("data.txt"), path("new.txt")},
         path("data.txt"),
         path("data.txt")},
        {kAssign,
         {path("list.txt"), path("model.txt"), path("list.txt")},
         path("list.txt"),
         path("list.txt")},
        {kAssign,
         {"-t", "1", "-d", dotted, path("list.txt"), path("model.txt"), path("r.txt")},
         dotted,
         path("a.txt")},
        {kAssign,
         {"-t", "1", "-d", path("model.txt"), path("list.txt"), path("model.txt"), path("r.txt")},
         path("model.txt"),
         path("model.txt")},
    };
    for (const Case& c : cases) {
        const RunResult r = run(c.program, c.args);
        EXPECT_EQ(r.status, 1) << c.out;
        EXPECT_EQ(r.err, "Error: '" + c.out + "' is also an input: '" + c.in + "'.\n");
    }
    // Two outputs that are one file: the second named is refused.
    const RunResult r =
        run(kMt, {"-k", "2", "-m", path("new.txt"), path("data.txt"), path("new.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Error: '" + path("new.txt") + "' is also an output: '" + path("new.txt") + "'.\n");
    EXPECT_EQ(before, (std::vector<std::string>{slurp(path("data.txt")), slurp(path("model.txt")),
                                                slurp(path("a.txt")), slurp(path("list.txt"))}));
    EXPECT_FALSE(exists(path("new.txt")));
    EXPECT_FALSE(exists(path("r.txt")));
}

// The model's temporary file: a link planted at the name earlier versions used does
// not redirect the write; a name of 250 bytes works; the model keeps its permission
// bits; a directory where nothing can be created is refused before the data is read.
TEST_F(Refusals, ModelWriteCannotBeRedirected) {
    spit(path("data.txt"), kTwoGroups);
    spit(path("victim.txt"), "victim");
    const std::string model = path("out.model");
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        const std::string planted = model + ".tmp." + std::to_string(getpid());
        if (symlink(path("victim.txt").c_str(), planted.c_str()) != 0) _exit(126);
        execl(kMt.c_str(), kMt.c_str(), "-k", "2", path("data.txt").c_str(), model.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(slurp(path("victim.txt")), "victim");
    struct stat st;
    ASSERT_EQ(lstat(model.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(slurp(model).substr(0, 4), "2 2\n");

    chmod(model.c_str(), 0600);
    const std::string longName = path(std::string(250, 'm'));
    for (const std::string& out : {model, longName}) {
        const RunResult r = run(kMt, {"-k", "2", path("data.txt"), out});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(slurp(out).substr(0, 4), "2 2\n");
    }
    ASSERT_EQ(stat(model.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const RunResult r = run(kMt, {"-k", "2", path("data.txt"), "/proc/self/model.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open file '/proc/self/model.txt' for writing.\n");
    EXPECT_EQ(r.out.find("Reading finish"), std::string::npos);
}

TEST_F(Refusals, DataFilesCutShortOrHoldingOddValues) {
    const std::string data = path("data.txt");
    const std::string wrong = "Error: Wrong format file: '" + data + "'.\n";
    for (const std::string& text :
         {std::string("2 2\n1 2 3 4.5e"), std::string("2 2\n1 2 3 -"), std::string("2 2\n1 2 3"),
          std::string("2 2\n1 2 inf 4"), std::string("2 2\n1 2 -1e39 4"),
          std::string("2 2\n1 2 0x10 4"), std::string("2147483648 2\n1 2"),
          std::string("2 2.5\n1 2 3 4 5")}) {
        spit(data, text);
        const RunResult r = run(kMt, {"-k", "1", data, path("model.txt")});
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_EQ(r.err, wrong) << text;
        EXPECT_FALSE(exists(path("model.txt"))) << text;
    }
    // Values the stream reads are read the same: a sign, a trailing point, exponents.
    spit(data, "2 2\n+1 2. 3e0 .4e1\n");
    ASSERT_EQ(run(kMt, {"-k", "1", "-i", "1", data, path("model.txt")}).status, 0);
    EXPECT_EQ(slurp(path("model.txt")), "1 2\n2 3");
}

TEST_F(Refusals, ExtremeOptionValues) {
    spit(path("data.txt"), kTwoGroups);
    // -k beyond int saturates, and no data set is that large.
    RunResult r = run(kMt, {"-k", "99999999999", path("data.txt"), path("model.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\tk: 2147483647\n"), std::string::npos);
    EXPECT_EQ(r.err, "The number of individus is less than the number of cluster.\n");
    // Far more workers than rows: the split gives each at least 16 rows.
    r = run(kMt, {"-k", "2", "-p", "100000", path("data.txt"), path("model.txt")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("#thread = 1\n"), std::string::npos);
    // A negative block size asks for the estimate.
    r = run(kSt, {"-k", "2", "-b", "-5", path("data.txt"), path("model.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("estimated block size = "), std::string::npos);
    r = run(kAssign, {"-b", "-5", path("list.txt"), path("model.txt"), path("result.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: the block size (-b) must be at least 1.\n");
}

TEST_F(Refusals, ListsNamingDirectoriesAndRepeats) {
    spit(path("model.txt"), "2 2\n0 0\n10 10");
    spit(path("a.txt"), "2 3\n5 5 1 0 1 1 1\n5 5 1 0 1 9 9\n5 5 1 0 1 2 2\n");
    mkdir(path("dir").c_str(), 0755);
    spit(path("list.txt"), "3 " + path("a.txt") + " " + path("dir") + " " + path("a.txt"));
    RunResult r = run(kAssign, {"-t", "1", "-d", path("regions.bin"), path("list.txt"),
                                path("model.txt"), path("result.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Error: Cannot open file '" + path("dir") + "' for reading.\n");
    EXPECT_EQ(slurp(path("result.txt")), "3 2\n2 1\n0 0\n2 1\n");
    const std::string regions = slurp(path("regions.bin"));
    ASSERT_EQ(regions.size(), 6u * 32);
    for (int rec = 0; rec < 6; ++rec) {
        int fileIndex = 0;
        std::memcpy(&fileIndex, regions.data() + rec * 32, 4);
        EXPECT_EQ(fileIndex, rec < 3 ? 0 : 2);
    }
    for (const std::string& type : {"0", "3"}) {
        r = run(kAssign, {"-t", type, path("list.txt"), path("model.txt"), path("result.txt")});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.err.find("Error: Cannot open file '" + path("dir") + "' for reading.\n"),
                  std::string::npos)
            << type;
    }
}

TEST_F(Refusals, FullDiskForTheModel) {
    spit(path("data.txt"), kTwoGroups);
    for (const std::string& prog : {kMt, kSt}) {
        const RunResult r = run(prog, {"-k", "2", path("data.txt"), "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Cannot open file '/dev/full' for writing.\n");
    }
}

TEST_F(Refusals, ScoreMatrixBeyondMemory) {
#ifdef KMEANS_SANITIZED
    GTEST_SKIP() << "a sanitized program cannot run under an address-space limit";
#endif
    // k = n = 20000: one block of 20000 x 20000 scores (1.6 GB) in a 1 GB address space.
    std::string text = "20000 1\n";
    for (int i = 0; i < 20000; ++i) text += std::to_string(i) + "\n";
    spit(path("data.txt"), text);
    const RunResult r =
        run(kMt, {"-k", "20000", "-m", path("min.txt"), path("data.txt"), path("model.txt")}, "",
            1000000000ULL);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Insufficient memory! Try with a smaller block size.\n");
    EXPECT_NE(r.out.find("Init ... finished\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Finish normally."), std::string::npos);
    EXPECT_FALSE(exists(path("model.txt")));
    EXPECT_FALSE(exists(path("min.txt")));
}

// Under an address-space limit a program on the OpenBLAS product starts itself again
// with one OpenBLAS thread before the library loads (its loader's threads would each
// map a buffer, and retry for ever when that fails); without a limit nothing changes.
TEST_F(Refusals, OneOpenBlasThreadUnderAnAddressSpaceLimit) {
#ifdef KMEANS_SANITIZED
    GTEST_SKIP() << "a sanitized program cannot run under an address-space limit";
#endif
    const RunResult limited = run(OPENBLAS_THREADS_PROBE, {}, "", 8000000000ULL);
    ASSERT_EQ(limited.status, 0) << limited.err;
    EXPECT_EQ(limited.out, "1\n");
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2 || std::getenv("OPENBLAS_NUM_THREADS") != nullptr)
        GTEST_SKIP() << "one thread here anyway: the limit's effect cannot be seen";
    const RunResult free = run(OPENBLAS_THREADS_PROBE, {});
    ASSERT_EQ(free.status, 0) << free.err;
    EXPECT_NE(free.out, "1\n");
}

// Under any address-space limit a program finishes, with the same output as without
// one, or stops at once with its memory message: the product library's scratch is
// memory like any other, and a mapping it cannot get must not hang the run.
TEST_F(Refusals, AddressSpaceLimitsAroundTheEdge) {
#ifdef KMEANS_SANITIZED
    GTEST_SKIP() << "a sanitized program cannot run under an address-space limit";
#endif
    std::string text = "2000 8\n";
    unsigned state = 7;
    for (int i = 0; i < 2000; ++i) {
        for (int j = 0; j < 8; ++j) {
            state = state * 1103515245u + 12345u;
            text += std::to_string((state >> 16) % 256) + (j < 7 ? " " : "\n");
        }
    }
    spit(path("data.txt"), text);
    spit(path("list.txt"), "1 " + path("d.txt"));
    spit(path("d.txt"), "8 2000\n" + text.substr(text.find('\n') + 1));
    const std::vector<std::string> train = {
        "-k", "2000", "-i", "2", "-p", "2", path("data.txt"), path("model.txt")};
    const std::vector<std::string> assign = {"-p", "2", path("list.txt"), path("model.txt"),
                                             path("result.txt")};
    ASSERT_EQ(run(kMt, train).status, 0);
    const std::string model = slurp(path("model.txt"));
    ASSERT_EQ(run(kAssign, assign).status, 0);
    const std::string result = slurp(path("result.txt"));
    const std::string trainMemory = "Insufficient memory! Try with a smaller block size.\n";
    const std::string assignMemory =
        "Cannot allocate R. Try to change the block size with a smaller value.\n";

    // From about what the libraries take at load to well past 16 MB of scores and
    // two workers' scratch (2 x 128 MiB with OpenBLAS).
    for (unsigned long long mib = 64; mib <= 640; mib += 32) {
        for (const std::string& prog : {kMt, kSt, kAssign}) {
            const bool isAssign = prog == kAssign;
            unlink(path("model.txt").c_str());
            unlink(path("result.txt").c_str());
            if (isAssign) spit(path("model.txt"), model);
            const RunResult r = run(prog, isAssign ? assign : train, "", mib << 20, 30);
            SCOPED_TRACE(prog + " under " + std::to_string(mib) + " MiB");
            ASSERT_FALSE(r.timedOut) << "hung";
            if (r.status == 0) {
                EXPECT_EQ(slurp(path(isAssign ? "result.txt" : "model.txt")),
                          isAssign ? result : model);
            } else {
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err, isAssign ? assignMemory : trainMemory);
            }
        }
    }
}

// Runs a program and, as soon as a line of its standard output starts with `cue`,
// cuts `file` down to `size` bytes (as another process might, while the program is
// still reading it). Returns the status, the whole output and the error output.
RunResult run_cutting(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cue, const std::string& file, off_t size) {
    int out[2];
    if (pipe(out) != 0) return RunResult();
    char errName[] = "/tmp/kmeans_cli_err_XXXXXX";
    const int errFd = mkstemp(errName);
    const pid_t pid = spawn(program, args, out[1], errFd);
    close(out[1]);
    RunResult r;
    bool cut = false;
    char buffer[4096];
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) {
        r.out.append(buffer, std::size_t(got));
        if (!cut && (r.out.find("\n" + cue) != std::string::npos || r.out.rfind(cue, 0) == 0)) {
            cut = truncate(file.c_str(), size) == 0;
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(errFd);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = slurp(errName);
    unlink(errName);
    EXPECT_TRUE(cut) << "'" << cue << "' never came";
    return r;
}

// About 64 MB of text: rows of 16 small integers.
std::string big_rows(int rows) {
    std::string row;
    for (int j = 0; j < 16; ++j) row += std::to_string(j * 13 % 200) + (j < 15 ? " " : "\n");
    std::string text;
    text.reserve(row.size() * std::size_t(rows));
    for (int i = 0; i < rows; ++i) text += row;
    return text;
}

// A file cut short while it is being parsed: its mapped pages fault. The trainer
// reports the data file and stops; assign gives that entry its line of zeros and
// goes on.
TEST_F(Refusals, InputCutShortWhileItIsRead) {
    const int rows = 1500000;
    const std::string body = big_rows(rows);
    spit(path("data.txt"), std::to_string(rows) + " 16\n" + body);
    RunResult r =
        run_cutting(kMt, {"-k", "2", "-i", "0", "-p", "2", path("data.txt"), path("model.txt")},
                    "estimated block size = ", path("data.txt"), 100000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Wrong format file: '" + path("data.txt") + "'.\n");
    EXPECT_EQ(r.out.find("Reading finish"), std::string::npos);
    EXPECT_FALSE(exists(path("model.txt")));

    spit(path("big.txt"), "16 " + std::to_string(rows) + "\n" + body);
    spit(path("small.txt"), "16 2\n" + big_rows(2));
    spit(path("list.txt"), "2 " + path("big.txt") + " " + path("small.txt"));
    spit(path("model.txt"), "2 16\n" + big_rows(2));
    r = run_cutting(kAssign, {"-p", "2", path("list.txt"), path("model.txt"), path("result.txt")},
                    "Proceesing 0: ", path("big.txt"), 100000);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Error: Wrong format file: '" + path("big.txt") + "'.\n");
    EXPECT_EQ(slurp(path("result.txt")), "2 2\n0 0\n2 0\n");
}

// Devices and pipes as inputs: their text ends at the first NUL byte, so /dev/zero
// and /dev/urandom are refused at once as the wrong format they are, and a pipe
// that never ends is refused once it has given 1 GiB. All in bounded time.
TEST_F(Refusals, NonRegularInputs) {
    for (const std::string device : {"/dev/zero", "/dev/urandom"}) {
        const RunResult r = run(kMt, {"-k", "2", device, path("model.txt")}, "", 0, 10);
        ASSERT_FALSE(r.timedOut) << device;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error: Wrong format file: '" + device + "'.\n");
    }
    spit(path("list.txt"), "2 /dev/zero /dev/urandom");
    spit(path("model.txt"), "2 2\n0 0 5 5\n");
    RunResult r =
        run(kAssign, {path("list.txt"), path("model.txt"), path("result.txt")}, "", 0, 10);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "Error: Wrong format file: '/dev/zero'.\n"
              "Error: Wrong format file: '/dev/urandom'.\n");
    EXPECT_EQ(slurp(path("result.txt")), "2 2\n0 0\n0 0\n");

    // An endless pipe of valid values, as the data file: the trainer must stop reading.
    const std::string fifo = path("endless");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::signal(SIGPIPE, SIG_IGN);
    std::atomic<bool> stop(false);
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        std::string chunk = "3 2\n";
        while (chunk.size() < (1 << 16)) chunk += "1 2 3 4 5 6 7 8\n";
        while (!stop && ::write(fd, chunk.data(), chunk.size()) > 0) {
        }
        close(fd);
    });
    r = run(kMt, {"-k", "2", fifo, path("m.txt")}, "", 0, 60);
    stop = true;
    close(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // a writer still opening may go on
    writer.join();
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Error: '" + fifo + "' is not a regular file and holds more than 1 GiB of text.\n");
    EXPECT_FALSE(exists(path("m.txt")));
}

// A large enough training that a kill lands in the middle of it.
// Uniform noise: Lloyd's loop needs many iterations to settle on it.
std::string slow_data() {
    std::string text = "60000 32\n";
    unsigned state = 12345;
    for (int i = 0; i < 60000; ++i) {
        for (int j = 0; j < 32; ++j) {
            state = state * 1103515245u + 12345u;
            text += std::to_string((state >> 16) % 1000) + " ";
        }
        text += "\n";
    }
    return text;
}

// Starts a program with its output discarded, kills it after `ms` milliseconds and
// returns its wait status.
int run_and_kill(const std::string& program, const std::vector<std::string>& args, int ms) {
    const int null = open("/dev/null", O_WRONLY);
    const pid_t pid = spawn(program, args, null, null);
    close(null);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST_F(Refusals, KilledTrainingLeavesThePreviousModel) {
    spit(path("data.txt"), slow_data());
    spit(path("model.txt"), "previous model");
    const int status = run_and_kill(
        kMt, {"-k", "600", "-i", "1000", "-p", "2", path("data.txt"), path("model.txt")}, 700);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it could be killed";
    EXPECT_EQ(slurp(path("model.txt")), "previous model");
    EXPECT_EQ(entries(dir_).size(), 2u) << "a temporary file was left behind";
    // A complete run replaces it through a temporary file that does not stay.
    ASSERT_EQ(run(kMt, {"-k", "2", "-i", "1", path("data.txt"), path("model.txt")}).status, 0);
    EXPECT_EQ(slurp(path("model.txt")).substr(0, 5), "2 32\n");
    EXPECT_EQ(entries(dir_).size(), 2u);
}

// A model write that fails part-way, the file size capped below the new model's and
// above the old one's: the run says so, the old model stays whole and no temporary
// file stays beside it.
TEST_F(Refusals, FailedModelWriteLeavesThePreviousModel) {
    std::string text = "64 16\n";
    for (int i = 0; i < 64; ++i)
        for (int j = 0; j < 16; ++j)
            text += std::to_string(1000 + 16 * i + j) + ".25" + (j < 15 ? " " : "\n");
    spit(path("data.txt"), text);
    const std::vector<std::string> train = {
        "-k", "64", "-i", "0", path("data.txt"), path("model.txt")};
    ASSERT_EQ(run(kMt, {"-k", "2", "-i", "0", path("data.txt"), path("model.txt")}).status, 0);
    const std::string previous = slurp(path("model.txt"));
    const unsigned long long cap = 4096;
    ASSERT_LT(previous.size(), cap);

    const RunResult r = run(kMt, train, "", 0, 0, cap);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open file '" + path("model.txt") + "' for writing.\n");
    EXPECT_EQ(slurp(path("model.txt")), previous);
    EXPECT_EQ(entries(dir_), (std::vector<std::string>{"data.txt", "model.txt"}));
    // With SIGXFSZ at its default action (a shell's ulimit -f: 8 blocks of 512 bytes
    // for dash), the signal kills the run, and the temporary goes with it.
    const RunResult killed = run("/bin/sh", {"-c", "ulimit -f 8; exec \"$0\" \"$@\"", kMt, "-k",
                                             "64", "-i", "0", path("data.txt"), path("model.txt")});
    EXPECT_EQ(killed.status, 128 + SIGXFSZ);
    EXPECT_EQ(slurp(path("model.txt")), previous);
    EXPECT_EQ(entries(dir_), (std::vector<std::string>{"data.txt", "model.txt"}));
    // Uncapped, the same run writes past the cap.
    ASSERT_EQ(run(kMt, train).status, 0);
    EXPECT_GT(slurp(path("model.txt")).size(), cap);
}

TEST_F(Refusals, KilledAssignLeavesWholeLines) {
    // 2000 entries of one 6000-descriptor file: each count line is flushed whole.
    std::string file = "32 6000\n";
    for (int i = 0; i < 6000; ++i) {
        for (int j = 0; j < 32; ++j) file += std::to_string((i * 3 + j) % 50) + " ";
        file += "\n";
    }
    spit(path("d.txt"), file);
    std::string list = "2000";
    for (int i = 0; i < 2000; ++i) list += " " + path("d.txt");
    spit(path("list.txt"), list);
    std::string model = "700 32";
    for (int c = 0; c < 700; ++c)
        for (int j = 0; j < 32; ++j) model += " " + std::to_string((c * 5 + j) % 50);
    spit(path("model.txt"), model);
#ifdef KMEANS_SANITIZED
    const int killAfter = 3000;  // ms: a sanitized run may not have written a line by 600
#else
    const int killAfter = 600;
#endif
    const int status = run_and_kill(
        kAssign, {"-p", "2", path("list.txt"), path("model.txt"), path("result.txt")}, killAfter);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it could be killed";
    const std::string result = slurp(path("result.txt"));
    ASSERT_FALSE(result.empty());
    EXPECT_EQ(result.back(), '\n') << "a count line was cut";
    EXPECT_EQ(result.substr(0, 9), "2000 700\n");
    std::size_t lines = 0;
    for (char c : result) lines += c == '\n';
    EXPECT_LT(lines, 2001u);
}

}  // namespace
