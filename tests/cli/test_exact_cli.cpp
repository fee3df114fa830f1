// End-to-end runs on data where float scores alone go wrong (far from zero, near the
// top of the float range), and across BLAS libraries: every nearest centre is the
// exact one, the distortion is a true sum of squares, and the files are the same
// bytes whatever library computes the product.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli_util.h"
#include "support/exact_mean.h"
#include "support/mask_times.h"
#include "support/nearest_centre.h"
#include "support/printed_distortions.h"
#include "support/temp_dir.h"

namespace {

const std::string kMt = KMEANS_MT;
const std::string kSt = KMEANS_ST;
const std::string kAssign = ASSIGN;
const std::string kSample = SAMPLE_DIR;

struct Rows {
    int n = 0;
    int d = 0;
    std::vector<float> v;  // the values as the programs read them
    std::string text;      // the data file
};

Rows make_rows(int d, const std::vector<std::string>& values) {
    Rows r;
    r.d = d;
    r.n = int(values.size()) / d;
    r.text = std::to_string(r.n) + " " + std::to_string(d) + "\n";
    for (std::size_t i = 0; i < values.size(); ++i) {
        r.v.push_back(std::stof(values[i]));
        r.text += values[i] + ((i + 1) % std::size_t(d) == 0 ? "\n" : " ");
    }
    return r;
}

template <typename T = int>
std::vector<T> read_ints(const std::string& text) {
    std::istringstream in(text);
    std::vector<T> out;
    T v;
    while (in >> v) out.push_back(v);
    return out;
}

// Summed squared distance of the rows to their clusters' means, each mean rounded
// to float as a model stores it.
double direct_distortion(const Rows& r, const std::vector<int>& cluster, int k) {
    std::vector<double> sum(std::size_t(k) * r.d, 0.0);
    std::vector<int> count(std::size_t(k), 0);
    for (int i = 0; i < r.n; ++i) {
        count[std::size_t(cluster[std::size_t(i)])]++;
        for (int t = 0; t < r.d; ++t)
            sum[std::size_t(cluster[std::size_t(i)]) * r.d + t] += r.v[std::size_t(i) * r.d + t];
    }
    double total = 0;
    for (int i = 0; i < r.n; ++i) {
        const int c = cluster[std::size_t(i)];
        for (int t = 0; t < r.d; ++t) {
            const double mean =
                double(float(sum[std::size_t(c) * r.d + t] / count[std::size_t(c)]));
            const double diff = r.v[std::size_t(i) * r.d + t] - mean;
            total += diff * diff;
        }
    }
    return total;
}

using ExactCli = TempDirTest;

// Trains to the end; every printed distortion is >= 0, and the last one is within
// 1e-6 of the direct sum over the min cluster file's clusters (a run that stops
// before the criterion printed, last, the distortion of that same assignment).
void expect_true_distortion(const RunResult& r, const Rows& rows, const std::string& minFile, int k,
                            const std::string& label) {
    ASSERT_EQ(r.status, 0) << label << r.err;
    const std::vector<double> printed = printed_distortions(r.out);
    ASSERT_FALSE(printed.empty()) << label;
    for (double v : printed) EXPECT_GE(v, 0.0) << label;
    ASSERT_NE(r.out.find("Stop before criteron."), std::string::npos) << label;
    std::vector<int> min = read_ints(slurp(minFile));
    ASSERT_EQ(min.size(), std::size_t(rows.n) + 1) << label;
    min.erase(min.begin());
    const double direct = direct_distortion(rows, min, k);
    EXPECT_NEAR(printed.back(), direct, 1e-6 * direct) << label;
}

TEST_F(ExactCli, DataFarFromZeroAndNearTheFloatRange) {
    // Two points per group at 10^4, a hair apart; six 1-d rows near 1000; rows at
    // +-2e19 (norms beyond the float range) and near +-3.3e38. `groups` names each
    // row's group: the min cluster file must split the rows the same way.
    struct Case {
        Rows rows;
        std::string groups;
    };
    const std::vector<Case> cases = {
        {make_rows(2, {"10000.1", "10000.1", "10000.9", "10000.9", "10000.2", "10000", "10000.8",
                       "10001"}),
         "abab"},
        {make_rows(1, {"1000.0", "1000.2", "1000.4", "1000.8", "1001.0", "1001.2"}), "aaabbb"},
        {make_rows(1, {"2e19", "-2e19", "2.1e19", "-2.1e19", "1.9e19"}), "ababa"},
        {make_rows(1, {"3.3e38", "-3.3e38", "3.2e38", "-3.1e38", "3.0e38"}), "ababa"},
    };
    for (const Case& c : cases) {
        spit(path("data.txt"), c.rows.text);
        for (const std::string& prog : {kMt, kSt}) {
            const RunResult r =
                run(prog, {"-k", "2", "-m", path("min.txt"), path("data.txt"), path("model.txt")});
            expect_true_distortion(r, c.rows, path("min.txt"), 2, c.groups);
            const std::vector<int> min = read_ints(slurp(path("min.txt")));
            for (std::size_t i = 0; i < c.groups.size(); ++i)
                EXPECT_EQ(min[i + 1] == min[1], c.groups[i] == c.groups[0])
                    << c.groups << " row " << i;
        }
    }
}

// One value at 1e15 among values in [0, 1): the model file holds every centre as
// its members' exact mean (six digits, as the writer prints a float), and the last
// distortion is that of the written assignment, for both trainers.
TEST_F(ExactCli, OneHugeValueLeavesEveryCentreTheMean) {
    const int n = 2000;
    const int d = 4;
    const int k = 5;
    std::mt19937 gen(1);
    std::vector<std::string> values;
    for (int i = 0; i < n * d; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "%.9g",
                      i == 0 ? 1e15 : std::ldexp(double(gen() >> 8), -24));
        values.push_back(text);
    }
    const Rows rows = make_rows(d, values);
    spit(path("data.txt"), rows.text);
    for (const std::string& prog : {kMt, kSt}) {
        const RunResult r = run(prog, {"-k", std::to_string(k), "-i", "5", "-p", "2", "-m",
                                       path("min.txt"), path("data.txt"), path("model.txt")});
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<int> min = read_ints(slurp(path("min.txt")));
        min.erase(min.begin());
        std::ostringstream expected;
        expected << k << " " << d << "\n";
        long double direct = 0;
        for (int c = 0; c < k; ++c) {
            for (int t = 0; t < d; ++t) {
                std::vector<float> members;
                for (int i = 0; i < n; ++i)
                    if (min[std::size_t(i)] == c) members.push_back(rows.v[std::size_t(i) * d + t]);
                ASSERT_FALSE(members.empty()) << prog << " cluster " << c;
                const float mean = oracle_mean(members);
                for (float v : members) direct += ((long double)v - mean) * ((long double)v - mean);
                expected << mean << (t + 1 < d ? " " : "");
            }
            if (c + 1 < k) expected << "\n";
        }
        EXPECT_EQ(slurp(path("model.txt")), expected.str()) << prog;
        EXPECT_NEAR(printed_distortions(r.out).back(), double(direct), 1e-6 * double(direct));
    }
}

// Two groups 1.0 apart at 3000, values on a grid of 1/4 (six significant digits,
// so the model file holds the seeds exactly): with -i 0 every row goes to its exact
// nearest seed, and assign with that model counts the same.
TEST_F(ExactCli, NearestSeedsAndCountsAtAnOffset) {
    std::mt19937 gen(21);
    std::uniform_int_distribution<int> quarter(-2, 2);
    const int n = 400;
    const int d = 4;
    const int k = 8;
    std::vector<std::string> values;
    for (int i = 0; i < n; ++i)
        for (int t = 0; t < d; ++t)
            values.push_back(std::to_string(3000.0 + (i % 2) + 0.25 * quarter(gen)).substr(0, 7));
    const Rows rows = make_rows(d, values);
    spit(path("data.txt"), rows.text);
    const RunResult r = run(kMt, {"-k", std::to_string(k), "-i", "0", "-m", path("min.txt"),
                                  path("data.txt"), path("model.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<float> model = read_ints<float>(slurp(path("model.txt")));
    ASSERT_EQ(model.size(), std::size_t(2 + k * d));
    model.erase(model.begin(), model.begin() + 2);
    const std::vector<int> ref = nearest_centres(rows.v, rows.n, model, k, d);
    std::vector<int> min = read_ints(slurp(path("min.txt")));
    min.erase(min.begin());
    EXPECT_EQ(min, ref);

    // The same rows as one type-0 descriptor file ("d n", then the rows).
    std::string sift = std::to_string(d) + " " + std::to_string(n) + "\n";
    sift += rows.text.substr(rows.text.find('\n') + 1);
    spit(path("rows.txt"), sift);
    spit(path("list.txt"), "1\n" + path("rows.txt") + "\n");
    const RunResult a =
        run(kAssign, {"-b", "37", path("list.txt"), path("model.txt"), path("result.txt")});
    ASSERT_EQ(a.status, 0) << a.err;
    std::vector<int> counts(std::size_t(k), 0);
    for (int c : ref) counts[std::size_t(c)]++;
    std::string line = "1 " + std::to_string(k) + "\n";
    for (int j = 0; j < k; ++j)
        line += std::to_string(counts[std::size_t(j)]) + (j + 1 < k ? " " : "\n");
    EXPECT_EQ(slurp(path("result.txt")), line);
}

std::string eighths(int v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", v / 8.0);
    return text;
}

// Rows that tie exactly between two seeds: k seeds in close pairs (2q, 2q+1), and
// every other row the exact midpoint of a pair. Values are multiples of 1/16 up to
// 10^3, so the products round in float, and the lower index of each pair must win.
// The seed indices depend on n and k only: a first run on rows that name their
// own index tells which they are.
Rows tied_rows(const std::string& dir, int n, int d, int k) {
    std::vector<std::string> ids;
    for (int i = 0; i < n; ++i)
        for (int t = 0; t < d; ++t) ids.push_back(std::to_string(i));
    spit(dir + "/ids.txt", make_rows(d, ids).text);
    run(KMEANS_MT, {"-k", std::to_string(k), "-i", "0", dir + "/ids.txt", dir + "/ids.model"});
    std::vector<int> model = read_ints(slurp(dir + "/ids.model"));
    std::vector<int> seeds;
    for (int j = 0; j < k; ++j) seeds.push_back(model[std::size_t(2 + j * d)]);
    std::mt19937 gen(99);
    std::uniform_int_distribution<int> far(-7999, 7999);
    std::uniform_int_distribution<int> near(-8, 8);
    std::vector<std::vector<int>> seed(static_cast<std::size_t>(k),
                                       std::vector<int>(static_cast<std::size_t>(d)));
    for (int j = 0; j < k; j += 2)
        for (int t = 0; t < d; ++t) {
            seed[std::size_t(j)][std::size_t(t)] = far(gen);
            if (j + 1 < k)
                seed[std::size_t(j + 1)][std::size_t(t)] =
                    seed[std::size_t(j)][std::size_t(t)] + near(gen);
        }
    std::vector<std::string> values(std::size_t(n) * d);
    std::vector<bool> isSeed(std::size_t(n), false);
    for (int j = 0; j < k; ++j) {
        isSeed[std::size_t(seeds[std::size_t(j)])] = true;
        for (int t = 0; t < d; ++t)
            values[std::size_t(seeds[std::size_t(j)]) * d + t] =
                eighths(seed[std::size_t(j)][std::size_t(t)]);
    }
    for (int i = 0; i < n; ++i) {
        if (isSeed[std::size_t(i)]) continue;
        const int pair = 2 * int(gen() % std::uint32_t(k / 2));
        for (int t = 0; t < d; ++t) {
            const int sum = seed[std::size_t(pair)][std::size_t(t)] +
                            seed[std::size_t(pair + 1)][std::size_t(t)];
            char text[32];
            std::snprintf(text, sizeof text, "%.4f", sum / 16.0);
            values[std::size_t(i) * d + t] = text;
        }
    }
    return make_rows(d, values);
}

// The reference BLAS rounds the product otherwise than OpenBLAS (the probe shows
// it), yet the trainer built on it writes the same model and min cluster bytes: on
// exact ties, on non-integer data and on the real sample.
#ifdef KMEANS_MT_OTHER
// The score product through oneDNN or OpenBLAS: the same model, min cluster, result
// and region bytes, on the sample (integers) and on data that are not integers.
TEST_F(ExactCli, SameBytesWithEitherProductLibrary) {
    std::mt19937 gen(12);
    std::normal_distribution<float> g(0.f, 1.f);
    std::string rows;
    for (int i = 0; i < 1500; ++i) {
        for (int j = 0; j < 24; ++j) rows += std::to_string(g(gen) * 2.7f + float(i % 5)) + " ";
        rows += "\n";
    }
    spit(path("random.txt"), "1500 24\n" + rows);
    spit(path("random_d.txt"), "24 1500\n" + rows);
    spit(path("list.txt"), "2 " + path("random_d.txt") + " " + path("random_d.txt"));
    struct Case {
        std::string data, k, list, type;
    };
    for (const Case& c : {Case{kSample + "/train.txt", "64", "list_type1.txt", "1"},
                          Case{kSample + "/train.txt", "64", "list_type3.txt", "3"},
                          Case{path("random.txt"), "45", path("list.txt"), "0"}}) {
        std::string bytes[2];
        for (int lib = 0; lib < 2; ++lib) {
            const std::string trainer = lib == 0 ? kMt : KMEANS_MT_OTHER;
            const std::string assigner = lib == 0 ? kAssign : ASSIGN_OTHER;
            RunResult r = run(trainer, {"-k", c.k, "-i", "6", "-p", "2", "-m", path("min.txt"),
                                        c.data, path("model.txt")});
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<std::string> args = {"-t", c.type, "-p", "2", "-b", "700"};
            if (c.type != "0") args.insert(args.end(), {"-d", path("regions")});
            args.insert(args.end(), {c.list, path("model.txt"), path("result.txt")});
            r = run(assigner, args, kSample);
            ASSERT_EQ(r.status, 0) << r.err;
            bytes[lib] = slurp(path("model.txt")) + "|" + slurp(path("min.txt")) + "|" +
                         slurp(path("result.txt")) + "|" +
                         (c.type != "0" ? slurp(path("regions")) : std::string());
        }
        EXPECT_TRUE(bytes[0] == bytes[1]) << c.data << " type " << c.type;
    }
}
#endif

// The filter's precision changes no byte: float, bf16 (the CPU's bf16 unit, or its
// emulation where there is none) and the emulation give the same model, min cluster
// file, assign counts and printed distortions, on the real sample, non-integer data
// and data far from zero.
TEST_F(ExactCli, SameBytesWithEitherFilter) {
    std::mt19937 gen(31);
    std::normal_distribution<float> g(0.f, 1.f);
    std::string spread = "1500 24\n", far = "1200 16\n";
    for (int i = 0; i < 1500; ++i) {
        for (int j = 0; j < 24; ++j) spread += std::to_string(g(gen) * 2.7f + float(i % 5)) + " ";
        spread += "\n";
    }
    for (int i = 0; i < 1200; ++i) {
        for (int j = 0; j < 16; ++j) far += std::to_string(3000.f + g(gen) + float(i % 3)) + " ";
        far += "\n";
    }
    spit(path("spread.txt"), spread);
    spit(path("far.txt"), far);
    struct Case {
        std::string program, data, k;
    };
    const char* filters[3] = {"float", "bf16", "bf16-emulated"};
    const char* saved = std::getenv("KMEANS_FILTER");
    const std::string before = saved != nullptr ? saved : "";
    for (const Case& c : {Case{kMt, kSample + "/train.txt", "64"},
                          Case{kSt, path("spread.txt"), "45"}, Case{kMt, path("far.txt"), "30"}}) {
        std::string bytes[3];
        for (int f = 0; f < 3; ++f) {
            setenv("KMEANS_FILTER", filters[f], 1);
            RunResult r = run(c.program, {"-k", c.k, "-i", "6", "-p", "2", "-m", path("min.txt"),
                                          c.data, path("model.txt")});
            ASSERT_EQ(r.status, 0) << r.err;
            bytes[f] =
                mask_times(r.out) + "|" + slurp(path("model.txt")) + "|" + slurp(path("min.txt"));
            if (c.data == kSample + "/train.txt") {
                r = run(kAssign,
                        {"-t", "1", "-p", "2", "-b", "700", "list_type1.txt", path("model.txt"),
                         path("result.txt")},
                        kSample);
                ASSERT_EQ(r.status, 0) << r.err;
                bytes[f] += "|" + mask_times(r.out) + "|" + slurp(path("result.txt"));
            }
        }
        for (int f = 1; f < 3; ++f) {
            const std::string& a = bytes[0];
            const std::string& b = bytes[f];
            std::size_t at = 0;
            while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
            EXPECT_TRUE(a == b) << c.data << ": float and " << filters[f] << " differ at byte "
                                << at << ": '" << a.substr(at > 40 ? at - 40 : 0, 80) << "' / '"
                                << b.substr(at > 40 ? at - 40 : 0, 80) << "'";
        }
    }
    if (saved != nullptr)
        setenv("KMEANS_FILTER", before.c_str(), 1);
    else
        unsetenv("KMEANS_FILTER");
}

#ifdef KMEANS_MT_REFBLAS
// The trainer on the reference BLAS, when the build has it (libblas-dev).
TEST_F(ExactCli, SameBytesUnderAnotherBlas) {
    const std::string kMtRefBlas = KMEANS_MT_REFBLAS;
    const RunResult openblas = run(BLAS_PROBE, {});
    const RunResult reference = run(BLAS_PROBE_REFBLAS, {});
    ASSERT_EQ(openblas.status, 0);
    ASSERT_EQ(reference.status, 0);
    EXPECT_NE(openblas.out, reference.out)
        << "the two libraries round alike: the check proves nothing";

    const int n = 1500;
    const int k = 40;
    const Rows tied = tied_rows(dir_, n, 32, k);
    spit(path("tied.txt"), tied.text);
    std::mt19937 gen(8);
    std::normal_distribution<float> g(0.f, 1.f);
    std::string text = "1200 20\n";
    for (int i = 0; i < 1200; ++i) {
        for (int j = 0; j < 20; ++j) text += std::to_string(g(gen) * 3.1f + float(i % 7)) + " ";
        text += "\n";
    }
    spit(path("random.txt"), text);
    struct Run {
        std::string data, k, i;
    };
    for (const Run& c :
         {Run{path("tied.txt"), std::to_string(k), "0"},
          Run{path("tied.txt"), std::to_string(k), "3"}, Run{path("random.txt"), "45", "8"},
          Run{kSample + "/train.txt", "64", "8"}}) {
        std::string refModel;
        std::string refMin;
        for (const auto& [prog, p] : {std::pair<std::string, std::string>{kMt, "2"},
                                      {kMtRefBlas, "2"},
                                      {kMtRefBlas, "3"},
                                      {kSt, "1"}}) {
            const RunResult r = run(prog, {"-k", c.k, "-i", c.i, "-p", p, "-b", "301", "-m",
                                           path("min.txt"), c.data, path("model.txt")});
            ASSERT_EQ(r.status, 0) << r.err;
            if (refModel.empty()) {
                refModel = slurp(path("model.txt"));
                refMin = slurp(path("min.txt"));
            }
            const std::string label = c.data + " -i " + c.i + " " + prog + " -p " + p;
            EXPECT_EQ(slurp(path("model.txt")), refModel) << label;
            EXPECT_EQ(slurp(path("min.txt")), refMin) << label;
        }
        if (c.i == "0") {
            // Every row sits on its seed or ties between a pair: the even seed wins.
            std::vector<int> min = read_ints(refMin);
            min.erase(min.begin());
            std::vector<float> seeds = read_ints<float>(refModel);
            seeds.erase(seeds.begin(), seeds.begin() + 2);
            EXPECT_EQ(min, nearest_centres(tied.v, tied.n, seeds, k, tied.d));
            long odd = 0;
            for (int c2 : min) odd += c2 % 2;
            EXPECT_EQ(odd, k / 2) << "only the odd seeds themselves go to an odd centre";
        }
    }
}
#endif

}  // namespace
