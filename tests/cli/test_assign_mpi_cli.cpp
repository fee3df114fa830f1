// End-to-end runs of assign_mpi through mpirun, against assign: on 1, 2 and 3 ranks
// the same transcript, result bytes and region bytes on the bundled sample (with an
// unreadable entry and an empty name), also when the other ranks hold their output
// in a temporary file; and failures met by every rank, by rank 0 before the entries
// or while it writes another rank's output, that stop every rank with one message
// and status 1, never a hang.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli_util.h"
#include "support/mpi_run.h"
#include "support/temp_dir.h"

namespace {

const std::string kMpirun = MPIRUN;
const std::string kAssignMpi = ASSIGN_MPI;
const std::string kAssign = ASSIGN;
const std::string kMt = KMEANS_MT;
const std::string kSample = SAMPLE_DIR;
constexpr int kTimeout = 120;  // seconds, past mpirun's own limit (mpi_run.h)

class AssignMpiCli : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        model_ = path("model.txt"), list_ = path("list.txt");
        res_ = path("res.txt"), reg_ = path("reg.bin");
        // The sample's names are relative to its directory, where the programs run.
        spit(list_,
             "6\ntype1/camera.txt\ntype1/missing.txt\ntype1/coffee.txt\n"
             "type1/chelsea.txt\ntype1/astronaut.txt\n");
        ASSERT_EQ(run(kMt, {"-k", "16", "-i", "2", "-p", "2", "train.txt", model_}, kSample).status,
                  0);
    }
    RunResult assignMpi(int ranks, const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {}) {
        return run(kMpirun, mpi_args(ranks, kAssignMpi, args, env), kSample, 0, kTimeout);
    }
    std::string model_, list_, res_, reg_;
};

TEST_F(AssignMpiCli, SameBytesAsAssignOnOneToThreeRanks) {
    for (const std::string p : {"1", "2"}) {
        const std::vector<std::string> args = {"-t", "1",   "-d",  reg_,   "-p", p,
                                               "-b", "300", list_, model_, res_};
        const RunResult expected = run(kAssign, args, kSample);
        ASSERT_EQ(expected.status, 0) << expected.err;
        ASSERT_EQ(expected.err,
                  "Error: Cannot open file 'type1/missing.txt' for reading.\n"
                  "Error: Cannot open file '' for reading.\n");
        const std::string result = slurp(res_), regions = slurp(reg_);
        ASSERT_EQ(regions.size(), 32u * 2956u);
        for (int ranks = 1; ranks <= 3; ++ranks) {
            std::remove(res_.c_str()), std::remove(reg_.c_str());
            // With -p 2, nothing is held in memory: every piece a rank holds before its
            // turn goes through the temporary file.
            const RunResult r =
                assignMpi(ranks, args,
                          p == "2" ? std::vector<std::string>{"KMEANS_MPI_HOLD_BYTES=0"}
                                   : std::vector<std::string>{});
            const std::string why = std::to_string(ranks) + " ranks, -p " + p;
            EXPECT_FALSE(r.timedOut) << why;
            EXPECT_EQ(r.status, 0) << why;
            EXPECT_EQ(r.out, expected.out) << why;
            EXPECT_EQ(r.err, expected.err) << why;
            EXPECT_TRUE(slurp(res_) == result) << why;
            EXPECT_TRUE(slurp(reg_) == regions) << why;
        }
    }
}

TEST_F(AssignMpiCli, LabelsAndQuietAsAssign) {
    // Every rank's labels, relayed through rank 0 in list order, and one closing line.
    const std::string labels = path("labels.npy");
    const std::vector<std::string> args = {
        "--quiet", "--labels=" + labels, "-t", "1", "-b", "300", list_, model_, res_};
    const RunResult expected = run(kAssign, args, kSample);
    ASSERT_EQ(expected.status, 0) << expected.err;
    ASSERT_EQ(expected.out, "Assigned 2956 descriptors of 6 files.\n");
    const std::string bytes = slurp(labels);
    ASSERT_EQ(bytes.size(), 128u + 4u * 2956u);
    for (int ranks = 2; ranks <= 3; ++ranks) {
        std::remove(labels.c_str());
        const RunResult r = assignMpi(ranks, args, {"KMEANS_MPI_HOLD_BYTES=1000"});
        EXPECT_FALSE(r.timedOut) << ranks;
        EXPECT_EQ(r.status, 0) << ranks;
        EXPECT_EQ(r.out, expected.out) << ranks;
        EXPECT_EQ(r.err, expected.err) << ranks;
        EXPECT_TRUE(slurp(labels) == bytes) << ranks;
    }
}

TEST_F(AssignMpiCli, FailureStopsEveryRankWithOneMessage) {
    // A malformed model, refused by every rank; a result file in a directory that does
    // not exist, seen by rank 0 alone; a region file that cannot be written, met by
    // rank 0 while it writes rank 1's records (its own entry is unreadable and has
    // none; rank 2 is stopped before its turn). The same messages, status and result
    // bytes as assign.
    const std::string bad = path("bad.txt"), noDir = path("no/dir/res.txt"), list = path("l.txt");
    spit(bad, "2 128\n1 2 3");
    spit(list, "3\ntype1/missing.txt\ntype1/camera.txt\ntype1/coffee.txt\n");
    const std::vector<std::vector<std::string>> cases = {
        {"-t", "1", list_, bad, res_},
        {"-t", "1", list_, model_, noDir},
        {"-t", "1", "-d", "/dev/full", list, model_, res_}};
    for (const auto& args : cases) {
        std::remove(res_.c_str());
        const RunResult expected = run(kAssign, args, kSample);
        ASSERT_EQ(expected.status, 1);
        const std::string result = exists(res_) ? slurp(res_) : "<none>";
        std::remove(res_.c_str());
        const RunResult r = assignMpi(3, args);
        const std::string why = args[args.size() - 3] + " " + args[args.size() - 2];
        EXPECT_FALSE(r.timedOut) << why;
        EXPECT_EQ(r.status, 1) << why;
        EXPECT_EQ(r.err, expected.err) << why;
        EXPECT_EQ(r.out, expected.out) << why;
        EXPECT_EQ(exists(res_) ? slurp(res_) : "<none>", result) << why;
    }
}

}  // namespace
