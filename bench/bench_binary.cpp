// bench_binary - how fast the trainer's data file reader fills the augmented matrix
// from a file of any format (text, .fvecs, .bvecs, .npy): best of -r runs, in MB of
// file per second. Usage: bench_binary [-r runs] [-p threads] <data file>...
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "data_file.h"

using namespace kmeans;

int main(int argc, char** argv) {
    int runs = 3, threads = 2, opt;
    while ((opt = getopt(argc, argv, "r:p:")) != -1) {
        if (opt == 'r') runs = std::atoi(optarg);
        if (opt == 'p') threads = std::atoi(optarg);
    }
    for (int a = optind; a < argc; ++a) {
        double best = 1e300;
        std::size_t bytes = 0;
        for (int r = 0; r < runs; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            DataFile file;
            int n = 0, d = 0;
            float* m = nullptr;
            if (file.open(argv[a]) != ReadStatus::ok || file.readHeader(n, d) != ReadStatus::ok ||
                file.readBody(n, d, threads, &m) != ReadStatus::ok) {
                std::fprintf(stderr, "cannot read %s\n", argv[a]);
                return 1;
            }
            std::unique_ptr<float[]> matrix(m);
            file.close();
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (s < best) best = s;
            struct stat st;
            bytes = stat(argv[a], &st) == 0 ? std::size_t(st.st_size) : 0;
        }
        std::printf("%-40s %8.3f s  %8.1f MB/s\n", argv[a], best, double(bytes) / best / 1e6);
    }
    return 0;
}
