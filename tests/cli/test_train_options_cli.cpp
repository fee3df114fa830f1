// End-to-end runs of the trainers' long options: seeding (k-means||, seeded random),
// the repair of empty clusters, restarts, the tolerance, labels, a start from a
// model, --help and refused values. The oracles: planted blobs whose means are known,
// the nearest-centre definition (support/nearest_centre.h), and the bytes of other
// runs that must be equal.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
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

using TrainOptionsCli = TempDirTest;

// 8 blobs in d = 3 around (1000 b, -500 b, 250): blob 0 is 120 copies of its centre,
// blobs 1..7 hold 20 rows each at the centre plus (+-1, +-2, 0) in every sign, so
// that every blob's mean is its centre exactly. Rows are interleaved.
constexpr int kBlobs = 8;
void planted(std::string& text, std::vector<float>& rows, int& n) {
    std::vector<std::vector<float>> blob(kBlobs);
    for (int b = 0; b < kBlobs; ++b) {
        const float c[3] = {1000.f * b, -500.f * b, 250.f};
        const int count = b == 0 ? 120 : 20;
        for (int i = 0; i < count; ++i) {
            const float s1 = b == 0 ? 0 : (i & 1 ? 1.f : -1.f);
            const float s2 = b == 0 ? 0 : (i & 2 ? 2.f : -2.f);
            blob[b].insert(blob[b].end(), {c[0] + s1, c[1] + s2, c[2]});
        }
    }
    rows.clear();
    for (int i = 0; i < 120; ++i)
        for (int b = 0; b < kBlobs; ++b)
            if (std::size_t(i) * 3 < blob[b].size())
                rows.insert(rows.end(), blob[b].begin() + i * 3, blob[b].begin() + i * 3 + 3);
    n = int(rows.size() / 3);
    std::ostringstream out;
    out << n << " 3\n";
    for (std::size_t i = 0; i < rows.size(); i += 3)
        out << rows[i] << " " << rows[i + 1] << " " << rows[i + 2] << "\n";
    text = out.str();
}

// The centres of a text model, as sets of rows.
std::set<std::vector<float>> model_rows(const std::string& path) {
    std::istringstream in(slurp(path));
    int k = 0, d = 0;
    in >> k >> d;
    std::set<std::vector<float>> rows;
    for (int c = 0; c < k; ++c) {
        std::vector<float> row(static_cast<std::size_t>(d));
        for (float& v : row) in >> v;
        rows.insert(row);
    }
    return rows;
}

std::set<std::vector<float>> blob_centres() {
    std::set<std::vector<float>> out;
    for (int b = 0; b < kBlobs; ++b) out.insert({1000.f * b, -500.f * b, 250.f});
    return out;
}

// The int32 values of a 1-D .npy file, after checking its header.
std::vector<int> npy_ints(const std::string& bytes, int n) {
    EXPECT_EQ(bytes.compare(0, 8, std::string("\x93NUMPY\x01\x00", 8)), 0);
    const std::size_t len = std::uint8_t(bytes[8]) | std::size_t(std::uint8_t(bytes[9])) << 8;
    const std::string header = bytes.substr(10, len);
    EXPECT_NE(header.find("'descr': '<i4'"), std::string::npos) << header;
    EXPECT_NE(header.find("'shape': (" + std::to_string(n) + ",)"), std::string::npos) << header;
    EXPECT_EQ((10 + len) % 64, 0u);
    std::vector<int> out(static_cast<std::size_t>(n));
    EXPECT_EQ(bytes.size(), 10 + len + 4 * std::size_t(n));
    if (bytes.size() == 10 + len + 4 * std::size_t(n))
        std::memcpy(out.data(), bytes.data() + 10 + len, 4 * std::size_t(n));
    return out;
}

// FNV-1a of a file's bytes.
std::uint64_t fnv1a(const std::string& bytes) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

TEST_F(TrainOptionsCli, WithoutThemTheSampleGetsTheBytesItAlwaysGot) {
    // The model and min cluster file of the sample as the trainer wrote them before the
    // long options existed (its build of then, the same command line).
    const RunResult r = run(kMt, {"-k", "64", "-i", "10", "-p", "2", "-m", path("min.txt"),
                                  kSample + "/train.txt", path("model.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fnv1a(slurp(path("model.txt"))), 0x79dc4637c25d6786ull);
    EXPECT_EQ(fnv1a(slurp(path("min.txt"))), 0x82c4c308ac7e4bd4ull);
    EXPECT_EQ(r.out.find("\tinit"), std::string::npos);  // no echo of options not given
}

TEST_F(TrainOptionsCli, PlantedBlobsFoundAndNoWordLeftEmpty) {
    std::string text;
    std::vector<float> rows;
    int n = 0;
    planted(text, rows, n);
    const std::string data = write("blobs.txt", text);
    // Seeded random draws land several seeds on the 120 copies of blob 0: identical
    // centres, of which all but the first keep no member and stay where they are.
    RunResult r = run(kMt, {"-k", "8", "-i", "20", "--seed=3", data, path("kept.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(model_rows(path("kept.txt")).size(), std::size_t(kBlobs))
        << "the seeds no longer meet the duplicates: choose another --seed";
    // Repaired, and with k-means||, every blob gets its own centre at its mean.
    for (const std::vector<std::string>& how :
         {std::vector<std::string>{"--seed=3", "--empty=split"},
          std::vector<std::string>{"--init=kmeans++", "--seed=3"},
          std::vector<std::string>{"--init=kmeans++", "--seed=11", "--empty=split"}}) {
        std::vector<std::string> args = {"-k", "8", "-i", "20", "--labels=" + path("l.npy")};
        args.insert(args.end(), how.begin(), how.end());
        args.insert(args.end(), {data, path("m.txt")});
        r = run(kMt, args);
        ASSERT_EQ(r.status, 0) << how[0] << " " << how[1] << r.err;
        EXPECT_EQ(model_rows(path("m.txt")), blob_centres()) << how[0] << " " << how[1];
        // The labels: the nearest of the written centres, by the definition.
        std::istringstream in(slurp(path("m.txt")));
        int k = 0, d = 0;
        in >> k >> d;
        std::vector<float> centres(std::size_t(k) * std::size_t(d));
        for (float& v : centres) in >> v;
        EXPECT_EQ(npy_ints(slurp(path("l.npy")), n), nearest_centres(rows, n, centres, k, d));
    }
}

TEST_F(TrainOptionsCli, SameBytesWhateverThreadsBlocksAndSearchVariant) {
    const std::string data = kSample + "/train.txt";
    const std::vector<std::string> options = {
        "-k",           "24",        "-i", "6", "--init=kmeans++", "--seed=7", "--empty=split",
        "--restarts=2", "--tol=1e-4"};
    std::string model, labels, transcript;
    int runs = 0;
    for (const auto& [program, extra] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{
             {kMt, {"-p", "2"}}, {kMt, {"-p", "1", "-b", "333"}}, {kSt, {"-b", "1000"}}}) {
        std::vector<std::string> args = options;
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"--labels=" + path("l.txt"), data, path("m.txt")});
        const RunResult r = run(program, args);
        ASSERT_EQ(r.status, 0) << r.err;
        if (runs++ == 0) {
            model = slurp(path("m.txt"));
            labels = slurp(path("l.txt"));
            EXPECT_NE(r.out.find("Restart 1 (seed 8)"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("Kept restart "), std::string::npos) << r.out;
            EXPECT_EQ(labels.substr(0, 5), "2956\n");
        } else {
            EXPECT_TRUE(slurp(path("m.txt")) == model) << args[9] << " " << args[10];
            EXPECT_TRUE(slurp(path("l.txt")) == labels) << args[9] << " " << args[10];
        }
    }
}

TEST_F(TrainOptionsCli, ResumedFromItsModelAsIfNeverStopped) {
    // Five steps in one run, or three then two from the exact .npy model of the three:
    // the same centres, to the bit.
    const std::string data = kSample + "/train.txt";
    const std::vector<std::string> common = {"-k", "12", "--seed=5", "-p", "2"};
    auto train = [&](const std::string& iterations, const std::string& model,
                     const std::string& init) {
        std::vector<std::string> args = common;
        args.insert(args.end(), {"-i", iterations});
        if (!init.empty()) args.push_back("--init=" + init);
        args.insert(args.end(), {data, path(model)});
        const RunResult r = run(kMt, args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    };
    const RunResult whole = train("5", "five.npy", "");
    train("3", "three.npy", "");
    const RunResult resumed = train("2", "resumed.npy", path("three.npy"));
    EXPECT_TRUE(slurp(path("five.npy")) == slurp(path("resumed.npy")));
    EXPECT_NE(resumed.out.find("\tinit: " + path("three.npy") + "\n"), std::string::npos);
    // The last distortions agree too.
    EXPECT_EQ(whole.out.substr(whole.out.rfind("distorion = ")),
              resumed.out.substr(resumed.out.rfind("distorion = ")));
}

TEST_F(TrainOptionsCli, HelpQuietAndRefusedValues) {
    RunResult r = run(kMt, {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Use: " + kMt + " [OPTION] <data file> <model file>\n", 0), 0u);
    EXPECT_NE(r.out.find("--init=random|kmeans++|<model file>"), std::string::npos);

    r = run(kMt, {"-k", "8", "-i", "2", "--quiet", kSample + "/train.txt", path("m.txt")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "K-mean finish !\n");

    const std::string data = kSample + "/train.txt";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"--empty=drop", "Error: --empty=drop: keep or split.\n"},
        {"--restarts=0", "Error: --restarts=0: at least 1.\n"},
        {"--tol=-1", "Error: --tol=-1: a number at least 0.\n"},
        {"--seed=x7", "Error: --seed=x7: a whole number from 0 to 2^64 - 1.\n"},
    };
    for (const auto& [option, message] : refused) {
        r = run(kMt, {"-k", "8", option, data, path("refused.txt")});
        EXPECT_EQ(r.status, 1) << option;
        EXPECT_EQ(r.err, message) << option;
        EXPECT_FALSE(exists(path("refused.txt"))) << option;
    }
    r = run(kMt, {"-k", "8", data, path("m.txt"), "--init"});  // no value: a usage error
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Unknown option --\nUse: ", 0), 0u) << r.err;
}

}  // namespace
