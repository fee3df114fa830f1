// test_sift_io.cpp - region decomposition (known cases and a geometric oracle) and
// the three descriptor file readers: layouts, messages, console lines, refusals and
// the state each leaves to its caller.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "sift_io.h"
#include "support/temp_dir.h"

using namespace kmeans;

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct Shape {
    float a11, a12, a21, a22;
};

Shape shape_of(float a, float b, float c, std::string* err = nullptr) {
    Shape s{};
    CaptureStderr();
    decompose(a, b, c, s.a11, s.a12, s.a21, s.a22);
    const std::string e = GetCapturedStderr();
    if (err != nullptr) *err = e;
    return s;
}

const std::string kWrong = "Error: Wrong format file: '";

}  // namespace

TEST(Decompose, KnownShapes) {
    std::string err;
    Shape s = shape_of(2, 1, 2, &err);  // eigenvalues 3 and 1, axes along the diagonals
    EXPECT_NEAR(s.a11, 0.408248, 1e-6);
    EXPECT_NEAR(s.a12, 0.408248, 1e-6);
    EXPECT_NEAR(s.a21, -0.707107, 1e-6);
    EXPECT_NEAR(s.a22, 0.707107, 1e-6);
    EXPECT_EQ(err, "");

    s = shape_of(0.25f, 0, 1);  // diagonal: unit axes scaled by 1/sqrt(a), 1/sqrt(c)
    EXPECT_EQ(s.a11, 2.0f);
    EXPECT_EQ(s.a12, 0.0f);
    EXPECT_TRUE(s.a21 == 0.0f && std::signbit(s.a21));  // -0
    EXPECT_EQ(s.a22, 1.0f);

    // A b of zero and a tiny b give the same circle of radius 6.
    for (float b : {0.0f, 1e-30f}) {
        s = shape_of(1.0f / 36, b, 1.0f / 36);
        EXPECT_NEAR(s.a11, 6.0, 1e-5) << b;
        EXPECT_NEAR(s.a22, 6.0, 1e-5) << b;
        EXPECT_NEAR(s.a12, 0.0, 1e-5) << b;
        EXPECT_NEAR(s.a21, 0.0, 1e-5) << b;
    }
}

TEST(Decompose, ReportsMatricesThatAreNotPositiveDefinite) {
    std::string err;
    Shape s = shape_of(1, 2, 1, &err);  // eigenvalues 3 and -1
    EXPECT_EQ(err, "error: s1 = 3 - s2 = -1\n");
    EXPECT_NEAR(s.a11, 0.408248, 1e-6);
    EXPECT_NEAR(s.a12, 0.408248, 1e-6);
    EXPECT_TRUE(std::isnan(s.a21) && std::isnan(s.a22));

    s = shape_of(0, 0, 1, &err);
    EXPECT_EQ(err, "error: s1 = 0 - s2 = 1\n");
    EXPECT_TRUE(std::isinf(s.a11));
    EXPECT_TRUE(std::isnan(s.a12));  // 0 * inf
    EXPECT_TRUE(s.a21 == 0.0f && std::signbit(s.a21));
    EXPECT_EQ(s.a22, 1.0f);

    shape_of(0.1f, 0, -0.3f, &err);  // doubles of the floats, printed with 6 digits
    EXPECT_EQ(err, "error: s1 = 0.1 - s2 = -0.3\n");

    s = shape_of(1, NAN, 1, &err);  // NaN eigenvalues compare false: no message
    EXPECT_EQ(err, "");
    EXPECT_TRUE(std::isnan(s.a11) && std::isnan(s.a22));
}

// For M = [a b; b c] positive definite, each row r of the shape is a semi-axis: the
// rows are perpendicular, r^T M r = 1, and the first row is the shorter axis,
// 1/sqrt(l1) for the larger eigenvalue l1 (for b = 0: of length 1/sqrt(a)).
TEST(Decompose, RowsAreTheSemiAxesOfTheEllipse) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    CaptureStderr();
    for (int i = 0; i < 2000; ++i) {
        const double l1 = std::pow(10.0, -3 + 6 * unit(rng));
        const double l2 = std::pow(10.0, -3 + 6 * unit(rng));
        const double t = i % 10 == 0 ? 0.0 : 6.283185307179586 * unit(rng);
        const float a =
            static_cast<float>(l1 * std::cos(t) * std::cos(t) + l2 * std::sin(t) * std::sin(t));
        const float b =
            i % 10 == 0 ? 0.0f : static_cast<float>((l1 - l2) * std::cos(t) * std::sin(t));
        const float c =
            static_cast<float>(l1 * std::sin(t) * std::sin(t) + l2 * std::cos(t) * std::cos(t));
        Shape s;
        decompose(a, b, c, s.a11, s.a12, s.a21, s.a22);
        const auto quad = [&](double x, double y) {
            return a * x * x + 2.0 * b * x * y + c * y * y;
        };
        SCOPED_TRACE(testing::Message() << "a " << a << " b " << b << " c " << c);
        EXPECT_NEAR(quad(s.a11, s.a12), 1.0, 1e-5);
        EXPECT_NEAR(quad(s.a21, s.a22), 1.0, 1e-5);
        const double len1 = std::hypot(s.a11, s.a12), len2 = std::hypot(s.a21, s.a22);
        EXPECT_LT(std::fabs(s.a11 * s.a21 + s.a12 * s.a22) / (len1 * len2), 1e-5);
        const double mean = (double(a) + c) / 2, rad = std::hypot((double(a) - c) / 2, double(b));
        const double big = b == 0 ? a : mean + rad;
        EXPECT_NEAR(len1 * std::sqrt(big), 1.0, 1e-5);
    }
    EXPECT_EQ(GetCapturedStderr(), "");
}

class SiftReaders : public TempDirTest {
protected:
    // Runs reader `type` with captured console; the matrix is copied out and freed.
    struct Result {
        bool present;
        std::vector<float> matrix;
        std::vector<SiftRegion> regions;
        bool regionsTouched;
        int n, d;
        std::string out, err;
    };
    static Result read(int type, const std::string& path, int dim) {
        Result r{};
        r.n = 77;
        r.d = 88;
        float* m = nullptr;
        SiftRegion sentinel{};
        SiftRegion* g = &sentinel;
        CaptureStdout();
        CaptureStderr();
        ReadStatus s = ReadStatus::ok;
        if (type == 0) s = read_sift_0(path.c_str(), m, r.n, r.d, dim);
        if (type == 1) s = read_sift_1(path.c_str(), m, r.n, r.d, dim, g);
        if (type == 3) s = read_sift_3(path.c_str(), m, r.n, r.d, dim, g);
        if (s != ReadStatus::ok) std::cerr << entry_message(s, path.c_str()) << std::endl;
        r.out = GetCapturedStdout();
        r.err = GetCapturedStderr();
        r.present = m != nullptr;
        r.regionsTouched = g != &sentinel;
        if (m != nullptr) {
            r.matrix.assign(m, m + std::size_t(r.n) * (dim + 1));
            if (type != 0 && g != &sentinel) r.regions.assign(g, g + r.n);
        }
        delete[] m;
        if (g != &sentinel) delete[] g;
        return r;
    }
    // A refusal: the message, no matrix, the regions untouched.
    static void expect_refused(const Result& r, const std::string& message) {
        EXPECT_FALSE(r.present);
        EXPECT_FALSE(r.regionsTouched);
        EXPECT_EQ(r.err, message);
    }
};

TEST_F(SiftReaders, TextTypesReadDescriptorsAndRegions) {
    Result r = read(0, write("3 2\n1 2 3\n4 5 6\n"), 3);
    ASSERT_TRUE(r.present);
    EXPECT_EQ(r.n, 2);
    EXPECT_EQ(r.d, 3);
    EXPECT_EQ(r.matrix, (std::vector<float>{1, 2, 3, -0.5f, 4, 5, 6, -0.5f}));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    // Type 1: x y a b c before each descriptor; the line ends are meaningless.
    r = read(1, write("3 2 10 20 2 1 2 1 2 3\n30.5\n40 0.25 0 1 4 5 6 trailing junk"), 3);
    ASSERT_TRUE(r.present);
    ASSERT_EQ(r.n, 2);
    EXPECT_EQ(r.out, "rows = 2 cols = 3\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.matrix, (std::vector<float>{1, 2, 3, -0.5f, 4, 5, 6, -0.5f}));
    EXPECT_EQ(r.regions[0].x, 10.0f);
    EXPECT_EQ(r.regions[0].y, 20.0f);
    EXPECT_NEAR(r.regions[0].a11, 0.408248, 1e-6);
    EXPECT_NEAR(r.regions[0].a21, -0.707107, 1e-6);
    EXPECT_EQ(r.regions[1].x, 30.5f);
    EXPECT_EQ(r.regions[1].y, 40.0f);
    EXPECT_EQ(r.regions[1].a11, 2.0f);
    EXPECT_EQ(r.regions[1].a12, 0.0f);
    EXPECT_EQ(r.regions[1].a22, 1.0f);
}

TEST_F(SiftReaders, TextTypesRefuseBadHeaders) {
    const struct {
        const char* text;
        int n, d;
    } cases[] = {// Ends within or right after the header: n = 0, d = dim.
                 {"", 0, 3},
                 {"3", 0, 3},
                 {"  3\n", 0, 3},
                 {"3 2", 0, 3},
                 {"3 x", 0, 3},
                 // Dimension other than dim, no descriptors: n and d as read.
                 {"4 2\n1 2 3 4 5 6 7 8\n", 2, 4},
                 {"3 0\n", 0, 3},
                 {"3 -2\n1 2 3\n", -2, 3},
                 // Not integers; a count the file could not hold (checked before the "rows" line).
                 {"3.5 2\n1 2 3 4 5 6\n", -1, -1},
                 {"3 2.0\n1 2 3 4 5 6\n", -1, -1},
                 {"3 100000\n1 2 3\n", 100000, 3}};
    for (int type : {0, 1}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "type " << type << " '" << c.text << "'");
            const std::string path = write(c.text);
            const Result r = read(type, path, 3);
            expect_refused(r, kWrong + path + "'.\n");
            EXPECT_EQ(r.out, "");
            if (c.n != -1) {
                EXPECT_EQ(r.n, c.n);
                EXPECT_EQ(r.d, c.d);
            }
        }
    }
}

TEST_F(SiftReaders, TextTypesRefuseBodiesThatEndEarlyOrAreNotNumbers) {
    const std::string pad(64, ' ');  // keeps the header's size check out of the way
    const struct {
        const char* first;
        const char* second;
    } bodies[] = {{"1 2 3", "4 5"},
                  {"1 2 3", "4 x 6"},
                  {"1 2 3", "nan 5 6"},
                  {"1 2 inf", "4 5 6"},
                  {"1 2 3", "4 5 1e50"}};
    for (const auto& b : bodies) {
        SCOPED_TRACE(std::string(b.first) + " | " + b.second);
        std::string path = write(std::string("3 2\n") + b.first + " " + b.second + pad);
        Result r = read(0, path, 3);
        expect_refused(r, kWrong + path + "'.\n");
        EXPECT_EQ(r.out, "");
        // Type 1: the same descriptors, each after a good region.
        path = write(std::string("3 2\n0 0 1 0 1 ") + b.first + " 0 0 1 0 1 " + b.second + pad);
        r = read(1, path, 3);
        expect_refused(r, kWrong + path + "'.\n");
        EXPECT_EQ(r.out, "rows = 2 cols = 3\n");  // announced before the body is read
    }
    const std::string path = write("3 1\n0 nan 1 0 1 1 2 3" + pad);
    expect_refused(read(1, path, 3), kWrong + path + "'.\n");
}

TEST_F(SiftReaders, EveryTypeReportsFilesItCannotOpen) {
    for (int type : {0, 1, 3}) {
        for (const std::string& path : {dir_ + "/missing", dir_}) {
            const Result r = read(type, path, 128);
            expect_refused(r, "Error: Cannot open file '" + path + "' for reading.\n");
            EXPECT_EQ(r.n, 77);  // untouched
            EXPECT_EQ(r.d, 88);
        }
    }
}

namespace {

// One type 3 record: indices, y at 8, x at 12, scale at 16, 8 unused bytes, 128 bytes.
std::string record(int fileIndex, int clusterIndex, float y, float x, float s,
                   const unsigned char* values) {
    std::string rec(156, '\0');
    std::memcpy(&rec[0], &fileIndex, 4);
    std::memcpy(&rec[4], &clusterIndex, 4);
    std::memcpy(&rec[8], &y, 4);
    std::memcpy(&rec[12], &x, 4);
    std::memcpy(&rec[16], &s, 4);
    std::memcpy(&rec[20], "unused..", 8);
    std::memcpy(&rec[28], values, 128);
    return rec;
}

}  // namespace

TEST_F(SiftReaders, Type3ReadsRecordsOfSignedBytes) {
    std::string file;
    unsigned char values[10][128];
    for (int i = 0; i < 10; ++i) {
        for (int j = 0; j < 128; ++j) values[i][j] = static_cast<unsigned char>(i * 37 + j * 11);
        values[i][0] = 0xFF;
        values[i][1] = 0x7F;
        values[i][2] = 0x80;
        file += record(1000 + i, -i, 10.0f + i, 20.0f + i, 1.5f, values[i]);
    }
    ASSERT_EQ(file.size(), 1560u);
    const Result r = read(3, write(file), 128);
    ASSERT_TRUE(r.present);
    ASSERT_EQ(r.n, 10);
    EXPECT_EQ(r.d, 128);
    EXPECT_EQ(r.out, "rows = 10 & cols = 128\n");
    EXPECT_EQ(r.err, "");
    for (int i = 0; i < 10; ++i) {
        const float* row = &r.matrix[std::size_t(i) * 129];
        EXPECT_EQ(row[0], -1.0f);
        EXPECT_EQ(row[1], 127.0f);
        EXPECT_EQ(row[2], -128.0f);
        for (int j = 3; j < 128; ++j)
            EXPECT_EQ(row[j], static_cast<float>(static_cast<signed char>(values[i][j])));
        EXPECT_EQ(row[128], -0.5f);
        const SiftRegion& g = r.regions[i];
        EXPECT_EQ(g.fileIndex, 1000 + i);
        EXPECT_EQ(g.clusterIndex, -i);
        EXPECT_EQ(g.x, 20.0f + i);  // swapped back
        EXPECT_EQ(g.y, 10.0f + i);
        EXPECT_EQ(g.a11, 9.0f);  // radius 6 * 1.5
        EXPECT_EQ(g.a22, 9.0f);
        EXPECT_EQ(g.a12, 0.0f);
        EXPECT_EQ(g.a21, 0.0f);
    }
}

TEST_F(SiftReaders, Type3RefusesPartialRecordsAndOtherDimensions) {
    const unsigned char zeros[128] = {};
    std::string file;
    for (int i = 0; i < 10; ++i) file += record(0, 0, 0, 0, 1, zeros);
    std::string path = write(file + "x");
    Result r = read(3, path, 128);
    expect_refused(r, kWrong + path + "'.\n");
    EXPECT_EQ(r.n, 10);
    EXPECT_EQ(r.d, 128);
    EXPECT_EQ(r.out, "");

    path = write(file);
    r = read(3, path, 64);
    expect_refused(r, kWrong + path + "'.\n");
    EXPECT_EQ(r.d, 128);

    // An empty file is a file of no descriptors: present, empty matrix and regions.
    r = read(3, write(""), 128);
    EXPECT_TRUE(r.present);
    EXPECT_TRUE(r.regionsTouched);
    EXPECT_EQ(r.n, 0);
    EXPECT_EQ(r.out, "rows = 0 & cols = 128\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(SiftReaders, Type3RefusesACountBeyondInt) {
    // A sparse file of 2^31 records: the count does not fit an int.
    const std::string path = write("");
    if (truncate(path.c_str(), static_cast<off_t>(156) << 31) != 0)
        GTEST_SKIP() << "no sparse file here";
    const Result r = read(3, path, 128);
    expect_refused(r, kWrong + path + "'.\n");
    EXPECT_EQ(r.out, "");
}
