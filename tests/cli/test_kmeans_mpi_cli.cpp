// End-to-end runs of kmeans_mpi through mpirun, against kmeans_mt: on 1, 2 and 3
// ranks, with -p 1 and -p 2, the same model and min cluster bytes and the same
// distortions, on the bundled sample and on non-integer data (text with its rows
// spread over uneven white space, and the same values as .fvecs; values at 1e15
// beside values below 2^-60, off every 128-bit grid); and a malformed
// value that only the last rank reads, or a pipe as the data file, which must stop
// every rank with one message and leave the previous model whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cli_util.h"
#include "support/mpi_run.h"
#include "support/printed_distortions.h"
#include "support/temp_dir.h"

namespace {

const std::string kMpirun = MPIRUN;
const std::string kKmeansMpi = KMEANS_MPI;
const std::string kMt = KMEANS_MT;
const std::string kSample = SAMPLE_DIR;
constexpr int kTimeout = 120;  // seconds, past mpirun's own limit (mpi_run.h)

using KmeansMpiCli = TempDirTest;

// 600 rows of 5 values around 4 points, a third of them below 2^-30: the values do
// not fit a 64-bit grid, the sums are 128-bit. Text rows break and gather at random.
void write_fractional(const std::string& text, const std::string& fvecs) {
    std::mt19937 gen(17);
    std::normal_distribution<float> g(0.f, 1.f);
    const int n = 600, d = 5;
    std::string body = std::to_string(n) + " " + std::to_string(d) + "\n";
    std::FILE* out = std::fopen(fvecs.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    for (int i = 0; i < n; ++i) {
        const std::int32_t dim = d;
        std::fwrite(&dim, 4, 1, out);
        for (int t = 0; t < d; ++t) {
            const float v = gen() % 3 == 0 ? g(gen) * 1e-10f : float(i % 4) * 10.f + g(gen);
            std::fwrite(&v, 4, 1, out);
            char number[32];
            std::snprintf(number, sizeof number, "%.9g", double(v));
            body += number;
            body += gen() % 4 == 0 ? "\n\t " : " ";
        }
    }
    std::fclose(out);
    spit(text, body + "\n7 trailing values are never read\n");
}

// 600 rows of values in [0, 1), one of them at 1e15, and near the end rows scaled
// by 2^-60: the rows off the grid are spread over the ranks, and only the last rank
// holds the finest bits, which decide how many levels every rank's totals take.
void write_outlier(const std::string& text) {
    std::mt19937 gen(23);
    const int n = 600, d = 3;
    std::string body = std::to_string(n) + " " + std::to_string(d) + "\n";
    for (int i = 0; i < n; ++i) {
        for (int t = 0; t < d; ++t) {
            const double v =
                i == 0 && t == 0 ? 1e15 : std::ldexp(double(gen() >> 8), i > 580 ? -84 : -24);
            char number[32];
            std::snprintf(number, sizeof number, "%.9g ", v);
            body += number;
        }
        body += "\n";
    }
    spit(text, body);
}

TEST_F(KmeansMpiCli, SameBytesAsKmeansMtOnOneToThreeRanks) {
    const std::string text = path("frac.txt"), fvecs = path("frac.fvecs");
    write_fractional(text, fvecs);
    write_outlier(path("outlier.txt"));
    struct Data {
        std::string file;
        std::string k;
    };
    const std::vector<Data> sets = {
        {kSample + "/train.txt", "16"}, {text, "7"}, {fvecs, "7"}, {path("outlier.txt"), "6"}};
    for (const Data& set : sets) {
        const std::vector<std::string> args = {"-k", set.k,           "-i",     "4",
                                               "-m", path("min.txt"), set.file, path("model.txt")};
        std::vector<std::string> mt = args;
        mt.insert(mt.begin(), {"-p", "2"});
        const RunResult expected = run(kMt, mt);
        ASSERT_EQ(expected.status, 0) << expected.err;
        const std::string model = slurp(path("model.txt")), min = slurp(path("min.txt"));
        for (int ranks = 1; ranks <= 3; ++ranks) {
            for (const std::string p : {"1", "2"}) {
                std::remove(path("model.txt").c_str());
                std::remove(path("min.txt").c_str());
                std::vector<std::string> line = args;
                line.insert(line.begin(), {"-p", p});
                const RunResult r =
                    run(kMpirun, mpi_args(ranks, kKmeansMpi, line), "", 0, kTimeout);
                const std::string why = set.file + ", " + std::to_string(ranks) + " ranks, -p " + p;
                ASSERT_FALSE(r.timedOut) << why;
                ASSERT_EQ(r.status, 0) << why << r.err;
                EXPECT_EQ(r.err, "") << why;
                EXPECT_TRUE(slurp(path("model.txt")) == model) << why;
                EXPECT_TRUE(slurp(path("min.txt")) == min) << why;
                EXPECT_EQ(printed_distortions(r.out), printed_distortions(expected.out)) << why;
            }
        }
    }
}

TEST_F(KmeansMpiCli, TrainingOptionsGiveKmeansMtBytesOnOneToThreeRanks) {
    // k-means|| (each rank draws its own rows' candidates), empty clusters repaired
    // across ranks, restarts and labels in both formats.
    const std::vector<std::string> options = {
        "-k",           "20", "-i",           "5", "--seed=7", "--init=kmeans++", "--empty=split",
        "--restarts=2", "-m", path("min.txt")};
    auto args = [&](const std::string& labels) {
        std::vector<std::string> line = options;
        line.insert(line.end(),
                    {"--labels=" + path(labels), kSample + "/train.txt", path("model.txt")});
        return line;
    };
    ASSERT_EQ(run(kMt, args("labels.npy")).status, 0);
    const std::string model = slurp(path("model.txt")), min = slurp(path("min.txt"));
    const std::string labels = slurp(path("labels.npy"));
    for (int ranks = 1; ranks <= 3; ++ranks) {
        for (const std::string file : {"labels.npy", "labels.txt"}) {
            const RunResult r =
                run(kMpirun, mpi_args(ranks, kKmeansMpi, args("r" + file)), "", 0, kTimeout);
            const std::string why = std::to_string(ranks) + " ranks, " + file;
            ASSERT_EQ(r.status, 0) << why << r.err;
            EXPECT_TRUE(slurp(path("model.txt")) == model) << why;
            EXPECT_TRUE(slurp(path("min.txt")) == min) << why;
        }
        EXPECT_TRUE(slurp(path("rlabels.npy")) == labels) << ranks;
        // The text labels: "n", then the .npy's values one per line.
        std::string text = "2956\n";
        const std::size_t values = labels.size() - 4 * 2956;
        for (std::size_t i = 0; i < 2956; ++i) {
            std::int32_t v;
            std::memcpy(&v, labels.data() + values + 4 * i, 4);
            text += std::to_string(v) + "\n";
        }
        EXPECT_TRUE(slurp(path("rlabels.txt")) == text) << ranks;
    }
}

TEST_F(KmeansMpiCli, MalformedShareOrPipeStopsEveryRank) {
    // "x" in the last row: only rank 2 of 3 reads it. One message, status 1, and the
    // model of an earlier run left as it was, with nothing beside it.
    std::string data = "30 2\n";
    for (int i = 0; i < 30; ++i) data += std::to_string(i) + " " + (i == 29 ? "x" : "1") + "\n";
    spit(path("data.txt"), data);
    spit(path("model.txt"), "earlier model");
    const RunResult r =
        run(kMpirun, mpi_args(3, kKmeansMpi, {"-k", "2", path("data.txt"), path("model.txt")}), "",
            0, kTimeout);
    ASSERT_FALSE(r.timedOut);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "Error: Wrong format file: '" + path("data.txt") + "'.\n");
    EXPECT_EQ(slurp(path("model.txt")), "earlier model");
    EXPECT_EQ(r.out.find("Reading finish"), std::string::npos);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(path("")))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 2);  // data.txt and model.txt

    // A pipe would give each rank other bytes: refused before any rank opens it.
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    const RunResult p =
        run(kMpirun, mpi_args(2, kKmeansMpi, {"-k", "2", path("pipe"), path("model.txt")}), "", 0,
            kTimeout);
    ASSERT_FALSE(p.timedOut);
    EXPECT_NE(p.status, 0);
    EXPECT_EQ(p.err, "Error: '" + path("pipe") +
                         "' is not a regular file: the ranks each read their own part of the "
                         "data file.\n");
    EXPECT_EQ(slurp(path("model.txt")), "earlier model");
}

}  // namespace
