// train_settings.cpp - the trainers' long options, the starting model and the labels.
#include "train_settings.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "atomic_file.h"
#include "npy_header.h"
#include "text_scan.h"

using namespace kmeans;

namespace {

bool refuse(const char* option, const char* value, const char* wanted) {
    std::cerr << "Error: --" << option << "=" << value << ": " << wanted << "." << std::endl;
    return false;
}

// Whether --init names a model file rather than a seeding.
bool init_is_model(const char* init) {
    return init != nullptr && std::strcmp(init, "random") != 0 &&
           std::strcmp(init, "kmeans++") != 0;
}

}  // namespace

void echo_train_settings(const TrainerOptions& o) {
    const struct {
        const char* name;
        const char* value;
    } given[] = {{"init", o.init},  {"seed", o.seed},   {"restarts", o.restarts},
                 {"tol", o.tol},    {"empty", o.empty}, {"labels", o.labelsFile},
                 {"prune", o.prune}};
    for (const auto& g : given)
        if (g.value != nullptr) std::cout << "\t" << g.name << ": " << g.value << std::endl;
}

bool train_settings(const TrainerOptions& o, TrainSettings& s) {
    if (o.init != nullptr) {
        if (std::strcmp(o.init, "kmeans++") == 0)
            s.init = TrainSettings::Init::kmeanspp;
        else if (init_is_model(o.init))
            s.init = TrainSettings::Init::given;
    }
    if (o.seed != nullptr) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(o.seed, &end, 10);
        if (*o.seed < '0' || *o.seed > '9' || *end != '\0' || errno == ERANGE)
            return refuse("seed", o.seed, "a whole number from 0 to 2^64 - 1");
        s.seeded = true;
        s.seed = v;
    }
    if (o.restarts != nullptr) {
        s.restarts = option_value(o.restarts);
        if (s.restarts < 1) return refuse("restarts", o.restarts, "at least 1");
        if (s.restarts > 1 && s.init == TrainSettings::Init::given)
            return refuse("restarts", o.restarts, "restarts need a seeding, not a model file");
    }
    if (o.tol != nullptr) {
        char* end = nullptr;
        s.tol = std::strtod(o.tol, &end);
        if (end == o.tol || *end != '\0' || !(s.tol >= 0) || !std::isfinite(s.tol))
            return refuse("tol", o.tol, "a number at least 0");
    }
    if (o.empty != nullptr) {
        if (std::strcmp(o.empty, "split") == 0)
            s.splitEmpty = true;
        else if (std::strcmp(o.empty, "keep") != 0)
            return refuse("empty", o.empty, "keep or split");
    }
    if (o.prune != nullptr) {
        if (std::strcmp(o.prune, "off") == 0)
            s.prune = TrainSettings::Prune::off;
        else if (std::strcmp(o.prune, "on") == 0)
            s.prune = TrainSettings::Prune::on;
        else if (std::strcmp(o.prune, "always") == 0)
            s.prune = TrainSettings::Prune::always;
        else
            return refuse("prune", o.prune, "off, on or always");
    }
    return true;
}

bool prepare_model(TrainerOptions& options, KMeans& model) {
    TrainSettings settings;
    if (!train_settings(options, settings)) return false;
    model.configure(settings);
    if (settings.init != TrainSettings::Init::given) return true;
    const ReadStatus status = model.readModel(options.init);
    if (status != ReadStatus::ok) {
        std::cerr << unreadable_message(status, options.init) << std::endl;
        return false;
    }
    options.k = model.k;
    return true;
}

bool model_fits(const TrainerOptions& options, const KMeans& model, int d) {
    if (!init_is_model(options.init) || model.d == d) return true;
    std::cerr << "Error: the model '" << options.init << "' has " << model.d
              << " dimensions, the data file " << d << "." << std::endl;
    return false;
}

bool write_indices(const char* path, const int* labels, int n, bool npy) {
    AtomicFile file;
    if (!file.open(path)) return false;
    std::FILE* f = file.stream();
    bool ok;
    if (npy) {
        // int32 in the machine's order, which the header says is little-endian.
        static_assert(sizeof(int) == 4, "labels are int32");
        const std::string header = npy_header("<i4", "(" + std::to_string(n) + ",)");
        ok = std::fwrite(header.data(), 1, header.size(), f) == header.size() &&
             std::fwrite(labels, sizeof(int), std::size_t(n), f) == std::size_t(n);
    } else {
        ok = std::fprintf(f, "%d\n", n) > 0;
        for (int i = 0; ok && i < n; ++i) ok = std::fprintf(f, "%d\n", labels[i]) > 0;
    }
    return ok && file.commit();
}
