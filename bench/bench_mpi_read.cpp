// bench_mpi_read - how long the ranks of a distributed run take to read their shares
// of a data file (kmeans_mpi's read: count, exclusive prefix sum, fill), from the
// first rank's start to the last rank's end: best of -r runs.
// Usage: mpirun -np R bench_mpi_read [-r runs] [-p threads] <data file>
#include <mpi.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "data_file.h"

using namespace kmeans;

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    int runs = 3, threads = 1, opt;
    while ((opt = getopt(argc, argv, "r:p:")) != -1) {
        if (opt == 'r') runs = std::atoi(optarg);
        if (opt == 'p') threads = std::atoi(optarg);
    }
    if (optind >= argc) {
        if (rank == 0)
            std::fprintf(stderr, "Usage: bench_mpi_read [-r runs] [-p threads] <file>\n");
        MPI_Finalize();
        return 2;
    }
    double best = 1e30;
    int rows = 0;
    for (int r = 0; r < runs; ++r) {
        MPI_Barrier(MPI_COMM_WORLD);
        const double start = MPI_Wtime();
        DataFile file;
        int n = 0, d = 0, first = 0;
        std::uint64_t values = 0, before = 0;
        float* m = nullptr;
        bool ok = file.open(argv[optind]) == ReadStatus::ok &&
                  file.readHeader(n, d) == ReadStatus::ok &&
                  file.countShare(rank, size, values) == ReadStatus::ok;
        MPI_Exscan(&values, &before, 1, MPI_UINT64_T, MPI_SUM, MPI_COMM_WORLD);
        if (rank == 0) before = 0;
        ok = ok &&
             file.readShare(n, d, rank, size, before, threads, &m, first, rows) == ReadStatus::ok;
        delete[] m;
        const double took = MPI_Wtime() - start;
        double longest = 0;
        MPI_Reduce(&took, &longest, 1, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
        if (!ok) std::fprintf(stderr, "rank %d: cannot read %s\n", rank, argv[optind]);
        if (longest < best) best = longest;
    }
    if (rank == 0)
        std::printf("%s: %d ranks, -p %d: %.3f s (rank 0 holds %d rows)\n", argv[optind], size,
                    threads, best, rows);
    MPI_Finalize();
    return 0;
}
