// End-to-end runs of --version on the MPI drivers through mpirun: one line for the
// whole job, from rank 0, and status 0; an unknown long option refused once.
#include <gtest/gtest.h>

#include <string>

#include "cli_util.h"
#include "support/mpi_run.h"

namespace {

TEST(VersionMpiCli, OneLineForTheWholeJob) {
    for (const auto& [path, name] : {std::pair<std::string, std::string>{KMEANS_MPI, "kmeans_mpi"},
                                     {ASSIGN_MPI, "assign_mpi"}}) {
        RunResult r = run(MPIRUN, mpi_args(2, path, {"--version"}));
        EXPECT_EQ(r.status, 0) << name << r.err;
        EXPECT_EQ(r.out, name + " " + KMEANS_VERSION + "\n");
        EXPECT_EQ(r.err, "");

        r = run(MPIRUN, mpi_args(2, path, {"--frobnicate"}));
        EXPECT_NE(r.status, 0) << name;
        EXPECT_EQ(r.out, "");
        const std::string head = "Unknown option --\nUse: " + path + " [OPTION]";
        EXPECT_EQ(r.err.substr(0, head.size()), head) << name;
        EXPECT_EQ(r.err.find("Unknown option", 1), std::string::npos) << "once: " << r.err;
    }
}

}  // namespace
