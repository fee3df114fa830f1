// One training iteration over a data matrix of more than 2^31 floats: every offset
// past that point must be formed in 64 bits, in the search and in the accumulation.
// Opt-in (label `slow`): each holds about 9 GB, and the .bvecs case writes 2.2 GB to /tmp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "data_file.h"
#include "kmeans.h"

using namespace kmeans;

TEST(Large, TrainsRowsPastTwoToThe31Floats) {
    const int n = 17000000;
    const int d = 128;
    const std::size_t stride = d + 1;
    ASSERT_GT(std::size_t(n) * stride, std::size_t(1) << 31);
    std::unique_ptr<float[]> data(new float[std::size_t(n) * stride]);
    // Even rows sit near 10, odd rows near 200; each row also carries i % 7, so a row
    // read at a wrong offset would land in the wrong sums.
    double expected[2][2] = {{0, 0}, {0, 0}};  // per cluster: sum of values, count
    for (int i = 0; i < n; ++i) {
        float* row = data.get() + std::size_t(i) * stride;
        const float v = float((i % 2 ? 200 : 10) + i % 7);
        for (int j = 0; j < d; ++j) row[j] = v;
        row[d] = -0.5f;
        expected[i % 2][0] += v;
        expected[i % 2][1] += 1;
    }
    const std::string model = "/tmp/kmeans_large_model_" + std::to_string(getpid());
    {
        std::ofstream out(model);
        out << "2 " << d;
        for (int c = 0; c < 2; ++c)
            for (int j = 0; j < d; ++j) out << ' ' << (c ? 200 : 10);
    }
    KMeans m;
    ASSERT_EQ(m.readModel(model.c_str()), ReadStatus::ok);
    std::remove(model.c_str());
    m.setData(data.get(), n, d);
    std::unique_ptr<int[]> nearest(new int[std::size_t(n)]);
    KMeans::nb_threads = 2;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m.run(1, nearest.get(), 1 << 20));
    testing::internal::GetCapturedStdout();
    const int firstPast = int((std::size_t(1) << 31) / stride);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(nearest[i], i % 2)
            << "row " << i << (i >= firstPast ? " (past 2^31 floats)" : "");
    for (int c = 0; c < 2; ++c)
        for (int j = 0; j < d; ++j)
            EXPECT_NEAR(m.centers[c * stride + j], expected[c][0] / expected[c][1], 1e-4);
}

// The same size read from a .bvecs file: the record and cell offsets past 2^31 must be
// 64-bit in every fill thread. Row i holds (i * 31 + j) % 256 in column j.
TEST(Large, ReadsBvecsPastTwoToThe31Floats) {
    const int n = 17000000;
    const int d = 128;
    const std::size_t stride = d + 1;
    const std::string path = "/tmp/kmeans_large_" + std::to_string(getpid()) + ".bvecs";
    {
        std::unique_ptr<unsigned char[]> record(new unsigned char[4 + d]);
        const std::int32_t dim = d;
        std::memcpy(record.get(), &dim, 4);
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < d; ++j) record[4 + j] = (unsigned char)((i * 31u + j) % 256);
            ASSERT_EQ(std::fwrite(record.get(), 1, 4 + d, out), std::size_t(4 + d));
        }
        ASSERT_EQ(std::fclose(out), 0);
    }
    DataFile file;
    int rows = 0;
    int dim = 0;
    float* cells = nullptr;
    ASSERT_EQ(file.open(path.c_str()), ReadStatus::ok);
    ASSERT_EQ(file.readHeader(rows, dim), ReadStatus::ok);
    ASSERT_EQ(rows, n);
    ASSERT_EQ(dim, d);
    ASSERT_EQ(file.readBody(n, d, 2, &cells), ReadStatus::ok);
    std::unique_ptr<float[]> data(cells);
    file.close();
    std::remove(path.c_str());
    const int firstPast = int((std::size_t(1) << 31) / stride);
    for (int i = 0; i < n; ++i) {
        const float* row = data.get() + std::size_t(i) * stride;
        for (int j = 0; j < d; ++j)
            ASSERT_EQ(row[j], float((i * 31u + j) % 256))
                << "row " << i << " column " << j << (i >= firstPast ? " (past 2^31 floats)" : "");
        ASSERT_EQ(row[d], -0.5f) << "row " << i;
    }
}
