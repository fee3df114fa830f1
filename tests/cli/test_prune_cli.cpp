// The trainers with pruning (KMEANS_PRUNE=on, and =always: bounds from the first pass)
// against without: the same model, min
// cluster file and log, byte for byte (the timings masked), on the sample, on
// non-integer data, on data far from zero and on data whose clusters empty and are
// refilled (--empty=split), with both search variants and each filter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "cli_util.h"
#include "support/mask_times.h"
#include "support/temp_dir.h"

namespace {

const std::string kMt = KMEANS_MT;
const std::string kSt = KMEANS_ST;
const std::string kSample = SAMPLE_DIR;

using PruneCli = TempDirTest;

// Sets an environment variable for the test's lifetime.
struct EnvValue {
    std::string name, saved;
    bool had;
    EnvValue(const char* n, const char* value) : name(n) {
        const char* s = std::getenv(n);
        had = s != nullptr;
        if (had) saved = s;
        setenv(n, value, 1);
    }
    ~EnvValue() {
        if (had)
            setenv(name.c_str(), saved.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

TEST_F(PruneCli, SameBytesWithPruningOnAndOff) {
    std::mt19937 gen(5);
    std::normal_distribution<float> g(0.f, 1.f);
    std::string spread = "2000 24\n", far = "1200 16\n", repeats = "400 8\n";
    for (int i = 0; i < 2000; ++i) {
        for (int j = 0; j < 24; ++j) spread += std::to_string(g(gen) * 2.7f + float(i % 7)) + " ";
        spread += "\n";
    }
    for (int i = 0; i < 1200; ++i) {
        for (int j = 0; j < 16; ++j) far += std::to_string(3000.f + g(gen) + float(i % 3)) + " ";
        far += "\n";
    }
    // 400 rows of 12 distinct vectors: seeds that repeat a vector leave clusters empty.
    for (int i = 0; i < 400; ++i) {
        for (int j = 0; j < 8; ++j) repeats += std::to_string((i * 7 % 12) * 3 + j % 2) + " ";
        repeats += "\n";
    }
    spit(path("spread.txt"), spread);
    spit(path("far.txt"), far);
    spit(path("repeats.txt"), repeats);
    struct Case {
        std::string program, data, k, filter;
        bool split;
    };
    for (const Case& c : {Case{kMt, kSample + "/train.txt", "64", "float", false},
                          Case{kMt, kSample + "/train.txt", "64", "bf16-emulated", false},
                          Case{kSt, path("spread.txt"), "45", "float", false},
                          Case{kMt, path("far.txt"), "30", "bf16-emulated", false},
                          Case{kMt, path("repeats.txt"), "20", "float", true}}) {
        EnvValue filter("KMEANS_FILTER", c.filter.c_str());
        std::string bytes[3];
        const char* modes[3] = {"off", "on", "always"};
        for (int on = 0; on < 3; ++on) {
            EnvValue prune("KMEANS_PRUNE", modes[on]);
            std::vector<std::string> args = {"-k", c.k, "-i", "12",
                                             "-p", "2", "-m", path("min.txt")};
            if (c.split) args.push_back("--empty=split");
            args.push_back(c.data);
            args.push_back(path("model.txt"));
            const RunResult r = run(c.program, args);
            ASSERT_EQ(r.status, 0) << r.err;
            if (c.split) {
                EXPECT_NE(r.out.find("Empty clusters re-seeded"), std::string::npos) << r.out;
            }
            bytes[on] =
                mask_times(r.out) + "|" + slurp(path("model.txt")) + "|" + slurp(path("min.txt"));
        }
        for (int on = 1; on < 3; ++on) {
            const std::string &a = bytes[0], &b = bytes[on];
            std::size_t at = 0;
            while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
            EXPECT_TRUE(a == b) << c.data << " (" << c.filter << "): KMEANS_PRUNE=" << modes[on]
                                << " differs at byte " << at << ": '"
                                << a.substr(at > 40 ? at - 40 : 0, 80) << "' / '"
                                << b.substr(at > 40 ? at - 40 : 0, 80) << "'";
        }
    }
}

}  // namespace

namespace {

// --prune sets it for one run (over KMEANS_PRUNE): the same model and log as without,
// but for the option's own echo line; a value it does not take is refused.
TEST_F(PruneCli, PruneOption) {
    EnvValue prune("KMEANS_PRUNE", "off");
    const std::vector<std::string> base = {"-k", "32", "-i", "14", "-p", "2"};
    std::string bytes[2];
    for (int with = 0; with < 2; ++with) {
        std::vector<std::string> args = base;
        if (with) args.push_back("--prune=always");
        args.push_back(kSample + "/train.txt");
        args.push_back(path("model.txt"));
        const RunResult r = run(kMt, args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string out = mask_times(r.out);
        const std::string echo = "\tprune: always\n";
        if (with) {
            const std::size_t at = out.find(echo);
            ASSERT_NE(at, std::string::npos) << out;
            out.erase(at, echo.size());
        }
        bytes[with] = out + "|" + slurp(path("model.txt"));
    }
    EXPECT_EQ(bytes[0], bytes[1]);
    const RunResult bad =
        run(kMt, {"-k", "4", "--prune=maybe", kSample + "/train.txt", path("model.txt")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("Error: --prune=maybe: off, on or always.\n"), std::string::npos)
        << bad.err;
}

}  // namespace
