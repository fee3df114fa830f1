// End-to-end runs of the binary model files (.npy, .fvecs) from the trainer into
// assign, assign's binary descriptor files beside text ones, its --labels file against
// a direct nearest-centre search, and --help and --quiet.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "cli_util.h"
#include "support/nearest_centre.h"
#include "support/temp_dir.h"

namespace {

const std::string kAssign = ASSIGN;
const std::string kMt = KMEANS_MT;
const std::string kSample = SAMPLE_DIR;
const char* const kType0[] = {"camera", "coffee", "chelsea", "astronaut"};  // list order

template <class T>
std::string bytes_of(const T& v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

// A version 1.0 header as numpy.save writes it.
std::string npy_header(const std::string& descr, const std::string& shape) {
    std::string dict =
        "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape + ", }";
    while ((10 + dict.size() + 1) % 64 != 0) dict += ' ';
    dict += '\n';
    return std::string("\x93NUMPY\x01\x00", 8) + char(dict.size()) + '\0' + dict;
}

struct Descriptors {
    int d = 0, n = 0;
    std::vector<float> v;
};

// A type 0 file: "d n", then the values.
Descriptors read_type0(const std::string& path) {
    std::istringstream in(slurp(path));
    Descriptors x;
    in >> x.d >> x.n;
    x.v.resize(std::size_t(x.d) * std::size_t(x.n));
    for (float& f : x.v) in >> f;
    return x;
}

// The usage of a mistake, as it has always been; --help adds the long options.
std::string usage(bool withLong = true) {
    const std::string base = assign_usage(kAssign);
    if (!withLong) return base;
    return base +
           "\t--labels=<file>:\tEvery descriptor's cluster index (.npy or text; default: none)\n"
           "\t--quiet:\tOnly errors and the closing line (default: off)\n"
           "\t--help:\tThis text\n"
           "\t--version:\tThe program's version\n";
}

// A model of the sample trained once for every case, in both binary formats.
class AssignFormatsCli : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        for (const char* name : {"model.npy", "model.fvecs"})
            ASSERT_EQ(run(kMt, {"-k", "16", "-i", "3", "-p", "2", "train.txt", path(name)}, kSample)
                          .status,
                      0);
    }
    RunResult assign(const std::vector<std::string>& args) { return run(kAssign, args, kSample); }
};

TEST_F(AssignFormatsCli, BinaryModelsHoldTheSameCentresAndAssignAlike) {
    const std::string npy = slurp(path("model.npy")), fvecs = slurp(path("model.fvecs"));
    const std::string header = npy_header("<f4", "(16, 128)");
    ASSERT_EQ(npy.size(), header.size() + 16u * 128u * 4u);
    EXPECT_EQ(npy.substr(0, header.size()), header);
    ASSERT_EQ(fvecs.size(), 16u * (4u + 128u * 4u));
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(fvecs.substr(i * 516, 4), bytes_of(std::int32_t(128))) << i;
        EXPECT_TRUE(fvecs.substr(i * 516 + 4, 512) == npy.substr(header.size() + i * 512, 512))
            << i;
    }
    // Each value rounds to what the text model says (6 significant digits).
    ASSERT_EQ(run(kMt, {"-k", "16", "-i", "3", "train.txt", path("model.txt")}, kSample).status, 0);
    std::istringstream text(slurp(path("model.txt")));
    int k = 0, d = 0;
    text >> k >> d;
    for (std::size_t i = 0; i < 16u * 128u; ++i) {
        float value;
        std::memcpy(&value, npy.data() + header.size() + 4 * i, 4);
        std::string word;
        text >> word;
        char printed[32];
        std::snprintf(printed, sizeof printed, "%g", double(value));
        ASSERT_EQ(word, printed) << i;
    }

    const RunResult a = assign({"list_type0.txt", path("model.npy"), path("a.txt")});
    const RunResult b = assign({"list_type0.txt", path("model.fvecs"), path("b.txt")});
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.err + b.err, "");
    EXPECT_EQ(slurp(path("a.txt")), slurp(path("b.txt")));
    EXPECT_EQ(slurp(path("a.txt")).substr(0, 5), "4 16\n");
    const std::string modelLine = "model: " + path("model.npy") + "\n";
    std::string out = a.out;
    out.replace(out.find(modelLine), modelLine.size(), "model: " + path("model.fvecs") + "\n");
    out.replace(out.find("a.txt\n"), 6, "b.txt\n");
    EXPECT_EQ(out, b.out);
}

TEST_F(AssignFormatsCli, BinaryEntriesCountAsTheirText) {
    const Descriptors x = read_type0(kSample + "/type0/camera.txt");
    ASSERT_EQ(x.d, 128);
    std::string fvecs, bvecs, f4;
    for (int i = 0; i < x.n; ++i) {
        fvecs += bytes_of(std::int32_t(128)), bvecs += bytes_of(std::int32_t(128));
        for (int j = 0; j < 128; ++j) {
            const float f = x.v[std::size_t(i) * 128 + std::size_t(j)];
            fvecs += bytes_of(f), f4 += bytes_of(f), bvecs += char(static_cast<unsigned char>(f));
        }
    }
    spit(path("camera.fvecs"), fvecs);
    spit(path("camera.bvecs"), bvecs);
    spit(path("camera.npy"), npy_header("<f4", "(" + std::to_string(x.n) + ", 128)") + f4);
    spit(path("three.fvecs"), bytes_of(std::int32_t(3)) + std::string(12, '\0'));
    spit(path("list.txt"), "6\ntype0/camera.txt\n" + path("camera.fvecs") + "\n" +
                               path("camera.npy") + "\n" + path("camera.bvecs") + "\n" +
                               path("three.fvecs") + "\n" + path("missing.npy") + "\n");
    // -t 2 reads no text entry; the binary ones are read all the same.
    for (const std::string type : {"0", "2"}) {
        const RunResult r =
            assign({"-t", type, path("list.txt"), path("model.npy"), path("r.txt")});
        EXPECT_EQ(r.status, 0) << type;
        const std::string text = type == "0" ? "" : "This type has not been supported\n";
        EXPECT_EQ(r.err, text + "Error: Wrong format file: '" + path("three.fvecs") +
                             "'.\nError: Cannot open file '" + path("missing.npy") +
                             "' for reading.\n")
            << type;
        std::istringstream lines(slurp(path("r.txt")));
        std::string line, first;
        std::getline(lines, line);
        EXPECT_EQ(line, "6 16");
        std::getline(lines, first);
        const std::string zeros = "0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0";
        EXPECT_EQ(first == zeros, type == "2") << type;
        for (int i = 1; i < 4 && std::getline(lines, line); ++i) {
            EXPECT_NE(line, zeros) << i;
            if (type == "0") EXPECT_EQ(line, first) << i;
        }
        for (int i = 4; i < 6 && std::getline(lines, line); ++i) EXPECT_EQ(line, zeros) << i;
    }
    // With -d, a binary entry has no regions: the text entry's records alone.
    spit(path("list1.txt"), "2\ntype1/camera.txt\n" + path("camera.fvecs") + "\n");
    spit(path("alone.txt"), "1\ntype1/camera.txt\n");
    ASSERT_EQ(assign({"-t", "1", "-d", path("reg1.bin"), path("list1.txt"), path("model.npy"),
                      path("r1.txt")})
                  .status,
              0);
    ASSERT_EQ(assign({"-t", "1", "-d", path("reg2.bin"), path("alone.txt"), path("model.npy"),
                      path("r2.txt")})
                  .status,
              0);
    EXPECT_EQ(slurp(path("reg1.bin")).size(), 32u * std::size_t(x.n));
    EXPECT_TRUE(slurp(path("reg1.bin")) == slurp(path("reg2.bin")));
    std::istringstream lines(slurp(path("r1.txt")));
    std::string header, text, binary;
    std::getline(lines, header), std::getline(lines, text), std::getline(lines, binary);
    EXPECT_EQ(text, binary);
}

TEST_F(AssignFormatsCli, LabelsAreEveryDescriptorsNearestCentre) {
    const std::string npy = slurp(path("model.npy"));
    const std::size_t header = npy_header("<f4", "(16, 128)").size();
    std::vector<float> centres(16 * 128);
    std::memcpy(centres.data(), npy.data() + header, centres.size() * 4);
    std::vector<int> expected;
    for (const char* name : kType0) {
        const Descriptors x = read_type0(kSample + "/type0/" + name + ".txt");
        const std::vector<int> near = nearest_centres(x.v, x.n, centres, 16, 128);
        expected.insert(expected.end(), near.begin(), near.end());
    }
    ASSERT_EQ(expected.size(), 2956u);
    std::string text = "2956\n", binary = npy_header("<i4", "(2956,)");
    for (int c : expected) text += std::to_string(c) + "\n", binary += bytes_of(std::int32_t(c));

    const RunResult plain = assign({"list_type0.txt", path("model.npy"), path("plain.txt")});
    for (const std::string name : {"labels.txt", "labels.npy"}) {
        const RunResult r = assign({"-p", "3", "--labels=" + path(name), "list_type0.txt",
                                    path("model.npy"), path("r.txt")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(slurp(path(name)) == (name == "labels.txt" ? text : binary)) << name;
        EXPECT_EQ(slurp(path("r.txt")), slurp(path("plain.txt")));
        // The echo names the file; the rest is the run without labels (-p 3 aside).
        const std::string echo = "\tp: 3\n\tlabels: " + path(name) + "\n";
        ASSERT_NE(r.out.find(echo), std::string::npos) << r.out;
    }
}

TEST_F(AssignFormatsCli, HelpQuietAndRefusedLabels) {
    const RunResult help = run(kAssign, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, usage());
    EXPECT_EQ(help.err, "");
    const RunResult late = run(kAssign, {"-x", "--help"});  // a mistake before it
    EXPECT_EQ(late.status, 1);
    EXPECT_EQ(late.err, "Unknown option -x\n" + usage(false));

    const RunResult quiet =
        assign({"--quiet", "-t", "1", "list_type1.txt", path("model.npy"), path("q.txt")});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "Assigned 2956 descriptors of 4 files.\n");
    EXPECT_EQ(quiet.err, "");
    spit(path("bad.txt"), "2\ntype0/camera.txt\n" + path("nowhere.txt") + "\n");
    const RunResult errors = assign({"--quiet", path("bad.txt"), path("model.npy"), path("q.txt")});
    EXPECT_EQ(errors.status, 0);
    EXPECT_EQ(errors.out, "Assigned 927 descriptors of 2 files.\n");
    EXPECT_EQ(errors.err, "Error: Cannot open file '" + path("nowhere.txt") + "' for reading.\n");

    // Refused before any output exists: a label file that is an input, one that
    // cannot be created, an option without its value or with one it does not take.
    const struct {
        std::vector<std::string> args;
        std::string err;
    } refused[] = {
        {{"--labels=list_type0.txt"},
         "Error: 'list_type0.txt' is also an input: 'list_type0.txt'.\n"},
        {{"--labels=" + path("r.txt")},
         "Error: '" + path("r.txt") + "' is also an output: '" + path("r.txt") + "'.\n"},
        {{"--labels=" + path("no/dir/l.txt")},
         "Cannot open file '" + path("no/dir/l.txt") + "' for writing.\n"},
        {{"--quiet=1"}, "Unknown option --\n" + usage(false)},
    };
    for (const auto& c : refused) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"list_type0.txt", path("model.npy"), path("r.txt")});
        const RunResult r = assign(args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_FALSE(exists(path("r.txt"))) << c.args[0];
    }
    const RunResult missing = run(kAssign, {"l", "m", "r", "--labels"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Unknown option --\n" + usage(false));
}

}  // namespace
