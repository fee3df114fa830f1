// assign_run.cpp - the assigner's run: command line, model, list, outputs, then one
// step per entry.
//
// Memory of a run: the model (k*(d+1) floats), the score matrix (block size * k
// floats, allocated once), k counts, the product library's scratch
// (product.h), and one descriptor file at a time: its matrix (n*(d+1)
// floats, released right after the search), its regions (n*32 bytes) and its
// nearest array (n ints).
#include "assign_run.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "file_clash.h"
#include "list_file.h"

using namespace kmeans;

namespace {

void print_help(const char* program) {
    std::cerr << "Use: " << program << " [OPTION] <list file> <model file> <result file>"
              << std::endl;
    std::cerr << "OPTIONS:" << std::endl;
    std::cerr << "\t-t <number>:\tSIFT type" << std::endl;
    std::cerr << "\t-d <string>:\tSIFT region descriptor file" << std::endl;
    std::cerr << "\t-b <number>:\tBlock size" << std::endl;
    std::cerr << "\t-p <number>:\tNumber of processors" << std::endl;
}

bool wrong_format(const char* path) {
    std::cerr << unreadable_message(ReadStatus::wrong_format, path) << std::endl;
    return false;
}

// One count line: k numbers separated by single spaces, then a line end that
// flushes, so a run followed from outside always sees whole lines.
bool write_counts(std::ostream& out, const int* counts, int k) {
    std::string line;
    line.reserve(std::size_t(k) * 4);
    char number[16];
    for (int j = 0; j < k; ++j) {
        const int len = std::snprintf(number, sizeof number, j == 0 ? "%d" : " %d", counts[j]);
        line.append(number, std::size_t(len));
    }
    out << line << std::endl;
    return bool(out);
}

// The search's memory message (the score matrix R or the product's scratch); false.
bool cannot_allocate_r() {
    std::cerr << "Cannot allocate R. Try to change the block size with a smaller value."
              << std::endl;
    return false;
}

// The product library's scratch for the workers that search a block of `rows` rows.
bool reserve_workers(int rows) { return KMeans::reserveSearch(rows) || cannot_allocate_r(); }

}  // namespace

int accept_assign_options(int argc, char** argv, AssignOptions& options) {
    char bad = 0;
    const ParseResult parsed = parse_assign_options(argc, argv, options, bad);
    if (parsed == ParseResult::version) return print_version(KMEANS_PROGRAM);
    if (!options_accepted(parsed, bad, argv[0], print_help)) return 1;
    KMeans::nb_threads = options.threads;

    std::cout << "list: " << options.listFile << std::endl;
    std::cout << "model: " << options.modelFile << std::endl;
    std::cout << "result: " << options.resultFile << std::endl;
    std::cout << "options: " << std::endl;
    std::cout << "\ttype: " << options.type << std::endl;
    std::cout << "\tdescriptor: " << (options.regionFile ? options.regionFile : "<null>")
              << std::endl;
    std::cout << "\tblock size: " << options.blockSize << std::endl;
    std::cout << "\tp: " << options.threads << std::endl;

    if (options.blockSize < 1) {
        std::cerr << "Error: the block size (-b) must be at least 1." << std::endl;
        return 1;
    }
    if (options.threads < 1) {
        std::cerr << "Error: the number of processors (-p) must be at least 1." << std::endl;
        return 1;
    }
    return -1;
}

bool load_model(const char* path, KMeans& model) {
    const ReadStatus status = model.readModel(path);
    if (status == ReadStatus::ok) return true;
    std::cerr << unreadable_message(status, path) << std::endl;
    return false;
}

bool load_list(const char* path, int& count, std::vector<std::string>& names) {
    ListFile list;
    const ReadStatus opened = list.open(path);
    if (opened != ReadStatus::ok) {
        std::cerr << unreadable_message(opened, path) << std::endl;
        return false;
    }
    if (!list.readCount(count)) return wrong_format(path);
    for (int i = 0; i < count; ++i) {
        std::string name = list.next();
        if (name.empty()) break;
        names.push_back(std::move(name));
    }
    if (list.cutShort()) return wrong_format(path);
    return true;
}

bool assign_rows(const AssignContext& run, int index, const std::string& name,
                 std::unique_ptr<float[]> rows, int n, std::unique_ptr<SiftRegion[]> regions) {
    const KMeans& model = *run.model;
    std::unique_ptr<int[]> nearest(new (std::nothrow) int[std::size_t(n)]);
    if (!nearest) {
        std::cerr << "Cannot allocate the nearest-centre array of '" << name << "'." << std::endl;
        return false;
    }
    if (!reserve_workers(n < run.blockSize ? n : run.blockSize)) return false;
    model.assign(rows.get(), n, model.d, nearest.get(), run.scores, run.blockSize);
    rows.reset();  // the matrix goes as soon as the search is done
    for (int r = 0; r < n; ++r) run.counts[nearest[r]] += 1;
    if (run.regions != nullptr && regions) {
        for (int r = 0; r < n; ++r) {
            regions[r].fileIndex = index;
            regions[r].clusterIndex = nearest[r];
        }
        run.regions->write(reinterpret_cast<const char*>(regions.get()),
                           std::streamsize(std::size_t(n) * sizeof(SiftRegion)));
        run.regions->flush();
        if (!*run.regions) return cannot_write(run.regionPath);
    }
    return true;
}

bool assign_entry(const AssignContext& run, int index, const std::string& name) {
    std::cout << "Proceesing " << index << ": " << name << " ..." << std::endl;
    const int k = run.model->k;
    for (int j = 0; j < k; ++j) run.counts[j] = 0;
    float* matrix = nullptr;
    SiftRegion* records = nullptr;
    int n = 0;
    int dim = 0;
    ReadStatus status = ReadStatus::ok;
    switch (run.type) {
    case 0: status = read_sift_0(name.c_str(), matrix, n, dim, run.model->d); break;
    case 1: status = read_sift_1(name.c_str(), matrix, n, dim, run.model->d, records); break;
    case 3: status = read_sift_3(name.c_str(), matrix, n, dim, run.model->d, records); break;
    default: std::cerr << "This type has not been supported" << std::endl; break;
    }
    if (status != ReadStatus::ok) std::cerr << entry_message(status, name.c_str()) << std::endl;
    std::unique_ptr<float[]> rows(matrix);
    std::unique_ptr<SiftRegion[]> regions(records);
    if (rows && n > 0 && !assign_rows(run, index, name, std::move(rows), n, std::move(regions)))
        return false;
    // An entry that did not read counts nothing: its line of zeros.
    if (!write_counts(*run.result, run.counts, k)) return cannot_write(run.resultPath);
    return true;
}

// Up front, the product's set-up and one worker's scratch, which every search
// needs: a limit too tight for them stops the run before any output exists. The
// workers beyond are reserved entry by entry (reserve_workers), for the block that
// entry searches: a worker takes 16 rows, so with -b 50000 and -p 2000 a list of
// small files runs a few workers each, and reserving for the 2000 that a full block
// could use would ask for tens of gigabytes that no search ever touches.
bool allocate_scores(int blockSize, int k, std::unique_ptr<float[]>& scores) {
    scores.reset(new (std::nothrow) float[std::size_t(blockSize) * std::size_t(k)]);
    return scores ? reserve_workers(1) : cannot_allocate_r();
}

bool open_outputs(const AssignOptions& options, int k, AssignOutputs& outputs) {
    const char* regionFile = options.regionFile;
    // Every name the list holds, read before any output is created: an output that
    // names an input (the list, the model, a descriptor file) or the other output
    // would destroy it. Entries past the list's last name are empty.
    if (!load_list(options.listFile, outputs.count, outputs.names)) return false;
    std::vector<std::string> inputs = {options.listFile, options.modelFile};
    inputs.insert(inputs.end(), outputs.names.begin(), outputs.names.end());
    const std::string clash =
        find_file_clash(inputs, {options.resultFile, regionFile ? regionFile : ""});
    if (!clash.empty()) {
        std::cerr << clash << std::endl;
        return false;
    }

    // The region file is created before the result file and before any entry is
    // read: records that cannot be written must stop the run, not vanish.
    if (regionFile != nullptr) {
        outputs.regions.open(regionFile, std::ios::out | std::ios::binary | std::ios::trunc);
        if (!outputs.regions) return cannot_write(regionFile);
    }
    outputs.result.open(options.resultFile, std::ios::out | std::ios::trunc);
    if (!outputs.result) return cannot_write(options.resultFile);
    outputs.result << outputs.count << ' ' << k << std::endl;
    if (!outputs.result) return cannot_write(options.resultFile);
    return true;
}

bool close_outputs(const AssignOptions& options, AssignOutputs& outputs) {
    outputs.result.close();
    if (!outputs.result) return cannot_write(options.resultFile);
    if (options.regionFile != nullptr) {
        outputs.regions.close();
        if (!outputs.regions) return cannot_write(options.regionFile);
    }
    return true;
}

AssignContext assign_context(const AssignOptions& options, const KMeans& model, float* scores,
                             int* counts, std::ostream& result, std::ostream& regions) {
    return AssignContext{&model,
                         options.type,
                         options.blockSize,
                         scores,
                         counts,
                         &result,
                         options.regionFile != nullptr ? &regions : nullptr,
                         options.resultFile,
                         options.regionFile};
}

int run_assign(const AssignOptions& options) {
    KMeans model;
    if (!load_model(options.modelFile, model)) return 1;
    const int k = model.k;
    std::unique_ptr<float[]> scores;
    if (!allocate_scores(options.blockSize, k, scores)) return 1;
    AssignOutputs outputs;
    if (!open_outputs(options, k, outputs)) return 1;
    std::unique_ptr<int[]> counts(new int[std::size_t(k)]);

    const AssignContext run =
        assign_context(options, model, scores.get(), counts.get(), outputs.result, outputs.regions);
    for (int i = 0; i < outputs.count; ++i) {
        const std::size_t at = std::size_t(i);
        if (!assign_entry(run, i, at < outputs.names.size() ? outputs.names[at] : "")) return 1;
    }
    return close_outputs(options, outputs) ? 0 : 1;
}
