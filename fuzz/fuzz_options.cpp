// Both command lines: the input is split at NUL bytes into arguments.
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words(1, "prog");
    std::string current;
    for (std::size_t i = 0; i < size && words.size() < 64; ++i) {
        if (data[i] == 0) {
            words.push_back(current);
            current.clear();
        } else {
            current += char(data[i]);
        }
    }
    words.push_back(current);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const int argc = int(words.size());
    {
        std::vector<char*> copy(argv);  // getopt may permute the array
        TrainerOptions o;
        char bad = 0;
        if (parse_trainer_options(argc, copy.data(), o, bad) == ParseResult::ok &&
            (o.dataFile == nullptr || o.modelFile == nullptr))
            __builtin_trap();
    }
    {
        std::vector<char*> copy(argv);
        AssignOptions o;
        char bad = 0;
        if (parse_assign_options(argc, copy.data(), o, bad) == ParseResult::ok &&
            (o.listFile == nullptr || o.resultFile == nullptr || (o.type == 0 && o.regionFile)))
            __builtin_trap();
    }
    return 0;
}
