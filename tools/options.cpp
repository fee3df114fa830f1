// options.cpp - the trainer's and the assigner's command lines: getopt_long over the
// option letters and --version, the numeric values as strtol reads them, and the usage
// report.
#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <iostream>

int option_value(const char* text) {
    const long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
}

// Restarts getopt so a process (a test, a fuzzer) may parse more than once. optind = 0
// (not 1) is glibc's request for a full reinitialisation, which also forgets the
// position inside a cluster of short options ("-k5p2") that optind = 1 would keep;
// other C libraries need optreset instead. opterr = 0: the drivers word the messages.
static void reset_getopt() {
    opterr = 0;
    optind = 0;
}

// getopt_long's answer for --version: beyond every char, so no option letter can be
// mistaken for it. Each program's table of long options follows its parser.
constexpr int kVersionOption = 0x100;

// The character reported for a '?' from getopt_long: the short option's letter, or '-'
// for an unknown long option (optopt 0) or a long one given a value it does not take,
// or missing one (optopt its code, from kVersionOption up).
static char offending(int optopt_value) {
    return optopt_value == 0 || optopt_value >= kVersionOption ? '-' : char(optopt_value);
}

// The trainers' long options: --version and --help, and the training settings, each
// answered by its own code beyond every char.
enum TrainerLong { kInit = 0x101, kSeed, kRestarts, kTol, kEmpty, kLabels, kQuiet, kHelp, kPrune };
static const option kTrainerLongOptions[] = {
    {"version", no_argument, nullptr, kVersionOption},
    {"help", no_argument, nullptr, kHelp},
    {"init", required_argument, nullptr, kInit},
    {"seed", required_argument, nullptr, kSeed},
    {"restarts", required_argument, nullptr, kRestarts},
    {"tol", required_argument, nullptr, kTol},
    {"empty", required_argument, nullptr, kEmpty},
    {"labels", required_argument, nullptr, kLabels},
    {"quiet", no_argument, nullptr, kQuiet},
    {"prune", required_argument, nullptr, kPrune},
    {nullptr, 0, nullptr, 0},
};

ParseResult parse_trainer_options(int argc, char** argv, TrainerOptions& o, char& bad) {
    reset_getopt();
    int opt;
    while ((opt = getopt_long(argc, argv, "i:k:b:m:p:", kTrainerLongOptions, nullptr)) != -1) {
        switch (opt) {
        case 'i': o.maxIter = option_value(optarg); break;
        case 'k': o.k = option_value(optarg); break;
        case 'b': o.blockSize = option_value(optarg); break;
        case 'm': o.minClusterFile = optarg; break;
        case 'p': o.threads = option_value(optarg); break;
        case kInit: o.init = optarg; break;
        case kSeed: o.seed = optarg; break;
        case kRestarts: o.restarts = optarg; break;
        case kTol: o.tol = optarg; break;
        case kEmpty: o.empty = optarg; break;
        case kLabels: o.labelsFile = optarg; break;
        case kQuiet: o.quiet = true; break;
        case kPrune: o.prune = optarg; break;
        case kHelp: return ParseResult::help;
        case kVersionOption: return ParseResult::version;
        case '?': bad = offending(optopt); return ParseResult::unknown_option;
        default: return ParseResult::usage;
        }
    }
    // Exactly two operands: a third (a glob that matched two data files, say) would
    // otherwise be dropped while the second was overwritten as the model.
    if (argc - optind != 2) return ParseResult::usage;
    o.dataFile = argv[optind];
    o.modelFile = argv[optind + 1];
    return ParseResult::ok;
}

// The assigner's long options, beside its letters: getopt_long's answers are past
// every char, as kVersionOption is.
constexpr int kAssignLabels = 0x101;
constexpr int kAssignQuiet = 0x102;
constexpr int kAssignHelp = 0x103;
static const option kAssignLongOptions[] = {
    {"version", no_argument, nullptr, kVersionOption},
    {"labels", required_argument, nullptr, kAssignLabels},
    {"quiet", no_argument, nullptr, kAssignQuiet},
    {"help", no_argument, nullptr, kAssignHelp},
    {nullptr, 0, nullptr, 0},
};

ParseResult parse_assign_options(int argc, char** argv, AssignOptions& o, char& bad) {
    reset_getopt();
    int opt;
    while ((opt = getopt_long(argc, argv, "b:d:t:p:", kAssignLongOptions, nullptr)) != -1) {
        switch (opt) {
        case 'b': o.blockSize = option_value(optarg); break;
        case 'd': o.regionFile = optarg; break;
        case 't': o.type = option_value(optarg); break;
        case 'p': o.threads = option_value(optarg); break;
        case kAssignLabels: o.labelFile = optarg; break;
        case kAssignQuiet: o.quiet = true; break;
        case kAssignHelp: return ParseResult::help;
        case kVersionOption: return ParseResult::version;
        case '?':  // a long option's mistake (optopt its answer, or 0) is '-'
            bad = optopt == 0 || optopt > 0xff ? '-' : char(optopt);
            return ParseResult::unknown_option;
        default: return ParseResult::usage;
        }
    }
    if (argc - optind != 3) return ParseResult::usage;  // exactly three, as above
    o.listFile = argv[optind];
    o.modelFile = argv[optind + 1];
    o.resultFile = argv[optind + 2];
    if (o.type == 0) o.regionFile = nullptr;
    return ParseResult::ok;
}

bool options_accepted(ParseResult result, char bad, const char* program,
                      void (*help)(const char* program)) {
    if (result == ParseResult::ok) return true;
    if (result == ParseResult::unknown_option) std::cerr << "Unknown option -" << bad << std::endl;
    help(program);
    return false;
}

int print_version(const char* program) {
    std::cout << program << " " << KMEANS_VERSION << std::endl;
    return 0;
}
