// End-to-end runs of kmeans_mt and kmeans_st: usage, settings echo, exit statuses,
// messages, the model and min cluster files, and determinism across -p and -b.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli_util.h"
#include "support/nearest_centre.h"
#include "support/temp_dir.h"

namespace {

const std::string kMt = KMEANS_MT;
const std::string kSt = KMEANS_ST;
const std::string kSample = SAMPLE_DIR;

std::string usage(const std::string& program) {
    return "Use: " + program +
           " [OPTION] <data file> <model file>\n"
           "OPTIONS:\n"
           "\t-i <number>:\tNumber of iterations\n"
           "\t-k <number>:\tNumber of clusters\n"
           "\t-b <number>:\tBlock size\n"
           "\t-m <string>:\tFile contaning individus' min cluster\n"
           "\t-p <number>:\tNumber of processors\n";
}

std::string echo(const std::string& data, const std::string& model, const std::string& i,
                 const std::string& k, const std::string& b, const std::string& m,
                 const std::string& p) {
    return "data file: " + data + "\nmodel file: " + model + "\noptions: \n\ti: " + i +
           "\n\tk: " + k + "\n\tb: " + b + "\n\tm: " + m + "\n\tp: " + p + "\n";
}

// Every number of a data or model file, header included, read as the programs read them.
std::vector<float> numbers(const std::string& text) {
    std::istringstream in(text);
    std::vector<float> out;
    for (float v; in >> v;) out.push_back(v);
    return out;
}

// Eight 2-d points in two far-apart groups of four: every mean and score is exact.
const std::string kTwoGroups = "8 2\n0 0\n0 2\n2 0\n2 2\n100 100\n100 102\n102 100\n102 102\n";

using TrainerCli = TempDirTest;

TEST_F(TrainerCli, UsageErrors) {
    for (const std::string& prog : {kMt, kSt}) {
        RunResult r = run(prog, {});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage(prog));

        r = run(prog, {"only_one"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, usage(prog));

        r = run(prog, {"-x", "3", "a", "b"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Unknown option -x\n" + usage(prog));
        EXPECT_EQ(r.out, "");

        r = run(prog, {"a", "b", "-k"});  // getopt permutes: -k lacks its value
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Unknown option -k\n" + usage(prog));
    }
}

TEST_F(TrainerCli, FullRunOutputAndFiles) {
    spit(path("data.txt"), kTwoGroups);
    for (const std::string& prog : {kMt, kSt}) {
        const RunResult r = run(prog, {"-k", "2", "-i", "5", "-b", "4", "-p", "2", "-m",
                                       path("min.txt"), path("data.txt"), path("model.txt")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::string threads = prog == kMt ? "#thread = 1\n" : "";
        // From the seeds on, both groups get their own centre at once: the second
        // pass gives the same distortion (4 points, each 2 from its mean: 8 per group).
        std::string pass = "nb blocks = 2\n";
        for (int b = 0; b < 2; ++b)
            pass += "Block " + std::to_string(b) + "\nBlock size = 4\n" + threads +
                    "Time for searching min clsuter: T\n";
        pass += "Assignment time = T\nRelocate cluster\nTime for relocating clusters = T\n";
        EXPECT_EQ(mask_times(r.out),
                  echo(path("data.txt"), path("model.txt"), "5", "2", "4", path("min.txt"), "2") +
                      "Max iter:   5\nNumber of clusters:  2\nBlock size: 4\n"
                      "Reading finish ! Time = T\nInit ...\nAllocation finish!\n"
                      "Init ... finished\n" +
                      pass + "Step [0] distorion = 16\n" + pass +
                      "Step [1] distorion = 16\nStop before criteron.\nK-mean finish !\n");
        const std::string model = slurp(path("model.txt"));
        EXPECT_TRUE(model == "2 2\n1 1\n101 101" || model == "2 2\n101 101\n1 1") << model;
        const std::string low = model == "2 2\n1 1\n101 101" ? "0" : "1";
        const std::string high = low == "0" ? "1" : "0";
        EXPECT_EQ(slurp(path("min.txt")), "8\n" + low + "\n" + low + "\n" + low + "\n" + low +
                                              "\n" + high + "\n" + high + "\n" + high + "\n" +
                                              high + "\n");
    }
}

TEST_F(TrainerCli, DefaultsAndBlockSizeEstimate) {
    // n = 100000, d = 128, k = 1000: (483183820.8 - 101000 * 129) / 1000 = 470154.
    std::string text = "100000 128\n";
    text.reserve(text.size() + 2 * 100000 * 128);
    for (int i = 0; i < 100000; ++i) {
        for (int j = 0; j < 127; ++j) text += char('0' + (i + j) % 10), text += ' ';
        text += char('0' + i % 7), text += '\n';
    }
    spit(path("big.txt"), text);
    const RunResult r = run(kMt, {"-i", "0", path("big.txt"), path("model.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string head =
        echo(path("big.txt"), path("model.txt"), "0", "1000", "-1", "<null>", "4") +
        "Try to estimate the block size... [OK]\n"
        "estimated block size = 470154\nMax iter:   0\n"
        "Number of clusters:  1000\nBlock size: 470154\n"
        "Reading finish ! Time = T\nInit ...\nAllocation finish!\n"
        "Init ... finished\nFinish normally.\nK-mean finish !\n";
    EXPECT_EQ(mask_times(r.out), head);
    // -b 0 and negative values also ask for the estimate.
    const RunResult neg =
        run(kSt, {"-i", "0", "-b", "-3", "-k", "999", path("big.txt"), path("model.txt")});
    EXPECT_NE(neg.out.find("\tb: -3\n"), std::string::npos) << neg.out;
    EXPECT_NE(neg.out.find("\tp: 4\nTry to estimate the block size... [OK]\n"
                           "estimated block size = 470625\n"),
              std::string::npos)
        << neg.out;
    // Without -i: at most 30 iterations.
    spit(path("groups.txt"), kTwoGroups);
    const RunResult plain = run(kMt, {"-k", "2", path("groups.txt"), path("model.txt")});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out.substr(0, plain.out.find("Try to")),
              echo(path("groups.txt"), path("model.txt"), "30", "2", "-1", "<null>", "4"));
    EXPECT_NE(plain.out.find("\nMax iter:   30\n"), std::string::npos) << plain.out;
}

TEST_F(TrainerCli, RefusedInputsLeaveNoModel) {
    struct Case {
        std::vector<std::string> args;
        std::string data;  // contents of data.txt
        std::string err;
    };
    const std::string data = path("data.txt");
    const std::string model = path("model.txt");
    const std::string wrong = "Error: Wrong format file: '" + data + "'.\n";
    const std::vector<Case> cases = {
        {{"-k", "2", path("none.txt"), model},
         "",
         "Cannot open file '" + path("none.txt") + "' for reading.\n"},
        {{"-k", "2", dir_, model}, "", "Cannot open file '" + dir_ + "' for reading.\n"},
        {{"-k", "9", data, model},
         kTwoGroups,
         "The number of individus is less than the number of cluster.\n"},
        {{"-k", "2", data, model}, "", wrong},
        {{"-k", "2", data, model}, "abc 2\n1 2", wrong},
        {{"-k", "2", data, model}, "0 2\n", wrong},
        {{"-k", "2", data, model}, "2 -1\n1 2", wrong},
        {{"-k", "2", data, model}, "3 2\n1 2 3 4 5", wrong},         // one value short
        {{"-k", "2", data, model}, "3 2\n1 2 3 4 5 x", wrong},       // not a number
        {{"-k", "2", data, model}, "3 2\n1 2 3 nan 5 6", wrong},     // not finite
        {{"-k", "2", data, model}, "3 2\n1 2 3 1e50 5 6", wrong},    // out of float range
        {{"-k", "2", data, model}, "2000000000 128\n1 2 3", wrong},  // cannot hold that
        {{"-k", "0", data, model},
         kTwoGroups,
         "Error: the number of clusters (-k) must be at least 1.\n"},
        {{"-k", "2", "-p", "0", data, model},
         kTwoGroups,
         "Error: the number of processors (-p) must be at least 1.\n"},
        {{"-k", "2", data, path("no/such/dir/model.txt")},
         kTwoGroups,
         "Cannot open file '" + path("no/such/dir/model.txt") + "' for writing.\n"},
    };
    for (const Case& c : cases) {
        spit(data, c.data);
        for (const std::string& prog : {kMt, kSt}) {
            const RunResult r = run(prog, c.args);
            EXPECT_EQ(r.status, 1) << c.data;
            EXPECT_EQ(r.err, c.err) << c.data;
            EXPECT_FALSE(exists(model)) << c.data;
        }
    }
    // k = n is accepted; n = k - 1 is not (checked above with k = 9 on 8 rows).
    spit(data, kTwoGroups);
    EXPECT_EQ(run(kMt, {"-k", "8", "-i", "2", data, model}).status, 0);
}

TEST_F(TrainerCli, MinClusterFileFailures) {
    spit(path("data.txt"), kTwoGroups);
    // A path that cannot be created is refused before the data is read.
    RunResult r =
        run(kMt, {"-k", "2", "-m", path("no/dir/min.txt"), path("data.txt"), path("model.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(exists(path("model.txt")));
    EXPECT_EQ(r.out.find("Reading finish"), std::string::npos);
    EXPECT_EQ(r.err, "Cannot open file '" + path("no/dir/min.txt") + "' for writing.\n");
    // A device that fails only when written: the model is there, the run fails.

    r = run(kSt, {"-k", "2", "-m", "/dev/full", path("data.txt"), path("model.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open file '/dev/full' for writing.\n");
    EXPECT_TRUE(exists(path("model.txt")));
}

TEST_F(TrainerCli, NoIterationStillWritesEveryNearestCentre) {
    spit(path("data.txt"), kTwoGroups);
    const std::vector<float> rows = numbers(kTwoGroups);
    for (const std::string& prog : {kMt, kSt}) {
        const RunResult r = run(prog, {"-k", "2", "-i", "0", "-m", path("min.txt"),
                                       path("data.txt"), path("model.txt")});
        ASSERT_EQ(r.status, 0) << r.err;
        // The model holds the two seeds: every line is its row's nearest seed.
        const std::vector<float> seeds = numbers(slurp(path("model.txt")));
        ASSERT_EQ(seeds.size(), 2u + 2 * 2);
        std::string expected = "8\n";
        for (int i = 0; i < 8; ++i)
            expected += std::to_string(nearest_centre(&rows[2 + 2 * i], &seeds[2], 2, 2)) + "\n";
        EXPECT_EQ(slurp(path("min.txt")), expected) << prog;
    }
}

// The same data, k and -i give the same files for every program, -p and -b.
TEST_F(TrainerCli, ModelsDoNotDependOnThreadsOrBlockSize) {
    std::mt19937 gen(3);
    std::normal_distribution<float> g(0.f, 1.f);
    std::string text = "1500 24\n";
    for (int i = 0; i < 1500; ++i) {
        for (int j = 0; j < 24; ++j) text += std::to_string(g(gen) * 7.3f + float(i % 9)) + " ";
        text += "\n";
    }
    spit(path("random.txt"), text);
    struct Data {
        std::string file;
        std::string k;
    };
    for (const Data& data : {Data{kSample + "/train.txt", "40"}, Data{path("random.txt"), "33"}}) {
        std::string refModel;
        std::string refMin;
        // Every -p from 1 to 8 with the estimate and with an odd block size, and block
        // sizes from 1 row to more than n; kmeans_st ignores -p.
        std::vector<std::pair<std::string, std::string>> settings;
        for (int p = 1; p <= 8; ++p)
            for (const char* b : {"-1", "97"}) settings.push_back({std::to_string(p), b});
        for (const char* b : {"1", "1000", "5000"}) settings.push_back({"2", b});
        for (const std::string& prog : {kMt, kSt}) {
            for (const auto& [p, b] : settings) {
                {
                    if (prog == kSt && p != "1" && p != "2") continue;
                    const RunResult r = run(prog, {"-k", data.k, "-i", "4", "-p", p, "-b", b, "-m",
                                                   path("min.txt"), data.file, path("model.txt")});
                    ASSERT_EQ(r.status, 0) << r.err;
                    const std::string model = slurp(path("model.txt"));
                    const std::string min = slurp(path("min.txt"));
                    if (refModel.empty()) {
                        refModel = model;
                        refMin = min;
                    }
                    EXPECT_EQ(model, refModel)
                        << data.file << " " << prog << " -p " << p << " -b " << b;
                    EXPECT_EQ(min, refMin)
                        << data.file << " " << prog << " -p " << p << " -b " << b;
                }
            }
        }
    }
}

}  // namespace
