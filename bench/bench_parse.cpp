// bench_parse - text parsing speed of the readers against formatted stream extraction.
//
//   bench_parse [-r <reps>] [-l <type-1 list file>] [<data file>]
//
// Trainer data file: reads all n*d values into the augmented n x (d+1) matrix
// (column d = -0.5) three ways - std::ifstream >> float, DataFile::readBody with one
// thread and with two - best of <reps> (default 3) each, checks the three matrices are
// bit-identical, and prints MB/s and the speed-up over the stream.
//
// Type-1 descriptor files (-l): reads every listed file with read_sift_1 and with a
// stream loop doing the same work (">> float" for x y a b c and the d values, then the
// same region decomposition), best of <reps> each over the whole list, checks that
// matrices and regions are identical, and prints the speed-up.
//
// The files are read once before any timing, so every method finds them in the page
// cache. Lines starting with "RESULT" carry the numbers as key=value pairs.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "data_file.h"
#include "sift_io.h"

using namespace kmeans;

namespace {

using bench::now;

struct Matrix {
    std::unique_ptr<float[]> cells;
    int n = 0;
    int d = 0;
    std::size_t size() const { return std::size_t(n) * (std::size_t(d) + 1); }
};

bool same(const Matrix& a, const Matrix& b) {
    return a.n == b.n && a.d == b.d && a.cells && b.cells &&
           std::memcmp(a.cells.get(), b.cells.get(), a.size() * sizeof(float)) == 0;
}

bool read_stream(const char* path, Matrix& m) {
    std::ifstream in(path);
    int n = 0, d = 0;
    if (!(in >> n >> d) || n < 1 || d < 1) return false;
    m.n = n;
    m.d = d;
    m.cells.reset(new float[m.size()]);
    const std::size_t width = std::size_t(d) + 1;
    for (std::size_t i = 0; i < std::size_t(n); ++i) {
        float* row = m.cells.get() + i * width;
        for (int j = 0; j < d; ++j) in >> row[j];
        row[d] = -0.5f;
    }
    return bool(in);
}

bool read_data_file(const char* path, int threads, Matrix& m) {
    DataFile file;
    if (file.open(path) != ReadStatus::ok) return false;
    if (file.readHeader(m.n, m.d) != ReadStatus::ok) return false;
    float* cells = nullptr;
    if (file.readBody(m.n, m.d, threads, &cells) != ReadStatus::ok) return false;
    file.close();
    m.cells.reset(cells);
    return true;
}

// Best time of `reps` runs of read(m); m keeps the last result.
template <class Read>
double best_of(int reps, Matrix& m, Read read, bool& ok) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        m.cells.reset();  // the previous result's memory is released before timing
        const double t0 = now();
        ok = read(m);
        const double t = now() - t0;
        if (!ok) return t;
        if (t < best) best = t;
    }
    return best;
}

int bench_data(const char* path, int reps) {
    const long long bytes = bench::warm(path);
    if (bytes < 0) {
        std::cerr << "Cannot open " << path << std::endl;
        return 1;
    }
    const double mb = double(bytes) / 1e6;
    Matrix ref, one, two;
    bool ok = false;
    const double tStream = best_of(
        reps, ref, [&](Matrix& m) { return read_stream(path, m); }, ok);
    if (!ok) {
        std::cerr << "ifstream could not read " << path << std::endl;
        return 1;
    }
    const double tOne = best_of(
        reps, one, [&](Matrix& m) { return read_data_file(path, 1, m); }, ok);
    if (!ok) {
        std::cerr << "DataFile could not read " << path << std::endl;
        return 1;
    }
    const bool sameOne = same(ref, one);
    one.cells.reset();
    const double tTwo = best_of(
        reps, two, [&](Matrix& m) { return read_data_file(path, 2, m); }, ok);
    if (!ok) {
        std::cerr << "DataFile could not read " << path << std::endl;
        return 1;
    }
    const bool sameTwo = same(ref, two);

    std::printf("data file %s: %.1f MB, n = %d, d = %d, best of %d\n", path, mb, ref.n, ref.d,
                reps);
    std::printf("  %-24s %9.3f s %9.1f MB/s %7.2fx\n", "ifstream >> float", tStream, mb / tStream,
                1.0);
    std::printf("  %-24s %9.3f s %9.1f MB/s %7.2fx\n", "DataFile, 1 thread", tOne, mb / tOne,
                tStream / tOne);
    std::printf("  %-24s %9.3f s %9.1f MB/s %7.2fx\n", "DataFile, 2 threads", tTwo, mb / tTwo,
                tStream / tTwo);
    std::printf("  matrices bit-identical: %s\n", sameOne && sameTwo ? "yes" : "NO");
    std::printf(
        "RESULT data_mb=%.3f data_stream_s=%.6f data_df1_s=%.6f data_df2_s=%.6f "
        "data_stream_mbps=%.2f data_df1_mbps=%.2f data_df2_mbps=%.2f "
        "data_df1_ratio=%.3f data_df2_ratio=%.3f data_identical=%d\n",
        mb, tStream, tOne, tTwo, mb / tStream, mb / tOne, mb / tTwo, tStream / tOne, tStream / tTwo,
        sameOne && sameTwo ? 1 : 0);
    return sameOne && sameTwo ? 0 : 2;
}

// ------------------------------------------------------------------ type-1 files

struct Sift {
    std::unique_ptr<float[]> cells;
    std::unique_ptr<SiftRegion[]> regions;
    int n = 0;
    int d = 0;
};

bool sift_library(const std::string& name, int dim, Sift& s) {
    float* m = nullptr;
    SiftRegion* r = nullptr;
    read_sift_1(name.c_str(), m, s.n, s.d, dim, r);
    s.cells.reset(m);
    s.regions.reset(m ? r : nullptr);
    return m != nullptr;
}

bool sift_stream(const std::string& name, int dim, Sift& s) {
    std::ifstream in(name);
    if (!(in >> s.d >> s.n) || s.d != dim || s.n < 1) return false;
    const std::size_t width = std::size_t(dim) + 1;
    s.cells.reset(new float[std::size_t(s.n) * width]);
    s.regions.reset(new SiftRegion[std::size_t(s.n)]);
    for (std::size_t i = 0; i < std::size_t(s.n); ++i) {
        SiftRegion& g = s.regions[i];
        float a, b, c;
        in >> g.x >> g.y >> a >> b >> c;
        g.fileIndex = 0;
        g.clusterIndex = 0;
        decompose(a, b, c, g.a11, g.a12, g.a21, g.a22);
        float* row = s.cells.get() + i * width;
        for (int j = 0; j < dim; ++j) in >> row[j];
        row[dim] = -0.5f;
    }
    return bool(in);
}

bool same_sift(const Sift& a, const Sift& b) {
    if (a.n != b.n || a.d != b.d || !a.cells || !b.cells || !a.regions || !b.regions) return false;
    return std::memcmp(a.cells.get(), b.cells.get(),
                       std::size_t(a.n) * (std::size_t(a.d) + 1) * sizeof(float)) == 0 &&
           std::memcmp(a.regions.get(), b.regions.get(), std::size_t(a.n) * sizeof(SiftRegion)) ==
               0;
}

template <class Read>
double best_over_list(int reps, const std::vector<std::string>& names, int dim, Read read,
                      long long& rows, bool& ok) {
    double best = 1e300;
    bench::QuietCout quiet;
    for (int r = 0; r < reps; ++r) {
        rows = 0;
        double total = 0;
        for (const std::string& name : names) {
            Sift s;
            const double t0 = now();
            ok = read(name, dim, s);
            total += now() - t0;
            if (!ok) return total;
            rows += s.n;
        }
        if (total < best) best = total;
    }
    return best;
}

int bench_sift(const char* list, int reps) {
    const std::vector<std::string> names = bench::read_list(list);
    if (names.empty()) {
        std::cerr << "Cannot read the list " << list << std::endl;
        return 1;
    }
    long long bytes = 0;
    for (const std::string& name : names) {
        const long long b = bench::warm(name);
        if (b < 0) {
            std::cerr << "Cannot open " << name << std::endl;
            return 1;
        }
        bytes += b;
    }
    int dim = 0;
    {
        std::ifstream in(names[0]);
        in >> dim;
    }
    const double mb = double(bytes) / 1e6;
    long long rows = 0;
    bool ok = false;
    const double tStream = best_over_list(reps, names, dim, sift_stream, rows, ok);
    if (!ok) {
        std::cerr << "ifstream could not read the listed files" << std::endl;
        return 1;
    }
    const double tLib = best_over_list(reps, names, dim, sift_library, rows, ok);
    if (!ok) {
        std::cerr << "read_sift_1 could not read the listed files" << std::endl;
        return 1;
    }
    bool identical = true;
    {
        bench::QuietCout quiet;
        for (const std::string& name : names) {
            Sift a, b;
            identical = sift_stream(name, dim, a) && sift_library(name, dim, b) &&
                        same_sift(a, b) && identical;
        }
    }
    std::printf("type-1 list %s: %zu files, %lld descriptors, %.1f MB, best of %d\n", list,
                names.size(), rows, mb, reps);
    std::printf("  %-24s %9.3f s %9.1f MB/s %7.2fx\n", "ifstream >> float", tStream, mb / tStream,
                1.0);
    std::printf("  %-24s %9.3f s %9.1f MB/s %7.2fx\n", "read_sift_1", tLib, mb / tLib,
                tStream / tLib);
    std::printf("  descriptors and regions identical: %s\n", identical ? "yes" : "NO");
    std::printf(
        "RESULT sift1_mb=%.3f sift1_files=%zu sift1_rows=%lld sift1_stream_s=%.6f "
        "sift1_lib_s=%.6f sift1_ratio=%.3f sift1_identical=%d\n",
        mb, names.size(), rows, tStream, tLib, tStream / tLib, identical ? 1 : 0);
    return identical ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 3;
    const char* list = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "r:l:")) != -1) {
        switch (opt) {
        case 'r': reps = std::atoi(optarg); break;
        case 'l': list = optarg; break;
        default:
            std::cerr << "Use: " << argv[0] << " [-r <reps>] [-l <type-1 list file>] [<data file>]"
                      << std::endl;
            return 1;
        }
    }
    if (reps < 1) reps = 1;
    const char* data = optind < argc ? argv[optind] : nullptr;
    if (data == nullptr && list == nullptr) {
        std::cerr << "Use: " << argv[0] << " [-r <reps>] [-l <type-1 list file>] [<data file>]"
                  << std::endl;
        return 1;
    }
    int status = 0;
    if (data != nullptr) status = bench_data(data, reps);
    if (list != nullptr) {
        const int s = bench_sift(list, reps);
        if (status == 0) status = s;
    }
    return status;
}
