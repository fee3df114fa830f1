// mpi_run.h - the arguments of mpirun that start a program on R ranks, for the
// end-to-end runs of the MPI drivers: run(MPIRUN, mpi_args(3, program, {...})).
//
// mpirun is told to run as root (the tests run as root in containers), to place more
// ranks than there are cores, and to print none of its own notices, so that standard
// output and error hold the program's bytes alone. It ends the whole job, every
// rank, after `timeoutSeconds` (status 110): a rank left waiting fails the case at
// once and leaves no process behind. Every rank gets `env` ("NAME=value") and
// detect_leaks=0 added to ASAN_OPTIONS: Open MPI leaves memory allocated at exit,
// which LeakSanitizer would report as a failure of a sanitized program.
#ifndef KMEANS_TESTS_MPI_RUN_H
#define KMEANS_TESTS_MPI_RUN_H

#include <cstdlib>
#include <string>
#include <vector>

inline std::vector<std::string> mpi_args(int ranks, const std::string& program,
                                         const std::vector<std::string>& args,
                                         const std::vector<std::string>& env = {},
                                         int timeoutSeconds = 60) {
    std::vector<std::string> line = {"--allow-run-as-root",
                                     "--oversubscribe",
                                     "--quiet",
                                     "--timeout",
                                     std::to_string(timeoutSeconds),
                                     "-np",
                                     std::to_string(ranks)};
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string inherited = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
    line.insert(line.end(), {"-x", "ASAN_OPTIONS=" + inherited + "detect_leaks=0"});
    for (const std::string& e : env) line.insert(line.end(), {"-x", e});
    line.push_back(program);
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

#endif
