// test_model_formats.cpp - the .npy and .fvecs model files: their exact bytes, a
// round trip bit for bit (the norm column rebuilt as the text reader rebuilds it),
// text for every other name, and the refusal of every malformed file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kmeans.h"
#include "support/temp_dir.h"

using namespace kmeans;

namespace {

template <class T>
std::string bytes_of(const T& v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

std::string slurp_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::string s;
    if (f == nullptr) return s;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) s.append(buffer, n);
    std::fclose(f);
    return s;
}

// A version 1.0 header as numpy writes it, spelled out independently of the engine's.
std::string npy(const std::string& dict, const std::string& body) {
    std::string padded = dict;
    while ((10 + padded.size() + 1) % 64 != 0) padded += ' ';
    padded += '\n';
    return std::string("\x93NUMPY\x01\x00", 8) + char(padded.size()) + '\0' + padded + body;
}

std::string dict(const std::string& descr, const std::string& order, const std::string& shape) {
    return "{'descr': '" + descr + "', 'fortran_order': " + order + ", 'shape': " + shape + ", }";
}

using ModelFormats = TempDirTest;

// Values no 6-digit text keeps: the binary files must keep every bit.
const std::vector<float> kAwkward = {1.0f / 3.0f, -0.0f,  1e-40f, 3.4e38f, -7.25f, 0.1f,
                                     16777217.0f, -1e-7f, 2.5f,   1e10f,   -3.0f,  6.0f};

void fill(KMeans& m, const std::string& dir) {
    // Any model read back is fine for a start: its values are then set directly.
    std::FILE* f = std::fopen((dir + "/seed.txt").c_str(), "wb");
    std::fputs("3 4 0 0 0 0 0 0 0 0 0 0 0 0", f);
    std::fclose(f);
    ASSERT_EQ(m.readModel((dir + "/seed.txt").c_str()), ReadStatus::ok);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) m.centers[i * 5 + j] = kAwkward[std::size_t(i * 4 + j)];
}

TEST_F(ModelFormats, BinaryModelsHoldTheCentresBitForBit) {
    KMeans m;
    fill(m, dir_);
    ASSERT_TRUE(m.writeModel(path("m.npy").c_str()));
    ASSERT_TRUE(m.writeModel(path("m.fvecs").c_str()));

    std::string values, records;
    for (int i = 0; i < 3; ++i) {
        records += bytes_of(std::int32_t(4));
        for (int j = 0; j < 4; ++j) {
            values += bytes_of(kAwkward[std::size_t(i * 4 + j)]);
            records += bytes_of(kAwkward[std::size_t(i * 4 + j)]);
        }
    }
    EXPECT_EQ(slurp_file(path("m.npy")), npy(dict("<f4", "False", "(3, 4)"), values));
    EXPECT_EQ(slurp_file(path("m.fvecs")), records);

    for (const char* name : {"m.npy", "m.fvecs"}) {
        KMeans back;
        ASSERT_EQ(back.readModel(path(name).c_str()), ReadStatus::ok) << name;
        ASSERT_EQ(back.k, 3);
        ASSERT_EQ(back.d, 4);
        // Every value bit for bit, and the norm column: the squares summed in double in
        // index order, rounded once.
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(std::memcmp(back.centers + i * 5, m.centers + i * 5, 16), 0) << name << i;
            double norm = 0;
            for (int j = 0; j < 4; ++j) norm += double(m.centers[i * 5 + j]) * m.centers[i * 5 + j];
            EXPECT_EQ(back.centers[i * 5 + 4], float(norm)) << name << i;
        }
    }
}

TEST_F(ModelFormats, NormColumnAsTheTextReaderBuildsIt) {
    // Values that text holds exactly: text, .npy and .fvecs read to the same rows.
    write("t.txt", "2 3\n0.5 -3 1024\n7.75 0 -0.125");
    KMeans text;
    ASSERT_EQ(text.readModel(path("t.txt").c_str()), ReadStatus::ok);
    ASSERT_TRUE(text.writeModel(path("t.npy").c_str()));
    ASSERT_TRUE(text.writeModel(path("t.fvecs").c_str()));
    for (const char* name : {"t.npy", "t.fvecs"}) {
        KMeans back;
        ASSERT_EQ(back.readModel(path(name).c_str()), ReadStatus::ok) << name;
        EXPECT_EQ(std::memcmp(back.centers, text.centers, sizeof(float) * 8), 0) << name;
    }
    EXPECT_EQ(text.centers[3], 0.25f + 9.0f + 1048576.0f);
}

TEST_F(ModelFormats, OtherNamesAreText) {
    write("t.txt", "1 2\n0.5 -3");
    KMeans m;
    ASSERT_EQ(m.readModel(path("t.txt").c_str()), ReadStatus::ok);
    for (const char* name : {"m", "m.npy.txt", "m.NPY", "m.fvecs~"}) {
        ASSERT_TRUE(m.writeModel(path(name).c_str()));
        EXPECT_EQ(slurp_file(path(name)), "1 2\n0.5 -3") << name;
    }
}

TEST_F(ModelFormats, DoublesAreRoundedOnce) {
    write("d.npy", npy(dict("<f8", "False", "(1, 2)"), bytes_of(0.1) + bytes_of(-1e-300)));
    KMeans m;
    ASSERT_EQ(m.readModel(path("d.npy").c_str()), ReadStatus::ok);
    EXPECT_EQ(m.centers[0], 0.1f);
    EXPECT_TRUE(m.centers[1] == 0.0f && std::signbit(m.centers[1]));
}

TEST_F(ModelFormats, MalformedFilesAreRefused) {
    const std::string four = bytes_of(1.f) + bytes_of(2.f) + bytes_of(3.f) + bytes_of(4.f);
    const std::string record = bytes_of(std::int32_t(2)) + bytes_of(1.f) + bytes_of(2.f);
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"i4.npy", npy(dict("<i4", "False", "(2, 2)"), four)},
        {"big.npy", npy(dict(">f4", "False", "(2, 2)"), four)},
        {"fortran.npy", npy(dict("<f4", "True", "(2, 2)"), four)},
        {"three.npy", npy(dict("<f4", "False", "(1, 2, 2)"), four)},
        {"one.npy", npy(dict("<f4", "False", "(4,)"), four)},
        {"cut.npy", npy(dict("<f4", "False", "(2, 2)"), four.substr(0, 15))},
        {"long.npy", npy(dict("<f4", "False", "(2, 2)"), four + "x")},
        {"empty_rows.npy", npy(dict("<f4", "False", "(0, 2)"), "")},
        {"nan.npy", npy(dict("<f4", "False", "(1, 1)"), bytes_of(std::nanf("")))},
        {"huge.npy", npy(dict("<f8", "False", "(1, 1)"), bytes_of(1e300))},
        {"magic.npy", "\x93NUMPZ" + npy(dict("<f4", "False", "(2, 2)"), four).substr(6)},
        {"header.npy", npy(dict("<f4", "False", "(2, 2)"), four).substr(0, 40)},
        {"empty.npy", ""},
        {"empty.fvecs", ""},
        {"cut.fvecs", record + record.substr(0, 11)},
        {"other_d.fvecs", record + bytes_of(std::int32_t(1)) + bytes_of(1.f) + bytes_of(2.f)},
        {"zero_d.fvecs", bytes_of(std::int32_t(0)) + bytes_of(std::int32_t(0))},
        {"inf.fvecs", record + bytes_of(std::int32_t(2)) + bytes_of(INFINITY) + bytes_of(1.f)},
    };
    for (const auto& c : cases) {
        write(c.name, c.content);
        KMeans m;
        EXPECT_EQ(m.readModel(path(c.name).c_str()), ReadStatus::wrong_format) << c.name;
        EXPECT_EQ(m.k, 0) << c.name;
        EXPECT_EQ(m.centers, nullptr) << c.name;
    }
    KMeans m;
    EXPECT_EQ(m.readModel(path("none.npy").c_str()), ReadStatus::cannot_open);
}

}  // namespace
