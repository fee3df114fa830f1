// The model object: model file bytes and read-back, the update step and its
// distortion, the training loop's output, stop rule and block arithmetic, and a
// short run against a reference Lloyd loop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kmeans.h"
#include "sampler.h"
#include "support/mask_times.h"
#include "support/nearest_centre.h"
#include "support/printed_distortions.h"
#include "support/temp_dir.h"

using namespace kmeans;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A fresh directory per test, and two search threads.
class EngineTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        savedThreads_ = KMeans::nb_threads;
        KMeans::nb_threads = 2;
    }
    void TearDown() override {
        KMeans::nb_threads = savedThreads_;
        TempDirTest::TearDown();
    }
    int savedThreads_ = 0;
};

// Fills a model with k centres of dimension d (norm column computed) and zero
// accumulators, as readModel or seeding would leave it.
void set_centres(KMeans& m, int k, int d, const std::vector<float>& values) {
    std::ostringstream text;
    text << k << ' ' << d;
    for (float v : values) text << ' ' << v;
    char p[] = "/tmp/kmeans_set_centres_XXXXXX";
    const int fd = mkstemp(p);
    ASSERT_GE(fd, 0);
    close(fd);
    write_file(p, text.str());
    EXPECT_EQ(m.readModel(p), ReadStatus::ok);
    std::remove(p);
}

using ModelFile = EngineTest;

TEST_F(ModelFile, WritesSixSignificantDigitsWithoutFinalNewline) {
    KMeans m;
    set_centres(m, 2, 3, {0.5f, 1.f, -2.f, 0.f, 0.f, 0.f});
    float* c1 = m.centers + 4;
    c1[0] = 1.0f / 3.0f;
    c1[1] = 1e-07f;
    c1[2] = 123456789.f;
    ASSERT_TRUE(m.writeModel(path("m.txt").c_str()));
    EXPECT_EQ(read_file(path("m.txt")), "2 3\n0.5 1 -2\n0.333333 1e-07 1.23457e+08");

    c1[0] = 100000.f;
    c1[1] = 1000000.f;
    c1[2] = -0.0f;
    ASSERT_TRUE(m.writeModel(path("m.txt").c_str()));
    EXPECT_EQ(read_file(path("m.txt")), "2 3\n0.5 1 -2\n100000 1e+06 -0");

    // %g's edges: where it switches notation, rounds up a digit, and the subnormals.
    set_centres(m, 2, 3, {999999.5f, 0.0001f, 1e-05f, 1e-40f, -3.4028235e38f, 9.9999949e-05f});
    ASSERT_TRUE(m.writeModel(path("m.txt").c_str()));
    EXPECT_EQ(read_file(path("m.txt")),
              "2 3\n1e+06 0.0001 1e-05\n9.99995e-41 -3.40282e+38 9.99999e-05");

    KMeans empty;
    empty.d = 4;
    ASSERT_TRUE(empty.writeModel(path("e.txt").c_str()));
    EXPECT_EQ(read_file(path("e.txt")), "0 4");
}

TEST_F(ModelFile, WriteFailureIsReported) {
    KMeans m;
    set_centres(m, 1, 2, {1.f, 2.f});
    EXPECT_FALSE(m.writeModel(path("missing/dir/m.txt").c_str()));
    EXPECT_FALSE(m.writeModel("/dev/full"));
}

TEST_F(ModelFile, ReadRebuildsNormsWhateverTheWhitespace) {
    for (const std::string& text :
         {std::string("2 3\n0.5 1 -2\n0.333333 1e-07 1.23457e+08"),
          std::string("2\t3 0.5  1\n\n-2\t0.333333\n1e-07 1.23457e+08\n\n")}) {
        write_file(path("m.txt"), text);
        KMeans m;
        ASSERT_EQ(m.readModel(path("m.txt").c_str()), ReadStatus::ok);
        EXPECT_EQ(m.k, 2);
        EXPECT_EQ(m.d, 3);
        EXPECT_EQ(m.centers[0], 0.5f);
        EXPECT_EQ(m.centers[2], -2.f);
        EXPECT_EQ(m.centers[3], 5.25f);
        EXPECT_EQ(m.centers[4], 0.333333f);
        const double n1 = double(0.333333f) * 0.333333f + double(1e-07f) * 1e-07f +
                          double(1.23457e+08f) * 1.23457e+08f;
        EXPECT_FLOAT_EQ(m.centers[7], float(n1));
        for (int i = 0; i < 6; ++i) EXPECT_EQ(m.sums[i], 0.f);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(m.sqnorms[i], 0.f);
            EXPECT_EQ(m.counts[i], 0);
        }
    }
}

TEST_F(ModelFile, RefusesWhatIsNotAModel) {
    KMeans fresh;
    EXPECT_EQ(fresh.readModel(path("none.txt").c_str()), ReadStatus::cannot_open);
    EXPECT_EQ(fresh.k, 0);
    EXPECT_EQ(fresh.d, 0);
    for (const std::string& text :
         {std::string(""), std::string("2"), std::string("x 3"), std::string("0 3"),
          std::string("2 0"), std::string("-1 3 1 2 3"), std::string("2 3\n1 2 3\n4 5"),
          std::string("1 2 1 nan"), std::string("1 2 1 1e50"), std::string("1 2 1 abc"),
          std::string("2000000000 2000000000 1 2"), std::string("1 1\n0x10"),
          std::string("1 2\n1 2junk")}) {
        write_file(path("bad.txt"), text);
        KMeans m;
        EXPECT_EQ(m.readModel(path("bad.txt").c_str()), ReadStatus::wrong_format) << text;
    }
}

TEST_F(ModelFile, WriteThenReadKeepsTheWrittenDigits) {
    std::mt19937 gen(5);
    std::normal_distribution<float> g(0.f, 100.f);
    std::vector<float> v(7 * 11);
    for (float& x : v) x = g(gen);
    KMeans a;
    set_centres(a, 7, 11, v);
    ASSERT_TRUE(a.writeModel(path("a.txt").c_str()));
    KMeans b;
    ASSERT_EQ(b.readModel(path("a.txt").c_str()), ReadStatus::ok);
    ASSERT_TRUE(b.writeModel(path("b.txt").c_str()));
    EXPECT_EQ(read_file(path("a.txt")), read_file(path("b.txt")));
}

TEST(Relocate, MovesNonEmptyCentresToTheMeanAndSumsTheirSpread) {
    KMeans m;
    set_centres(m, 3, 2, {9.f, 9.f, 7.f, -7.f, 1.f, 1.f});
    // Cluster 0: rows (1,2) and (3,6); cluster 1: empty; cluster 2: row (4,4).
    const float rows[] = {1, 2, -0.5f, 3, 6, -0.5f, 4, 4, -0.5f};
    m.add(rows, 0);
    m.add(rows + 3, 0);
    m.add(rows + 6, 2);
    const double dist = m.relocate();
    EXPECT_EQ(m.centers[0], 2.f);
    EXPECT_EQ(m.centers[1], 4.f);
    EXPECT_EQ(m.centers[2], 20.f);
    EXPECT_EQ(m.centers[3], 7.f);  // empty: centre and norm untouched
    EXPECT_EQ(m.centers[5], 98.f);
    EXPECT_EQ(m.centers[6], 4.f);
    EXPECT_EQ(m.centers[8], 32.f);
    // (1-2)^2 + (2-4)^2 + (3-2)^2 + (6-4)^2 = 10, cluster 2 adds 0.
    EXPECT_DOUBLE_EQ(dist, 10.0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(m.sums[i], 0.f);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(m.counts[i], 0);
    EXPECT_DOUBLE_EQ(m.relocate(), 0.0);  // nothing accumulated: nothing moves
    EXPECT_EQ(m.centers[0], 2.f);
}

// Rows laid out from integer vectors, column d = -0.5.
std::vector<float> augmented(const std::vector<float>& v, int d) {
    const std::size_t n = v.size() / d;
    std::vector<float> out(n * (d + 1));
    for (std::size_t i = 0; i < n; ++i) {
        for (int j = 0; j < d; ++j) out[i * (d + 1) + j] = v[i * d + j];
        out[i * (d + 1) + d] = -0.5f;
    }
    return out;
}

std::string mask_thread_lines(const std::string& s) {
    std::istringstream in(s);
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind("#thread = ", 0) != 0) out += line + "\n";
    return out;
}

using Training = EngineTest;

TEST_F(Training, NoIterationKeepsTheSeeds) {
    const int d = 2;
    const std::vector<float> x = {0, 0, 10, 10, 20, 20, 30, 30, 40, 40};
    const std::vector<float> rows = augmented(x, d);
    std::vector<int> nearest(5, -1);
    KMeans m;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m.run(rows.data(), 5, d, 2, 0, nearest.data(), 3));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Init ...\nAllocation finish!\nInit ... finished\nFinish normally.\n");
    EXPECT_EQ(nearest, std::vector<int>(5, -1));
    // The seeds are the rows drawn after srand(1000), in draw order.
    std::srand(1000);
    int seeds[2];
    Sampler::sample(5, seeds, 2, false, -1);
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(m.centers[c * 3], x[seeds[c] * 2]);
        EXPECT_EQ(m.centers[c * 3 + 2], 2 * x[seeds[c] * 2] * x[seeds[c] * 2]);
    }
}

TEST_F(Training, StopsWhenTheDistortionNoLongerDecreases) {
    // k = n, rows far apart: every row is its own cluster, distortion 0 twice.
    const int d = 3;
    const std::vector<float> x = {0, 0, 0, 100, 0, 0, 0, 100, 0, 0, 0, 100};
    const std::vector<float> rows = augmented(x, d);
    std::vector<int> nearest(4, -1);
    KMeans m;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m.run(rows.data(), 4, d, 4, 30, nearest.data(), 3));
    const std::string out = mask_times(mask_thread_lines(testing::internal::GetCapturedStdout()));
    const std::string pass =
        "nb blocks = 2\nBlock 0\nBlock size = 3\nTime for searching min clsuter: T\n"
        "Block 1\nBlock size = 1\nTime for searching min clsuter: T\nAssignment time = T\n"
        "Relocate cluster\nTime for relocating clusters = T\n";
    EXPECT_EQ(out, "Init ...\nAllocation finish!\nInit ... finished\n" + pass +
                       "Step [0] distorion = 0\n" + pass +
                       "Step [1] distorion = 0\nStop before criteron.\n");
    // Each row was assigned to the centre that is its own copy.
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < d; ++j) EXPECT_EQ(m.centers[nearest[i] * (d + 1) + j], x[i * d + j]);
}

// A plain Lloyd loop in double precision from the same seeds.
struct Reference {
    std::vector<double> centres;
    std::vector<double> distortions;
    std::vector<int> nearest;
};

Reference lloyd(const std::vector<float>& x, int n, int d, int k, int iters) {
    Reference r;
    std::srand(1000);
    std::vector<int> seeds(k);
    Sampler::sample(n, seeds.data(), k, false, -1);
    r.centres.resize(std::size_t(k) * d);
    for (int c = 0; c < k; ++c)
        for (int j = 0; j < d; ++j) r.centres[c * d + j] = x[seeds[c] * d + j];
    for (int it = 0; it < iters; ++it) {
        r.nearest = nearest_centres(x, n, r.centres, k, d);
        std::vector<double> sum(std::size_t(k) * d, 0);
        std::vector<int> count(k, 0);
        for (int i = 0; i < n; ++i) {
            count[r.nearest[i]]++;
            for (int j = 0; j < d; ++j) sum[r.nearest[i] * d + j] += x[i * d + j];
        }
        for (int c = 0; c < k; ++c)
            if (count[c])
                for (int j = 0; j < d; ++j) r.centres[c * d + j] = sum[c * d + j] / count[c];
        double dist = 0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < d; ++j) {
                const double diff = x[i * d + j] - r.centres[r.nearest[i] * d + j];
                dist += diff * diff;
            }
        r.distortions.push_back(dist);
    }
    return r;
}

TEST_F(Training, FollowsAReferenceLloydLoop) {
    // Four blobs of 64 small-integer points: means and distances stay exact enough
    // that the engine and the reference make the same choices.
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> noise(-3, 3);
    const int n = 256;
    const int d = 6;
    const int k = 5;
    std::vector<float> x(std::size_t(n) * d);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < d; ++j) x[i * d + j] = float((i % 4) * 40 * (j % 2) + noise(gen));
    const std::vector<float> rows = augmented(x, d);
    std::vector<int> nearest(n);
    KMeans m;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m.run(rows.data(), n, d, k, 4, nearest.data(), 50));
    const std::vector<double> printed = printed_distortions(testing::internal::GetCapturedStdout());
    const Reference ref = lloyd(x, n, d, k, 4);
    ASSERT_FALSE(printed.empty());
    for (std::size_t i = 0; i < printed.size(); ++i)
        EXPECT_NEAR(printed[i], ref.distortions[i], 1e-6 * ref.distortions[i] + 1e-3);
    const int iters = int(printed.size());
    const Reference last = lloyd(x, n, d, k, iters);
    EXPECT_EQ(nearest, last.nearest);
    for (int c = 0; c < k; ++c)
        for (int j = 0; j < d; ++j)
            EXPECT_NEAR(m.centers[c * (d + 1) + j], last.centres[c * d + j], 1e-4);
}

TEST_F(Training, BlockSizeAndThreadsDoNotChangeTheModel) {
    std::mt19937 gen(13);
    std::normal_distribution<float> g(0.f, 1.f);
    const int n = 611;
    const int d = 17;
    const int k = 23;
    std::vector<float> x(std::size_t(n) * d);
    for (float& v : x) v = g(gen) * 10.f + float(int(gen() % 5) * 7);
    const std::vector<float> rows = augmented(x, d);
    std::string reference;
    std::vector<int> refNearest;
    for (int threads : {1, 3, 8}) {
        for (int block : {1, 13, 96, 200, 611, 5000}) {
            KMeans::nb_threads = threads;
            std::vector<int> nearest(n);
            KMeans m;
            testing::internal::CaptureStdout();
            ASSERT_TRUE(m.run(rows.data(), n, d, k, 6, nearest.data(), block));
            testing::internal::GetCapturedStdout();
            ASSERT_TRUE(m.writeModel(path("m.txt").c_str()));
            const std::string model = read_file(path("m.txt"));
            if (reference.empty()) {
                reference = model;
                refNearest = nearest;
            }
            EXPECT_EQ(model, reference) << "threads " << threads << " block " << block;
            EXPECT_EQ(nearest, refNearest) << "threads " << threads << " block " << block;
        }
    }
}

using Lifecycle = EngineTest;

TEST_F(Lifecycle, RetrainingAndReadingReplaceTheArrays) {
    KMeans fresh;  // destroying an empty model releases nothing
    const auto centres = [](const KMeans& m) {
        return std::vector<float>(m.centers, m.centers + std::size_t(m.k) * (m.d + 1));
    };
    const std::vector<float> rows = augmented({1, 2, 3, 4, 5, 6, 7, 8}, 2);
    std::vector<int> nearest(5);
    KMeans once;  // k = 3 from the start
    KMeans m;     // k = 2, then k = 3: must end as `once`
    testing::internal::CaptureStdout();
    const bool trained = once.run(rows.data(), 4, 2, 3, 1, nearest.data(), 4) &&
                         m.run(rows.data(), 4, 2, 2, 1, nearest.data(), 4) &&
                         m.run(rows.data(), 4, 2, 3, 1, nearest.data(), 4);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(trained);
    EXPECT_EQ(m.k, 3);
    EXPECT_EQ(m.d, 2);
    EXPECT_EQ(centres(m), centres(once));

    // Another k and d read over it: four seeds of five integer rows (no iteration),
    // which the model file holds exactly.
    const std::vector<float> wide =
        augmented({3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3, 2, 3, 8, 4, 6, 2, 6, 4, 3}, 5);
    KMeans written;
    testing::internal::CaptureStdout();
    const bool seeded = written.run(wide.data(), 5, 5, 4, 0, nearest.data(), 5);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(seeded);
    ASSERT_TRUE(written.writeModel(path("model.txt").c_str()));
    m.readModel(path("model.txt").c_str());  // what it returns: see ModelFile
    EXPECT_EQ(m.k, 4);
    EXPECT_EQ(m.d, 5);
    EXPECT_EQ(centres(m), centres(written));

    const float* const kept = m.centers;
    m.setData(rows.data(), 4, 2);  // binds only: the centres stay as they were
    EXPECT_EQ(m.k, 4);
    EXPECT_EQ(m.d, 2);
    EXPECT_EQ(m.centers, kept);
}

}  // namespace
