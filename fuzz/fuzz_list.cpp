// The assigner's list file: a count, then names.
#include "fuzz_util.h"
#include "list_file.h"

using namespace kmeans;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemFile file(data, size);
    if (!file.ok()) return 0;
    ListFile list;
    if (list.open(file.path()) != ReadStatus::ok) return 0;
    int count = 0;
    if (!list.readCount(count)) return 0;
    if (count < 0) __builtin_trap();
    for (int i = 0; i < count && i < 100000; ++i) {
        const std::string name = list.next();
        for (char c : name)
            if (c == ' ' || c == '\n' || c == '\t') __builtin_trap();
    }
    return 0;
}
