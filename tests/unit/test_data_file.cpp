// test_data_file.cpp - the trainer's data file: matrix layout, header and body
// refusals, and the threaded body parse, which must give the very matrix (and the
// very refusals) of the one-thread parse on a body big enough to be split.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "data_file.h"
#include "support/temp_dir.h"

using namespace kmeans;

namespace {

class DataFileTest : public TempDirTest {
protected:
    // The three steps of the driver; the matrix is returned through `out` on ok.
    static ReadStatus load(const std::string& path, int threads, std::vector<float>* out = nullptr,
                           int* nOut = nullptr, int* dOut = nullptr) {
        DataFile file;
        EXPECT_EQ(file.open(path.c_str()), ReadStatus::ok);
        int n = -1, d = -1;
        ReadStatus s = file.readHeader(n, d);
        if (s != ReadStatus::ok) return s;
        if (nOut != nullptr) *nOut = n;
        if (dOut != nullptr) *dOut = d;
        float dummy = 0.0f;
        float* m = &dummy;  // readBody must set it, to null on failure
        s = file.readBody(n, d, threads, &m);
        if (s != ReadStatus::ok) {
            EXPECT_EQ(m, nullptr);
            return s;
        }
        EXPECT_NE(m, nullptr);
        if (m != nullptr && out != nullptr) out->assign(m, m + std::size_t(n) * (d + 1));
        delete[] m;
        return s;
    }

    // The shares of `parts` parts, each located by the counts of the parts before it
    // (as the distributed trainer's exclusive prefix sum does), joined in part order.
    static std::vector<float> joined_shares(const std::string& path, int parts, int threads) {
        int n = 0, d = 0;
        std::vector<std::uint64_t> counts(static_cast<std::size_t>(parts));
        for (int p = 0; p < parts; ++p) {
            DataFile file;
            EXPECT_EQ(file.open(path.c_str()), ReadStatus::ok);
            EXPECT_EQ(file.readHeader(n, d), ReadStatus::ok);
            EXPECT_EQ(file.countShare(p, parts, counts[std::size_t(p)]), ReadStatus::ok);
        }
        std::vector<float> joined;
        std::uint64_t before = 0;
        for (int p = 0; p < parts; ++p) {
            DataFile file;
            EXPECT_EQ(file.open(path.c_str()), ReadStatus::ok);
            EXPECT_EQ(file.readHeader(n, d), ReadStatus::ok);
            float* m = nullptr;
            int first = -1, rows = -1;
            EXPECT_EQ(file.readShare(n, d, p, parts, before, threads, &m, first, rows),
                      ReadStatus::ok);
            EXPECT_EQ(first * (d + 1), int(joined.size())) << parts << " parts, part " << p;
            if (m != nullptr) joined.insert(joined.end(), m, m + std::size_t(rows) * (d + 1));
            delete[] m;
            before += counts[std::size_t(p)];
        }
        return joined;
    }
};

}  // namespace

TEST_F(DataFileTest, ReadsRowsInFileOrderWithMinusHalfAppended) {
    const std::vector<float> expected = {1, 2, 3, -0.5f, 4, 5, 6, -0.5f};
    // The line layout carries no meaning, and any number spelling of the stream is read.
    for (const char* text : {"2 3\n1 2 3\n4 5 6\n", "2 3 1 2 3 4 5 6", "2\n3\n1\r\n2\t3\v4\f5 6",
                             "+2 3\n1.0 2e0 +3 .4e1 50e-1 6.", "2 3\n1 2 3\n4 5 6 ignored nan x"}) {
        std::vector<float> m;
        int n = 0, d = 0;
        EXPECT_EQ(load(write(text), 1, &m, &n, &d), ReadStatus::ok) << text;
        EXPECT_EQ(n, 2);
        EXPECT_EQ(d, 3);
        EXPECT_EQ(m, expected) << text;
    }
}

TEST_F(DataFileTest, RefusesFilesItCannotOpenOrWhoseHeaderIsWrong) {
    EXPECT_EQ(DataFile().open((dir_ + "/missing").c_str()), ReadStatus::cannot_open);
    EXPECT_EQ(DataFile().open(dir_.c_str()), ReadStatus::cannot_open);
    for (const char* text : {"", "x 3 1 2 3", "2", "0 3 1 2 3", "3 0 1 2 3", "-1 3 1 2 3",
                             "2.5 3 1 2 3 4 5 6", "2147483648 1 1 2", "1 1e0 5"}) {
        EXPECT_EQ(load(write(text), 1), ReadStatus::wrong_format) << "'" << text << "'";
    }
    // A file of 11 bytes holds at most (11 + 1) / 2 = 6 values: 7 is refused by the
    // header, before any allocation; 6 passes it (and then lacks the values).
    DataFile six, seven;
    int n, d;
    ASSERT_EQ(six.open(write("1 6        ").c_str()), ReadStatus::ok);
    EXPECT_EQ(six.readHeader(n, d), ReadStatus::ok);
    ASSERT_EQ(seven.open(write("1 7        ").c_str()), ReadStatus::ok);
    EXPECT_EQ(seven.readHeader(n, d), ReadStatus::wrong_format);
    // Sizes in 64 bits: 65536 * 65536 wraps to 0 in 32.
    DataFile huge;
    ASSERT_EQ(huge.open(write("65536 65536 1 2 3 4").c_str()), ReadStatus::ok);
    EXPECT_EQ(huge.readHeader(n, d), ReadStatus::wrong_format);
}

TEST_F(DataFileTest, RefusesShortBodiesAndValuesThatAreNotFiniteFloats) {
    const std::string pad(32, ' ');  // keeps the header's size check out of the way
    for (const char* body :
         {"1 2 3", "1 2 x 4", "1 2 nan 4", "1 inf 3 4", "1 2 3 1e50", "0x10 2 3 4", "1 2 3 4e"}) {
        EXPECT_EQ(load(write(std::string("2 2\n") + body + pad), 1), ReadStatus::wrong_format)
            << body;
    }
}

// A body of about 11 MB, past the size from which the parse is split over threads.
class DataFileThreadsTest : public DataFileTest {
protected:
    static constexpr int kRows = 24000;
    static constexpr int kDim = 128;
    static constexpr std::size_t kValues = std::size_t(kRows) * kDim;

    // Value v is an integer below 256 spelled most of the time as plain digits, the
    // rest in forms that take the slow path; `token` may replace the spelling.
    static std::string make(const std::function<std::string(std::size_t, std::string)>& token,
                            const std::string& tail = "") {
        std::string s = std::to_string(kRows) + " " + std::to_string(kDim) + "\n";
        s.reserve(kValues * 4 + tail.size());
        for (std::size_t v = 0; v < kValues; ++v) {
            const unsigned x = (v * 131 + v / 7) % 256;
            std::string t = std::to_string(x);
            if (v % 97 == 0) t += ".000";
            if (v % 89 == 0) t = "+" + t + "e0";
            s += token(v, t);
            s += (v + 1) % kDim == 0 ? '\n' : ' ';
        }
        return s + tail;
    }
    static std::string plain(std::size_t, std::string t) { return t; }
};

TEST_F(DataFileThreadsTest, EveryThreadCountGivesTheSameMatrix) {
    std::vector<float> expected(std::size_t(kRows) * (kDim + 1));
    for (std::size_t v = 0; v < kValues; ++v) {
        expected[v / kDim * (kDim + 1) + v % kDim] = static_cast<float>((v * 131 + v / 7) % 256);
    }
    for (int i = 0; i < kRows; ++i) expected[std::size_t(i) * (kDim + 1) + kDim] = -0.5f;

    // Values after the last one are ignored, even 5 MB of junk: a whole range of it.
    const std::string path = write(make(plain, std::string(5 << 20, 'z') + " nan"));
    for (int threads : {1, 2, 3, 4, 7}) {
        std::vector<float> m;
        ASSERT_EQ(load(path, threads, &m), ReadStatus::ok) << threads;
        EXPECT_TRUE(m == expected) << "threads = " << threads;
    }
    // Shares too: the body three times, in two parts of about 17 MB, each parsed by
    // several threads (the padding puts the cut within a row).
    const std::string body = make(plain);
    const std::string values = body.substr(body.find('\n') + 1);
    const std::string thrice = write(std::to_string(3 * kRows) + " 128\n" + std::string(333, ' ') +
                                     values + values + values);
    std::vector<float> all;
    for (int i = 0; i < 3; ++i) all.insert(all.end(), expected.begin(), expected.end());
    for (int threads : {1, 3})
        EXPECT_TRUE(joined_shares(thrice, 2, threads) == all) << "shares, threads = " << threads;
}

TEST_F(DataFileThreadsTest, EveryThreadCountRefusesTheSameFiles) {
    const std::string good = make(plain);
    const std::size_t body = good.find('\n') + 1;
    const std::size_t len = good.size() - body;
    // Spoils the token at (or just after) byte `at`, keeping every byte position.
    const auto spoil = [&good](std::size_t at) {
        std::string s = good;
        while (s[at] == ' ' || s[at] == '\n') ++at;
        while (s[at - 1] != ' ' && s[at - 1] != '\n') --at;
        s[at] = 'x';
        return s;
    };
    // A bad first or last value, and bad values where a body split in 2 or 3 ranges
    // is cut (the cut moves to the end of the token it falls in) and right after.
    std::vector<std::size_t> spots = {body, good.size() - 2};
    for (std::size_t cut : {len / 2, len / 3, len / 3 * 2}) {
        spots.push_back(body + cut);
        spots.push_back(good.find(' ', body + cut) + 1);
    }
    for (std::size_t at : spots) {
        const std::string path = write(spoil(at));
        for (int threads : {1, 2, 3}) {
            EXPECT_EQ(load(path, threads), ReadStatus::wrong_format)
                << "byte " << at << " threads " << threads;
        }
        std::remove(path.c_str());
    }
    // One value short.
    const std::string path = write(good.substr(0, good.rfind(' ')) + "\n");
    for (int threads : {1, 2, 3})
        EXPECT_EQ(load(path, threads), ReadStatus::wrong_format) << threads;
}

// The shares of 1 to 9 parts hold the whole read's rows, each exactly once and in
// order: with rows broken across lines, a value longer than a part, trailing tokens
// past n*d, and binary rows.
TEST_F(DataFileTest, SharesTogetherHoldTheWholeMatrix) {
    std::string text = "7 3\n1 2 3\n4\n\n5 6 7 8 9 10.000000000000000000000000000000000000000001\n";
    text += "11 12\t13 14 15 16\t\t17\n18 19 20 21 22 not read\n";
    std::string bvecs;
    for (int i = 0; i < 7; ++i) {
        const char record[7] = {3, 0, 0, 0, char(i), char(2 * i), char(100 + i)};
        bvecs.append(record, 7);
    }
    for (const std::string& path : {write(text), write("d.bvecs", bvecs)}) {
        std::vector<float> whole;
        int n = 0, d = 0;
        ASSERT_EQ(load(path, 1, &whole, &n, &d), ReadStatus::ok);
        for (int parts = 1; parts <= 9; ++parts) {
            const std::vector<float> joined = joined_shares(path, parts, 1);
            EXPECT_EQ(joined, whole) << path << ", " << parts << " parts";
        }
    }
}
