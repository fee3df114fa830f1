// One training iteration over a data matrix of more than 2^31 floats: every offset
// past that point must be formed in 64 bits, in the search and in the accumulation.
// Opt-in (label `slow`): it holds about 9 GB.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "kmeans.h"

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
