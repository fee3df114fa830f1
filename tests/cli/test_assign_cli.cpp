// End-to-end runs of assign: usage, settings echo, progress lines, the result file,
// the region descriptor file, every refused input, and a run on the bundled sample
// checked against a direct nearest-centre search in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli_util.h"
#include "support/nearest_centre.h"
#include "support/temp_dir.h"

namespace {

const std::string kAssign = ASSIGN;
const std::string kMt = KMEANS_MT;
const std::string kSample = SAMPLE_DIR;

std::string usage() { return assign_usage(kAssign); }

std::string wrong(const std::string& name) { return "Error: Wrong format file: '" + name + "'.\n"; }
std::string progress(int i, const std::string& name) {
    return "Proceesing " + std::to_string(i) + ": " + name + " ...\n";
}
const std::string kOneBlock = "Block 0\n#thread = 1\n";

// One 32-byte region record as the file holds it (little-endian, no padding).
std::string region(std::int32_t file, std::int32_t cluster, float x, float y, float a11, float a12,
                   float a21, float a22) {
    const struct {
        std::int32_t file, cluster;
        float f[6];
    } r = {file, cluster, {x, y, a11, a12, a21, a22}};
    return std::string(reinterpret_cast<const char*>(&r), 32);
}

// One 156-byte type 3 record, all 128 values equal; the junk must not reach the output.
std::string type3(float y, float x, float s, signed char value) {
    std::string r(156, char(value));
    std::memset(&r[0], 0xAB, 8);
    std::memcpy(&r[8], &y, 4);
    std::memcpy(&r[12], &x, 4);
    std::memcpy(&r[16], &s, 4);
    std::memset(&r[20], 0x55, 8);
    return r;
}

// Centres (0,0,0) and (10,10,10): a row (v,v,v) goes to 0 for v <= 5 (5 is a tie,
// exact in float: both scores are 0) and to 1 above.
// a.txt: (1,1,1)->0 (9,9,9)->1 (0,0,12)->0 [144 vs 204] (5,5,5)->0 (3,8,7)->1 [122 vs 62]
// b.txt: (r,r,r) for r = 0..19: six rows go to 0, fourteen to 1.
class AssignCli : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        list_ = path("list.txt"), model_ = path("model.txt"), res_ = path("res.txt");
        reg_ = path("reg.bin"), a_ = path("a.txt"), b_ = path("b.txt");
        spit(model_, "2 3\n0 0 0\n10 10 10");
        spit(a_, "3 5\n1 1 1\n9 9 9\n0 0 12\n5 5 5\n3 8 7\n");
        std::string b = "3 20\n";
        for (int r = 0; r < 20; ++r)
            b += std::to_string(r) + " " + std::to_string(r) + " " + std::to_string(r) + "\n";
        spit(b_, b);
    }
    // Options, then the list, model and result operands.
    RunResult assign(std::vector<std::string> args, const std::string& model = "") {
        args.insert(args.end(), {list_, model.empty() ? model_ : model, res_});
        return run(kAssign, args);
    }
    std::string echo(const std::string& type, const std::string& desc,
                     const std::string& b = "50000", const std::string& p = "4",
                     const std::string& model = "") const {
        return "list: " + list_ + "\nmodel: " + (model.empty() ? model_ : model) +
               "\nresult: " + res_ + "\noptions: \n\ttype: " + type + "\n\tdescriptor: " + desc +
               "\n\tblock size: " + b + "\n\tp: " + p + "\n";
    }
    // A refused run: status 1, one message, the settings echo alone, no output file.
    void expectRefused(const RunResult& r, const std::string& err, const std::string& out,
                       const std::string& why) const {
        EXPECT_EQ(r.status, 1) << why;
        EXPECT_EQ(r.err, err) << why;
        EXPECT_EQ(r.out, out) << why;
        EXPECT_FALSE(exists(res_) || exists(reg_)) << why;
    }
    std::string list_, model_, res_, reg_, a_, b_;
};

TEST_F(AssignCli, UsageAndOptionErrors) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, usage()},
        {{"l", "m"}, usage()},
        {{"-t", "1", "l", "m"}, usage()},
        {{"-x", "3", "l", "m", "r"}, "Unknown option -x\n" + usage()},
        {{"l", "m", "r", "-b"}, "Unknown option -b\n" + usage()},
        {{"-d"}, "Unknown option -d\n" + usage()},
    };
    for (const auto& c : cases) {
        const RunResult r = run(kAssign, c.first, dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.second);
        EXPECT_FALSE(exists(path("r")));
    }
}

TEST_F(AssignCli, SmallType0RunExactOutput) {
    spit(list_, "2\n" + a_ + "\n" + b_ + "\n");
    RunResult r = assign({"-t", "0", "-d", reg_, "-p", "2", "-b", "18"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // a: 5 rows, one block, one worker; b: blocks of 18 rows (chunk 9 is raised to
    // 16, so two workers) and 2 rows (one worker).
    EXPECT_EQ(r.out, echo("0", "<null>", "18", "2") + progress(0, a_) + kOneBlock +
                         progress(1, b_) + "Block 0\n#thread = 2\nBlock 1\n#thread = 1\n");
    EXPECT_EQ(slurp(res_), "2 2\n3 2\n6 14\n");
    EXPECT_FALSE(exists(reg_));  // type 0 has no regions: -d is dropped

    // strtol: letters are 0, "12x" is 12 (b: blocks of 12 and 8 rows).
    spit(list_, "1\n" + b_ + "\n");
    r = assign({"-t", "abc", "-b", "12x", "-p", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, echo("0", "<null>", "12", "1") + progress(0, b_) +
                         "Block 0\n#thread = 1\nBlock 1\n#thread = 1\n");
    EXPECT_EQ(slurp(res_), "1 2\n6 14\n");
}

TEST_F(AssignCli, SmallType1RunExactRegions) {
    // c: (a,b,c) = (0.25,0,1) -> (2,0,-0,1); (2,1,2): l1 = 3, l2 = 1, axis (1,1)/sqrt2
    // -> (1/sqrt6, 1/sqrt6, -1/sqrt2, 1/sqrt2); (4,0,0.25) -> (0.5,0,-0,2).
    const std::string c = path("c.txt"), d = path("d.txt");
    spit(c, "3 3\n10.5 -2 0.25 0 1 9 9 9\n0 7.25 2 1 2 1 2 3\n3 4 4 0 0.25 6 6 6\n");
    // d: (1,0,1) -> (1,0,-0,1); (1,2,1) is not positive definite: l1 = 3, l2 = -1.
    spit(d, "3 2\n100 200 1 0 1 5 5 5\n-1 -1 1 2 1 20 20 20\n");
    spit(list_, "2\n" + c + "\n" + d + "\n");
    const RunResult r = assign({"-t", "1", "-d", reg_, "-p", "3", "-b", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "error: s1 = 3 - s2 = -1\n");
    EXPECT_EQ(r.out, echo("1", reg_, "2", "3") + progress(0, c) + "rows = 3 cols = 3\n" +
                         kOneBlock + "Block 1\n#thread = 1\n" + progress(1, d) +
                         "rows = 2 cols = 3\n" + kOneBlock);
    EXPECT_EQ(slurp(res_), "2 2\n1 2\n1 1\n");
    const float s6 = float(1.0L / std::sqrt(6.0L)), s2 = float(1.0L / std::sqrt(2.0L));
    const std::string reg = slurp(reg_);
    ASSERT_EQ(reg.size(), 5u * 32);
    EXPECT_TRUE(reg.substr(0, 128) ==
                region(0, 1, 10.5f, -2, 2, 0, -0.0f, 1) + region(0, 0, 0, 7.25f, s6, s6, -s2, s2) +
                    region(0, 1, 3, 4, 0.5f, 0, -0.0f, 2) + region(1, 0, 100, 200, 1, 0, -0.0f, 1));
    std::int32_t idx[2];
    float f[6];
    std::memcpy(idx, reg.data() + 128, 8);
    std::memcpy(f, reg.data() + 136, 24);
    EXPECT_TRUE(idx[0] == 1 && idx[1] == 1 && f[0] == -1 && f[1] == -1 && f[2] == s6 &&
                f[3] == s6 && std::isnan(f[4]) && std::isnan(f[5]));
}

TEST_F(AssignCli, SmallType3RunExactRegionsAndEmptyFile) {
    std::string model = "2 128\n";
    for (int j = 0; j < 256; ++j) model += j < 128 ? "0 " : "10 ";
    const std::string m = path("model128.txt"), e = path("e.bin"), f = path("f.bin"),
                      g = path("g.bin");
    spit(m, model);
    // Values 9 -> 1; byte 0xFF is -1 -> 0 (read unsigned, 255 would go to 1); 5 ties -> 0.
    spit(e, type3(10, 20, 1.5f, 9) + type3(0.125f, -3.5f, 0.25f, -1));
    spit(f, "");
    spit(g, type3(2, 1, 0.5f, 5));
    spit(list_, "3\n" + e + "\n" + f + "\n" + g + "\n");
    const RunResult r = assign({"-t", "3", "-d", reg_}, m);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, echo("3", reg_, "50000", "4", m) + progress(0, e) + "rows = 2 & cols = 128\n" +
                         kOneBlock + progress(1, f) + "rows = 0 & cols = 128\n" + progress(2, g) +
                         "rows = 1 & cols = 128\n" + kOneBlock);
    EXPECT_EQ(slurp(res_), "3 2\n1 1\n0 0\n1 0\n");
    EXPECT_TRUE(slurp(reg_) == region(0, 1, 20, 10, 9, 0, 0, 9) +
                                   region(0, 0, -3.5f, 0.125f, 1.5f, 0, 0, 1.5f) +
                                   region(2, 0, 1, 2, 3, 0, 0, 3));
}

TEST_F(AssignCli, UnsupportedTypesWriteZeroLines) {
    spit(list_, "2\n" + a_ + "\n" + b_ + "\n");
    for (const std::string type : {"2", "-1"}) {
        const RunResult r = assign({"-t", type, "-d", reg_});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "This type has not been supported\nThis type has not been supported\n");
        EXPECT_EQ(r.out, echo(type, reg_) + progress(0, a_) + progress(1, b_));
        EXPECT_EQ(slurp(res_), "2 2\n0 0\n0 0\n");
        EXPECT_TRUE(exists(reg_));
        EXPECT_EQ(slurp(reg_), "");
        std::remove(reg_.c_str());
    }
}

TEST_F(AssignCli, ListCountsAndSingleCluster) {
    spit(list_, "0\n" + a_ + "\n");  // nothing is read
    RunResult r = assign({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, echo("0", "<null>"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(slurp(res_), "0 2\n");

    spit(list_, "1\n" + a_ + "\n" + b_ + "\n");  // b is never read
    r = assign({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, echo("0", "<null>") + progress(0, a_) + kOneBlock);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(slurp(res_), "1 2\n3 2\n");

    spit(list_, "3 " + a_);  // two entries with an empty name
    r = assign({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, echo("0", "<null>") + progress(0, a_) + kOneBlock + "Proceesing 1:  ...\n" +
                         "Proceesing 2:  ...\n");
    EXPECT_EQ(r.err,
              "Error: Cannot open file '' for reading.\nError: Cannot open file '' for reading.\n");
    EXPECT_EQ(slurp(res_), "3 2\n3 2\n0 0\n0 0\n");

    spit(model_, "1 3\n7 7 7");  // k = 1: each line is the file's descriptor count
    spit(list_, "2\n" + a_ + "\n" + b_ + "\n");
    r = assign({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(slurp(res_), "2 1\n5\n20\n");
}

TEST_F(AssignCli, RejectedModelsStopBeforeAnyOutput) {
    const std::string m = path("m.txt");
    std::vector<std::pair<std::string, std::string>> cases = {
        {"<absent>", "Cannot open file '" + m + "' for reading.\n"}};
    for (const char* text :
         {"", "2", "abc 3\n1 2 3 4 5 6", "0 3\n", "2 0\n", "-1 3\n1 2 3", "2 3\n1 2 3 4 5",
          "2 3\n1 2 3 4 x 6", "2 3\n1 2 3 nan 5 6", "2 3\n1 2 3 1e50 5 6"})
        cases.push_back({text, wrong(m)});
    list_ = path("nolist.txt");  // missing as well: the model is looked at first
    for (const auto& c : cases) {
        std::remove(m.c_str());
        if (c.first != "<absent>") spit(m, c.first);
        expectRefused(assign({"-t", "1", "-d", reg_}, m), c.second,
                      echo("1", reg_, "50000", "4", m), c.first);
    }
}

TEST_F(AssignCli, RejectedSettingsAndLists) {
    const std::string bErr = "Error: the block size (-b) must be at least 1.\n";
    const std::string pErr = "Error: the number of processors (-p) must be at least 1.\n";
    const std::string none = path("none.txt");  // no model: settings come first
    const std::vector<std::string> options = {"-b",  "0",  "-b", "-4", "-b",
                                              "abc", "-p", "0",  "-p", "-1"};
    for (std::size_t i = 0; i < options.size(); i += 2) {
        const std::string& o = options[i];
        const std::string shown = options[i + 1] == "abc" ? "0" : options[i + 1];
        expectRefused(
            assign({o, options[i + 1]}, none), o == "-b" ? bErr : pErr,
            echo("0", "<null>", o == "-b" ? shown : "50000", o == "-p" ? shown : "4", none),
            o + options[i + 1]);
    }
    std::vector<std::pair<std::string, std::string>> cases = {
        {"<absent>", "Cannot open file '" + list_ + "' for reading.\n"}};
    for (const std::string text : {"", " \n\t\n", "abc\na.txt\n", "-1\n"})
        cases.push_back({text, wrong(list_)});
    for (const auto& c : cases) {
        std::remove(list_.c_str());
        if (c.first != "<absent>") spit(list_, c.first);
        expectRefused(assign({"-t", "1", "-d", reg_}), c.second, echo("1", reg_), c.first);
    }
}

TEST_F(AssignCli, UnallocatableScoreMatrix) {
    // 100000 centres x 2147483647 rows x 4 bytes: about 860 TB, beyond any address space.
    std::string model = "100000 1\n";
    for (int i = 0; i < 100000; ++i) model += "0\n";
    const std::string big = path("big.txt");
    spit(big, model);
    spit(list_, "1\n" + a_ + "\n");
    expectRefused(assign({"-t", "1", "-d", reg_, "-b", "2147483647"}, big),
                  "Cannot allocate R. Try to change the block size with a smaller value.\n",
                  echo("1", reg_, "2147483647", "4", big), "R");
}

TEST_F(AssignCli, OutputFilesThatCannotBeWritten) {
    spit(path("c.txt"), "3 1\n1 2 0.25 0 1 9 9 9\n");
    spit(list_, "1\n" + path("c.txt") + "\n");
    const std::string noReg = path("no/dir/reg.bin");
    RunResult r = assign({"-t", "1", "-d", noReg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open file '" + noReg + "' for writing.\n");
    EXPECT_EQ(r.out, echo("1", noReg));  // before any entry
    EXPECT_FALSE(exists(res_));

    const std::string noRes = path("no/dir/res.txt");
    r = run(kAssign, {"-t", "1", "-d", reg_, list_, model_, noRes});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open file '" + noRes + "' for writing.\n");
    EXPECT_EQ(r.out.find("Proceesing"), std::string::npos);
    EXPECT_TRUE(exists(reg_));
    EXPECT_EQ(slurp(reg_), "");

    // Write errors: the result file, then the region file.
    for (const RunResult& full : {run(kAssign, {"-t", "1", "-d", reg_, list_, model_, "/dev/full"}),
                                  assign({"-t", "1", "-d", "/dev/full"})}) {
        EXPECT_EQ(full.status, 1);
        EXPECT_EQ(full.err, "Cannot open file '/dev/full' for writing.\n");
    }
}

TEST_F(AssignCli, RejectedDescriptorFilesGetZeroLines) {
    const std::string t3(157, '\1');
    const std::vector<std::pair<std::string, std::vector<std::string>>> types = {
        {"0",
         {"", "3", "3 2", "x 2\n1 2 3 4 5 6", "4 1\n1 2 3 4", "3 0\n", "3 -2\n1 2 3",
          "3 2\n1 2 3 4 5", "3 2\n1 2 3 4 x 6", "3 2\n1 2 3 nan 5 6"}},
        {"1", {"3 1\n1 2 0.25 0 1 4 5", "3 1\n1 2 0.25 zz 1 4 5 6", "3 1\n1 2 1 0 1 6"}},
        // 157, 155 and 156 bytes: the last is well formed, but the model has d = 3, not 128.
        {"3", {t3, t3.substr(2), t3.substr(1)}},
    };
    const std::string missing = path("missing");
    for (const auto& t : types) {
        std::string list = std::to_string(t.second.size() + 1) + "\n" + missing + "\n";
        std::string err = "Error: Cannot open file '" + missing + "' for reading.\n";
        std::string res = std::to_string(t.second.size() + 1) + " 2\n0 0\n";
        for (std::size_t i = 0; i < t.second.size(); ++i) {
            const std::string name = path("bad" + t.first + "_" + std::to_string(i));
            spit(name, t.second[i]);
            list += name + "\n", err += wrong(name), res += "0 0\n";
        }
        spit(list_, list);
        const RunResult r = assign({"-t", t.first});
        EXPECT_EQ(r.status, 0) << t.first;
        EXPECT_EQ(r.err, err) << t.first;
        EXPECT_EQ(r.out.find("Block"), std::string::npos) << t.first;
        EXPECT_EQ(slurp(res_), res) << t.first;
    }
}

// ---- the bundled sample against a direct search

using Rows = std::vector<std::vector<float>>;

// Text descriptor file: d n, then n times (`skip` reals, then d reals), read as the
// programs read them.
Rows read_text(const std::string& name, int skip) {
    std::ifstream in(name);
    int d = 0, n = 0;
    in >> d >> n;
    Rows rows(std::size_t(n), std::vector<float>(std::size_t(d), 0.0f));
    double ignored;
    for (auto& row : rows) {
        for (int s = 0; s < skip; ++s) in >> ignored;
        for (float& v : row) in >> v;
    }
    EXPECT_TRUE(bool(in)) << name;
    return rows;
}

Rows read_bin(const std::string& bytes) {
    Rows rows(bytes.size() / 156, std::vector<float>(128, 0.0f));
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t j = 0; j < 128; ++j)
            rows[i][j] = static_cast<signed char>(bytes[i * 156 + 28 + j]);
    return rows;
}

std::string join(const std::vector<int>& counts) {
    std::string line;
    for (std::size_t c = 0; c < counts.size(); ++c)
        line += (c ? " " : "") + std::to_string(counts[c]);
    return line + "\n";
}

// One count line: how many rows have each centre (k rows of d values) as nearest.
std::string count_line(const Rows& rows, const std::vector<float>& centres, int k) {
    std::vector<int> counts(std::size_t(k), 0);
    for (const auto& row : rows)
        ++counts[std::size_t(nearest_centre(row.data(), centres.data(), k, int(row.size())))];
    return join(counts);
}

// Region file against the result file: 32 bytes a descriptor, file indices never
// decreasing, and each file's records counted by cluster give that file's line.
void check_regions(const std::string& regions, const std::string& result, int k) {
    std::vector<std::vector<int>> counts(4, std::vector<int>(std::size_t(k), 0));
    int last = 0;
    for (std::size_t p = 0; p < regions.size(); p += 32) {
        std::int32_t idx[2];
        std::memcpy(idx, regions.data() + p, 8);
        ASSERT_TRUE(idx[0] >= last && idx[0] < 4 && idx[1] >= 0 && idx[1] < k) << p;
        last = idx[0];
        ++counts[std::size_t(idx[0])][std::size_t(idx[1])];
    }
    std::string expected = "4 " + std::to_string(k) + "\n";
    for (const auto& line : counts) expected += join(line);
    EXPECT_EQ(result, expected);
}

TEST_F(AssignCli, SampleDataMatchesDirectSearch) {
    RunResult r = run(kMt, {"-k", "16", "-i", "3", kSample + "/train.txt", model_});
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(model_);
    int k = 0, d = 0;
    in >> k >> d;
    ASSERT_TRUE(k == 16 && d == 128);
    std::vector<float> centres(16 * 128);
    for (float& v : centres) in >> v;
    ASSERT_TRUE(bool(in));

    std::string expect0 = "4 16\n", expect1 = expect0, expect3 = expect0, bins;
    std::size_t total = 0;
    for (const std::string image : {"camera", "coffee", "chelsea", "astronaut"}) {
        const Rows rows0 = read_text(kSample + "/type0/" + image + ".txt", 0);
        const std::string bin = slurp(kSample + "/type3/" + image + ".bin");
        total += rows0.size();
        bins += bin;
        expect0 += count_line(rows0, centres, k);
        expect1 += count_line(read_text(kSample + "/type1/" + image + ".txt", 5), centres, k);
        expect3 += count_line(read_bin(bin), centres, k);
    }
    ASSERT_EQ(total, 2956u);
    ASSERT_EQ(bins.size(), 156 * total);

    // Type 0 with the defaults; types 1 and 3 with region files and other splits.
    const std::vector<std::vector<std::string>> runs = {
        {"-t", "0"}, {"-t", "1", "-b", "100"}, {"-t", "3", "-b", "1000", "-p", "3"}};
    const std::string expected[] = {expect0, expect1, expect3};
    std::string reg3;
    for (int t = 0; t < 3; ++t) {
        std::vector<std::string> args = runs[std::size_t(t)];
        const std::string type = args[1], res = path("res" + type), reg = path("reg" + type);
        if (t > 0) args.insert(args.end(), {"-d", reg});
        args.insert(args.end(), {"list_type" + type + ".txt", model_, res});
        r = run(kAssign, args, kSample);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "") << type;  // every region of the sample is an ellipse
        EXPECT_EQ(slurp(res), expected[t]) << type;
        if (t == 0) continue;
        const std::string regions = slurp(reg);
        ASSERT_EQ(regions.size(), 32 * total) << type;
        check_regions(regions, slurp(res), 16);
        reg3 = regions;
    }
    // Positions swapped back; a circle of radius 6 s with a zero off-diagonal.
    for (std::size_t i = 0; i < total; ++i) {
        float y, x, s, g[6];
        std::memcpy(&y, bins.data() + 156 * i + 8, 4);
        std::memcpy(&x, bins.data() + 156 * i + 12, 4);
        std::memcpy(&s, bins.data() + 156 * i + 16, 4);
        std::memcpy(g, reg3.data() + 32 * i + 8, 24);
        ASSERT_TRUE(g[0] == x && g[1] == y && g[2] == 6.0f * s && g[3] == 0 && g[4] == 0 &&
                    g[5] == 6.0f * s)
            << i;
    }
}

// A near tie that only double arithmetic settles: x = 1 between centres -2^-30 and 2.
// Their float scores differ by less than their error bound, so the distances decide,
// and 1 - (-2^-30) rounds to 1 in float: a difference formed in float ties the two
// centres (the lower index would win), the exact one gives centre 1.
TEST_F(AssignCli, DistancesFormedInDouble) {
    spit(path("model.txt"), "2 1\n-9.31322575e-10\n2");
    spit(path("one.txt"), "1 1\n1\n");
    spit(path("list.txt"), "1\n" + path("one.txt") + "\n");
    const RunResult r = run(kAssign, {path("list.txt"), path("model.txt"), path("result.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(path("result.txt")), "1 2\n0 1\n");
}

}  // namespace
