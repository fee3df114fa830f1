// The trainers on .fvecs, .bvecs and .npy data files: the same bytes as from the same
// values in text, and the refusals of what is not such a file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli_util.h"
#include "support/temp_dir.h"

namespace {

const std::string kMt = KMEANS_MT;
const std::string kSt = KMEANS_ST;

std::string le32(std::int32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[std::size_t(i)] = char((std::uint32_t(v) >> (8 * i)) & 0xff);
    return s;
}

template <class T>
std::string bytes_of(const T& v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

// A .npy file of version 1.0: magic, header length, the dictionary padded with spaces
// and a line end to a multiple of 64 bytes, then the values.
std::string npy(const std::string& descr, const std::string& shape, const std::string& body,
                const std::string& order = "False") {
    std::string dict =
        "{'descr': '" + descr + "', 'fortran_order': " + order + ", 'shape': " + shape + ", }";
    while ((10 + dict.size() + 1) % 64 != 0) dict += ' ';
    dict += '\n';
    std::string out = "\x93NUMPY";
    out += '\x01';
    out += '\x00';
    out += char(dict.size() & 0xff);
    out += char(dict.size() >> 8);
    return out + dict + body;
}

struct Values {
    int n, d;
    std::vector<float> v;
};

class BinaryCli : public TempDirTest {
protected:
    // The same data in every format that can hold it; bytes = false leaves .bvecs and the
    // uint8 .npy out (values that are not bytes).
    void write_all(const Values& x, bool bytes) {
        std::string text = std::to_string(x.n) + " " + std::to_string(x.d) + "\n";
        std::string fvecs, bvecs, f4, f8, u1;
        char number[32];
        for (int i = 0; i < x.n; ++i) {
            fvecs += le32(x.d);
            bvecs += le32(x.d);
            for (int j = 0; j < x.d; ++j) {
                const float f = x.v[std::size_t(i) * x.d + j];
                std::snprintf(number, sizeof number, "%.9g ", double(f));
                text += number;
                fvecs += bytes_of(f);
                f4 += bytes_of(f);
                f8 += bytes_of(double(f));
                bvecs += char(static_cast<unsigned char>(f));
                u1 += char(static_cast<unsigned char>(f));
            }
            text += "\n";
        }
        const std::string shape = "(" + std::to_string(x.n) + ", " + std::to_string(x.d) + ")";
        spit(path("data.txt"), text);
        spit(path("data.fvecs"), fvecs);
        spit(path("f4.npy"), npy("<f4", shape, f4));
        spit(path("f8.npy"), npy("<f8", shape, f8));
        if (bytes) {
            spit(path("data.bvecs"), bvecs);
            spit(path("u1.npy"), npy("|u1", shape, u1));
        }
    }
};

TEST_F(BinaryCli, EveryFormatTrainsToTheSameBytes) {
    unsigned state = 5;
    Values ints{700, 12, {}}, reals{500, 7, {}};
    for (int i = 0; i < ints.n * ints.d; ++i) {
        state = state * 1103515245u + 12345u;
        ints.v.push_back(float((state >> 16) % 256));
    }
    for (int i = 0; i < reals.n * reals.d; ++i) {
        state = state * 1103515245u + 12345u;
        reals.v.push_back(float((state >> 8) % 100000) / 77.0f - 300.0f);
    }
    for (const bool bytes : {true, false}) {
        write_all(bytes ? ints : reals, bytes);
        std::vector<std::string> files = {"data.txt", "data.fvecs", "f4.npy", "f8.npy"};
        if (bytes) files.insert(files.end(), {"data.bvecs", "u1.npy"});
        for (const std::string& prog : {kMt, kSt}) {
            std::string first;  // the output differs by program ("#thread = " lines)
            for (const std::string& f : files) {
                const RunResult r = run(prog, {"-k", "9", "-i", "6", "-m", path("min.txt"), path(f),
                                               path("model.txt")});
                ASSERT_EQ(r.status, 0) << f << ": " << r.err;
                // Everything but the echo of the file's name, the same.
                const std::string out = mask_times(r.out.substr(r.out.find('\n') + 1));
                const std::string got = out + slurp(path("model.txt")) + slurp(path("min.txt"));
                if (first.empty()) first = got;
                EXPECT_TRUE(got == first) << prog << " " << f;
            }
        }
    }
}

TEST_F(BinaryCli, WhatIsNotSuchAFileIsRefused) {
    const std::string row = le32(2) + bytes_of(1.5f) + bytes_of(2.5f);
    const std::string twoRows = bytes_of(1.5f) + bytes_of(2.5f) + bytes_of(3.5f) + bytes_of(4.5f);
    const float nan = std::nanf("");
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty.fvecs", ""},
        {"cut.fvecs", row + row.substr(0, 9)},
        {"other_d.fvecs", row + le32(7) + bytes_of(1.f) + bytes_of(2.f)},  // sizes fit
        {"zero_d.fvecs", le32(0) + le32(0)},
        {"nan.fvecs", row + le32(2) + bytes_of(nan) + bytes_of(1.f)},
        {"cut.bvecs", le32(3) + "abc" + le32(3) + "ab"},
        {"int.npy", npy("<i4", "(2, 2)", std::string(16, '\0'))},
        {"fortran.npy", npy("<f4", "(2, 2)", twoRows, "True")},
        {"three.npy", npy("<f4", "(1, 2, 2)", twoRows)},
        {"lying.npy", npy("<f4", "(3, 2)", twoRows)},
        {"no_rows.npy", npy("<f4", "(0, 2)", "")},
        {"magic.npy", "\x93NUMPZ" + npy("<f4", "(2, 2)", twoRows).substr(6)},
        {"inf.npy", npy("<f8", "(1, 1)", bytes_of(1e300))},
    };
    for (const auto& c : cases) {
        spit(path(c.name), c.content);
        const RunResult r = run(kMt, {"-k", "1", path(c.name), path("model.txt")});
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err, "Error: Wrong format file: '" + path(c.name) + "'.\n") << c.name;
        EXPECT_FALSE(exists(path("model.txt"))) << c.name;
    }
    // Fewer vectors than clusters keeps its own message.
    spit(path("two.fvecs"), row + row);
    const RunResult r = run(kMt, {"-k", "3", path("two.fvecs"), path("model.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "The number of individus is less than the number of cluster.\n");
}

}  // namespace
