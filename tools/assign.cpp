// assign.cpp - the assigner driver: reads a model, then every descriptor file named
// by a list file (SIFT type 0, 1 or 3), gives each descriptor its nearest centre and
// writes one line of per-cluster counts per file; with -d it also writes every
// descriptor's 32-byte region record, stamped with its file and cluster index.
//
// Memory of a run: the model (k*(d+1) floats), the score matrix R (block size * k
// floats, allocated once), k counts, and one descriptor file at a time: its matrix
// (n*(d+1) floats, released right after the search), its regions (n*32 bytes) and
// its nearest array (n ints).
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "file_clash.h"
#include "kmeans.h"
#include "list_file.h"
#include "options.h"
#include "sift_io.h"

static void print_help(const char* program) {
    std::cerr << "Use: " << program << " [OPTION] <list file> <model file> <result file>"
              << std::endl;
    std::cerr << "OPTIONS:" << std::endl;
    std::cerr << "\t-t <number>:\tSIFT type" << std::endl;
    std::cerr << "\t-d <string>:\tSIFT region descriptor file" << std::endl;
    std::cerr << "\t-b <number>:\tBlock size" << std::endl;
    std::cerr << "\t-p <number>:\tNumber of processors" << std::endl;
}

// One count line: k numbers separated by single spaces, then a line end that
// flushes, so a run followed from outside always sees whole lines.
static bool write_counts(std::ostream& out, const int* counts, int k) {
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

int main(int argc, char** argv) {
    KMeans::nb_threads = 4;
    AssignOptions options;
    char bad = 0;
    const ParseResult parsed = parse_assign_options(argc, argv, options, bad);
    if (!options_accepted(parsed, bad, argv[0], print_help)) return 1;
    KMeans::nb_threads = options.threads;
    const int blockSize = options.blockSize;
    const int type = options.type;
    const char* regionFile = options.regionFile;
    const char* listPath = options.listFile;
    const char* modelPath = options.modelFile;
    const char* resultPath = options.resultFile;

    std::cout << "list: " << listPath << std::endl;
    std::cout << "model: " << modelPath << std::endl;
    std::cout << "result: " << resultPath << std::endl;
    std::cout << "options: " << std::endl;
    std::cout << "\ttype: " << type << std::endl;
    std::cout << "\tdescriptor: " << (regionFile ? regionFile : "<null>") << std::endl;
    std::cout << "\tblock size: " << blockSize << std::endl;
    std::cout << "\tp: " << KMeans::nb_threads << std::endl;

    if (blockSize < 1) {
        std::cerr << "Error: the block size (-b) must be at least 1." << std::endl;
        return 1;
    }
    if (KMeans::nb_threads < 1) {
        std::cerr << "Error: the number of processors (-p) must be at least 1." << std::endl;
        return 1;
    }

    KMeans model;
    if (!std::ifstream(modelPath)) {
        std::cerr << "Cannot open file '" << modelPath << "' for reading." << std::endl;
        return 1;
    }
    if (!model.readModel(modelPath)) {
        std::cerr << "Error: Wrong format file: '" << modelPath << "'." << std::endl;
        return 1;
    }
    const int d = model.d;
    const int k = model.k;

    std::unique_ptr<float[]> R(new (std::nothrow) float[std::size_t(blockSize) * std::size_t(k)]);
    if (!R || !KMeans::reserveSearch(blockSize)) {
        std::cerr << "Cannot allocate R. Try to change the block size with a smaller value."
                  << std::endl;
        return 1;
    }

    ListFile list;
    const MapStatus opened = list.open(listPath);
    if (opened == MapStatus::cannot_open) {
        std::cerr << "Cannot open file '" << listPath << "' for reading." << std::endl;
        return 1;
    }
    if (opened != MapStatus::ok) {
        std::cerr << unreadable_message(opened, listPath) << std::endl;
        return 1;
    }
    int count = 0;
    if (!list.readCount(count)) {
        std::cerr << "Error: Wrong format file: '" << listPath << "'." << std::endl;
        return 1;
    }

    // Every name the list holds, read before any output is created: an output that
    // names an input (the list, the model, a descriptor file) or the other output
    // would destroy it. Entries past the list's last name are empty.
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        std::string name = list.next();
        if (name.empty()) break;
        names.push_back(std::move(name));
    }
    if (list.cutShort()) {
        std::cerr << "Error: Wrong format file: '" << listPath << "'." << std::endl;
        return 1;
    }
    std::vector<std::string> inputs = {listPath, modelPath};
    inputs.insert(inputs.end(), names.begin(), names.end());
    const std::string clash =
        find_file_clash(inputs, {resultPath, regionFile ? regionFile : ""});
    if (!clash.empty()) {
        std::cerr << clash << std::endl;
        return 1;
    }

    // An output file that cannot be created or written stops the run.
    const auto write_failed = [](const char* path) {
        std::cerr << "Cannot open file '" << path << "' for writing." << std::endl;
        return 1;
    };
    // Created before the result file and before any entry is read: records that
    // cannot be written must stop the run, not vanish.
    std::ofstream regions;
    if (regionFile != nullptr) {
        regions.open(regionFile, std::ios::out | std::ios::binary | std::ios::trunc);
        if (!regions) return write_failed(regionFile);
    }
    std::ofstream result(resultPath, std::ios::out | std::ios::trunc);
    if (!result) return write_failed(resultPath);
    result << count << ' ' << k << std::endl;
    if (!result) return write_failed(resultPath);
    std::unique_ptr<int[]> counts(new int[std::size_t(k)]);

    for (int i = 0; i < count; ++i) {
        const std::string name = std::size_t(i) < names.size() ? names[std::size_t(i)] : "";
        std::cout << "Proceesing " << i << ": " << name << " ..." << std::endl;
        float* matrix = nullptr;
        SiftRegion* records = nullptr;
        int n = 0;
        int dim = 0;
        switch (type) {
        case 0: read_sift_0(name.c_str(), matrix, n, dim, d); break;
        case 1: read_sift_1(name.c_str(), matrix, n, dim, d, records); break;
        case 3: read_sift_3(name.c_str(), matrix, n, dim, d, records); break;
        default: std::cerr << "This type has not been supported" << std::endl; break;
        }
        std::unique_ptr<float[]> rows(matrix);
        std::unique_ptr<SiftRegion[]> regionRecords(records);
        for (int j = 0; j < k; ++j) counts[j] = 0;
        if (rows && n > 0) {
            std::unique_ptr<int[]> nearest(new (std::nothrow) int[std::size_t(n)]);
            if (!nearest) {
                std::cerr << "Cannot allocate the nearest-centre array of '" << name << "'."
                          << std::endl;
                return 1;
            }
            model.assign(rows.get(), n, dim, nearest.get(), R.get(), blockSize);
            rows.reset();  // the matrix goes as soon as the search is done
            for (int r = 0; r < n; ++r) counts[nearest[r]] += 1;
            if (regionFile != nullptr && regionRecords) {
                for (int r = 0; r < n; ++r) {
                    regionRecords[r].fileIndex = i;
                    regionRecords[r].clusterIndex = nearest[r];
                }
                regions.write(reinterpret_cast<const char*>(regionRecords.get()),
                              std::streamsize(std::size_t(n) * sizeof(SiftRegion)));
                regions.flush();
                if (!regions) return write_failed(regionFile);
            }
        }
        if (!write_counts(result, counts.get(), k)) return write_failed(resultPath);
    }
    result.close();
    if (!result) return write_failed(resultPath);
    if (regionFile != nullptr) {
        regions.close();
        if (!regions) return write_failed(regionFile);
    }
    return 0;
}
