// options.h - the command lines of the trainer and the assigner, parsed with getopt_long
// (its own messages off) into plain settings: the short options of each program, and
// --version, the one long option every program answers. Parsing never exits: the
// drivers print the messages and choose the exit status.
#ifndef KMEANS_OPTIONS_H
#define KMEANS_OPTIONS_H

// Worker threads of the search unless -p says otherwise, in both programs.
constexpr int kDefaultThreads = 4;

enum class ParseResult {
    ok,
    unknown_option,  // an option letter not in the string, or one missing its value
    usage,           // too few or too many operands, or another getopt surprise
    version,         // --version, met before any mistake; the operands are not checked
    help,            // --help, likewise
};

struct TrainerOptions {
    int maxIter = 30;
    int k = 1000;
    int blockSize = -1;  // below 1: estimate it
    const char* minClusterFile = nullptr;
    int threads = kDefaultThreads;
    const char* dataFile = nullptr;
    const char* modelFile = nullptr;
    // The long options, as given (null or false when not): checked by the driver.
    const char* init = nullptr;        // --init: random, kmeans++ or a model file
    const char* seed = nullptr;        // --seed
    const char* restarts = nullptr;    // --restarts
    const char* tol = nullptr;         // --tol
    const char* empty = nullptr;       // --empty: keep or split
    const char* prune = nullptr;       // --prune: off, on or always
    const char* labelsFile = nullptr;  // --labels
    bool quiet = false;                // --quiet
};

struct AssignOptions {
    int type = 0;
    const char* regionFile = nullptr;
    int blockSize = 50000;
    int threads = kDefaultThreads;
    const char* listFile = nullptr;
    const char* modelFile = nullptr;
    const char* resultFile = nullptr;
    // Long options only.
    const char* labelFile = nullptr;  // --labels=FILE: every descriptor's cluster index
    bool quiet = false;               // --quiet: errors and the closing line only
};

// "i:k:b:m:p:" and the trainers' long options, then <data file> <model file>, no more
// operands.
// `bad` receives the offending option character on unknown_option, '-' for a long
// option other than --version (or --version given a value): "Unknown option --", as
// getopt has always answered any "--word".
ParseResult parse_trainer_options(int argc, char** argv, TrainerOptions& options, char& bad);

// "b:d:t:p:" then <list file> <model file> <result file>, no more operands. The region file is
// dropped for type 0, which has no regions. Long options: --labels=FILE, --quiet,
// --help and --version (each met before any mistake); any other
// "--word", or one of these given a value it does not take or missing one, is '-'.
ParseResult parse_assign_options(int argc, char** argv, AssignOptions& options, char& bad);

// Reports a command line that was not accepted: "Unknown option -x" (for
// unknown_option) and the usage text through `help`, on standard error. Returns true
// when the result is ok and nothing was printed.
bool options_accepted(ParseResult result, char bad, const char* program,
                      void (*help)(const char* program));

// "<program> <version>" on standard output, the version being the build's
// (CMakeLists.txt: project VERSION); returns 0, the exit status of a --version
// (which the drivers' option acceptance answers: under MPI, only rank 0 speaks).
int print_version(const char* program);

// strtol in base 10, unvalidated as the options have always been read ("abc" is 0,
// "12x" is 12); values beyond int saturate instead of wrapping.
int option_value(const char* text);

#endif
