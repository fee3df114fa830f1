// End-to-end runs of --version, the one long option of every program: the program's
// name and the build's version on standard output and status 0, wherever it stands on
// the command line, while any other long option, --version given a value, or a
// mistake met before it is still refused with the usage text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_util.h"

namespace {

struct Program {
    std::string path;
    std::string name;
    std::string operands;  // the usage line after "Use: <path>"
};

const std::vector<Program> kPrograms = {
    {KMEANS_MT, "kmeans_mt", " [OPTION] <data file> <model file>\n"},
    {KMEANS_ST, "kmeans_st", " [OPTION] <data file> <model file>\n"},
    {ASSIGN, "assign", " [OPTION] <list file> <model file> <result file>\n"},
};
const std::string kVersion = KMEANS_VERSION;

TEST(VersionCli, EveryProgramAnswersVersion) {
    const std::vector<std::vector<std::string>> lines = {
        {"--version"},
        {"-p", "2", "--version"},
        {"a", "b", "--version"},  // getopt permutes: the operands are not looked at
        {"--vers"},               // an unambiguous prefix, as getopt_long allows
    };
    for (const Program& p : kPrograms) {
        for (const std::vector<std::string>& args : lines) {
            const RunResult r = run(p.path, args);
            EXPECT_EQ(r.status, 0) << p.name << " " << args[0];
            EXPECT_EQ(r.out, p.name + " " + kVersion + "\n") << p.name << " " << args[0];
            EXPECT_EQ(r.err, "") << p.name << " " << args[0];
        }
    }
}

TEST(VersionCli, OtherLongOptionsAndEarlierMistakesAreRefused) {
    struct Line {
        std::vector<std::string> args;
        char bad;
    };
    const std::vector<Line> lines = {
        {{"--frobnicate"}, '-'},  // any "--word" has always been the option '-'
        {{"--version=2"}, '-'},
        {{"--frobnicate", "--version"}, '-'},
        {{"-x", "--version"}, 'x'},
    };
    for (const Program& p : kPrograms) {
        for (const Line& line : lines) {
            const RunResult r = run(p.path, line.args);
            const std::string head =
                std::string("Unknown option -") + line.bad + "\nUse: " + p.path + p.operands;
            EXPECT_EQ(r.status, 1) << p.name << " " << line.args[0];
            EXPECT_EQ(r.out, "") << p.name << " " << line.args[0];
            EXPECT_EQ(r.err.substr(0, head.size()), head) << p.name << " " << line.args[0];
        }
    }
}

TEST(VersionCli, VersionAsAnOptionValueIsAName) {
    const RunResult r = run(KMEANS_MT, {"-m", "--version", "/nonexistent/data", "model.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\tm: --version\n"), std::string::npos) << r.out;
}

}  // namespace
