// test_text_scan.cpp - the scanners against stream extraction (the oracle: same
// acceptance, same bits), their refusals, and MappedFile on files, empty files,
// directories and pipes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "text_scan.h"

using namespace kmeans;

namespace {

// What `in >> f` makes of one whole token: false if the stream fails or stops short.
bool stream_float(const std::string& token, float& out) {
    std::istringstream in(token);
    in >> out;
    return !in.fail() && in.peek() == std::char_traits<char>::eof();
}

std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// Checks one token: accepted exactly when the stream accepts it, with the same bits,
// and then consumed whole.
void expect_like_stream(const std::string& token) {
    SCOPED_TRACE("token '" + token + "'");
    const std::string text = " " + token + "\n";
    const char* p = text.data();
    const char* end = text.data() + text.size();
    float expected = 0.0f, got = 0.0f;
    const bool streamOk = stream_float(token, expected);
    const bool scanOk = scan_float(p, end, got);
    ASSERT_EQ(scanOk, streamOk);
    if (scanOk) {
        EXPECT_EQ(bits(got), bits(expected));
        EXPECT_EQ(p, end - 1);  // just past the token
    }
}

std::string digits(std::mt19937& rng, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
}

}  // namespace

TEST(ScanFloat, MatchesStreamOnRandomTokens) {
    std::mt19937 rng(12345);
    const char* signs[] = {"", "", "-", "+"};
    for (int i = 0; i < 60000; ++i) {
        std::string t = signs[rng() % 4];
        switch (i % 5) {
        case 0:  // integers: the inline path up to 7 digits, from_chars beyond (2^24 = 16777216)
            t += digits(rng, 1 + rng() % 10);
            break;
        case 1:  // long decimals, including more digits than a float can tell apart
            t += digits(rng, rng() % 8) + "." + digits(rng, 1 + rng() % 25);
            break;
        case 2:  // exponents across the whole range, overflow included
            t += digits(rng, 1 + rng() % 3) + "." + digits(rng, rng() % 9) +
                 (rng() % 2 ? "e" : "E") + signs[rng() % 4] + std::to_string(rng() % 47);
            break;
        case 3:  // subnormals and underflow to zero
            t += digits(rng, 1) + "." + digits(rng, rng() % 12) + "e-" +
                 std::to_string(36 + rng() % 12);
            break;
        default:  // around FLT_MAX = 3.40282347e38, half of its last step above it
            t += "3.40282" + digits(rng, rng() % 6) + "e38";
            break;
        }
        expect_like_stream(t);
    }
}

TEST(ScanFloat, MatchesStreamOnEdgeTokens) {
    for (const char* t : {"0",
                          "-0",
                          "+0",
                          "9999999",
                          "-9999999",
                          "00000001",
                          "16777217",
                          "-16777217",
                          "0.1",
                          ".5",
                          "5.",
                          "+.5",
                          "-5.e-1",
                          "1E+05",
                          "3.4028235e38",
                          "3.4028236e38",
                          "1.17549435e-38",
                          "1.4e-45",
                          "7.1e-46",
                          "7e-46",
                          "1e-46",
                          "-1e-46",
                          "1e-400",
                          "1e-99999999999999999999",
                          "0.000000000000000000000000000000000000000000000000001e100",
                          "100000000000000000000000000000000000000000000000000e-100"}) {
        expect_like_stream(t);
    }
    // Out of range either way: where the digits sit, not the exponent's sign, tells
    // overflow (refused) from underflow (a signed zero).
    const std::string zeros(50, '0');
    for (const std::string& t :
         {"1" + zeros, "-1" + zeros + "e-5", "0." + zeros + "1", "-0." + zeros + "1e3",
          "." + zeros + "1E+1", "0" + zeros + "1" + zeros}) {
        expect_like_stream(t);
    }
}

TEST(ScanFloat, RefusesWhatIsNotAFiniteFloat) {
    for (const char* t : {"inf",      "-inf",     "+inf", "nan",   "NaN",
                          "-nan",     "infinity", "1e50", "-1e50", "1e99999999999999999999",
                          "0x10",     "0x1p3",    "1e",   "1e+",   ".",
                          "-",        "+",        "+-1",  "-+1",   "--1",
                          "1.2.3",    "12a",      "a12",  "1,5",   "1e5.5",
                          "12345678x"}) {
        const std::string text = std::string("  ") + t + " 7";
        const char* p = text.data();
        float out = 42.0f;
        EXPECT_FALSE(scan_float(p, text.data() + text.size(), out)) << t;
        EXPECT_EQ(out, 42.0f) << t;          // untouched
        EXPECT_EQ(p, text.data() + 2) << t;  // left at the offending token
    }
}

TEST(ScanFloat, ReadsSuccessiveTokensAcrossEveryKindOfWhiteSpace) {
    const std::string text = "\t\n\v\f\r 1.5\r\n-2\f+3e1\v0.25 \t";
    const char* p = text.data();
    const char* end = text.data() + text.size();
    float v = 0.0f;
    std::vector<float> got;
    while (scan_float(p, end, v)) got.push_back(v);
    EXPECT_EQ(got, (std::vector<float>{1.5f, -2.0f, 30.0f, 0.25f}));
    EXPECT_EQ(p, end);
    // An unterminated last token counts: the end of the text delimits it.
    const std::string tail = "12 34";
    p = tail.data();
    ASSERT_TRUE(scan_float(p, tail.data() + 5, v));
    ASSERT_TRUE(scan_float(p, tail.data() + 5, v));
    EXPECT_EQ(v, 34.0f);
    EXPECT_FALSE(scan_float(p, tail.data() + 5, v));
}

TEST(ScanInt, AcceptsWholeDecimalIntsInRange) {
    const struct {
        const char* text;
        int value;
    } cases[] = {{"0", 0},
                 {"-0", 0},
                 {"+7", 7},
                 {"007", 7},
                 {"2147483647", 2147483647},
                 {"-2147483648", -2147483647 - 1},
                 {"\v\f128\n", 128}};
    for (const auto& c : cases) {
        const char* p = c.text;
        int v = 0;
        EXPECT_TRUE(scan_int(p, c.text + std::strlen(c.text), v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    for (const char* t : {"2147483648", "-2147483649", "99999999999999999999", "1.0", "1e3", "12a",
                          "-", "+", "0x10", "", "  ", "+-1"}) {
        const char* p = t;
        int v = 5;
        EXPECT_FALSE(scan_int(p, t + std::strlen(t), v)) << t;
        EXPECT_EQ(v, 5) << t;
    }
}

TEST(CountTokens, CountsMaximalRunsOfNonWhiteSpace) {
    const auto count = [](const std::string& s) {
        return count_tokens(s.data(), s.data() + s.size());
    };
    EXPECT_EQ(count(""), 0u);
    EXPECT_EQ(count(" \t\n\v\f\r"), 0u);
    EXPECT_EQ(count("x"), 1u);
    EXPECT_EQ(count("  a bb\tc\nd\ve\ff\rg  "), 7u);
    EXPECT_EQ(count(std::string("1\0"
                                "2 3",
                                5)),
              2u);  // a NUL byte is not white space
}

using MappedFileTest = TempDirTest;

TEST_F(MappedFileTest, MapsRegularAndEmptyFilesAndRefusesOthers) {
    const std::string content("12 7.5\n\0tail", 13);
    MappedFile file;
    ASSERT_EQ(file.open(write("a.txt", content).c_str()), ReadStatus::ok);
    EXPECT_EQ(std::string(file.data(), file.size()), content);
    EXPECT_EQ(file.end(), file.data() + 13);

    ASSERT_EQ(file.open(write("empty.txt", "").c_str()),
              ReadStatus::ok);  // reopening drops the first mapping
    EXPECT_EQ(file.size(), 0u);
    const char* p = file.data();
    float v;
    EXPECT_FALSE(scan_float(p, file.end(), v));

    EXPECT_EQ(file.open((dir_ + "/missing.txt").c_str()), ReadStatus::cannot_open);
    EXPECT_EQ(file.open(dir_.c_str()), ReadStatus::cannot_open);
    EXPECT_EQ(file.size(), 0u);
}

TEST_F(MappedFileTest, ReadsAPipeThatCannotBeMapped) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::signal(SIGPIPE, SIG_IGN);  // if open failed, the writer must see EPIPE, not die
    std::string content;
    for (int i = 0; content.size() < 300000; ++i)
        content += std::to_string(i) + ' ';  // > pipe buffer
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t w = ::write(fds[1], content.data() + done, content.size() - done);
            if (w <= 0) break;
            done += static_cast<std::size_t>(w);
        }
        close(fds[1]);
    });
    MappedFile file;
    const bool ok = file.open(("/dev/fd/" + std::to_string(fds[0])).c_str()) == ReadStatus::ok;
    close(fds[0]);  // the reader has its own descriptor
    writer.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::string(file.data(), file.size()), content);
}
