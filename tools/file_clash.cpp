// file_clash.cpp - see file_clash.h.
#include "file_clash.h"

#include <sys/stat.h>

#include "atomic_file.h"

using namespace kmeans;

namespace {

struct Identity {
    bool skip = false;    // empty name, or an existing file that is not regular
    bool exists = false;  // then dev/ino name it
    dev_t dev = 0;
    ino_t ino = 0;
    std::string resolved;  // where it does not exist: resolve_output_path's answer
};

Identity identify(const std::string& path) {
    Identity id;
    if (path.empty()) {
        id.skip = true;
        return id;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.skip = !S_ISREG(st.st_mode);
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        return id;
    }
    // Not there yet: the name it would be created under, every link followed (a link
    // to a file that does not exist yet names that file). A path that can name no
    // file (a loop, a missing directory) is compared as spelled; it cannot be written.
    if (!resolve_output_path(path.c_str(), id.resolved)) id.resolved = path;
    return id;
}

bool same(const Identity& a, const Identity& b) {
    if (a.skip || b.skip || a.exists != b.exists) return false;
    return a.exists ? a.dev == b.dev && a.ino == b.ino : a.resolved == b.resolved;
}

}  // namespace

std::string find_file_clash(const std::vector<std::string>& inputs,
                            const std::vector<std::string>& outputs) {
    std::vector<Identity> in;
    for (const std::string& path : inputs) in.push_back(identify(path));
    std::vector<Identity> out;
    for (const std::string& path : outputs) out.push_back(identify(path));
    for (std::size_t o = 0; o < out.size(); ++o) {
        for (std::size_t i = 0; i < in.size(); ++i)
            if (same(out[o], in[i]))
                return "Error: '" + outputs[o] + "' is also an input: '" + inputs[i] + "'.";
        for (std::size_t p = 0; p < o; ++p)
            if (same(out[o], out[p]))
                return "Error: '" + outputs[o] + "' is also an output: '" + outputs[p] + "'.";
    }
    return "";
}
