// assign_run.cpp - the assigner's run: command line, model, list, outputs, then one
// step per entry.
//
// Memory of a run: the model (k*(d+1) floats), the score matrix (block size * k
// floats, allocated once), k counts, the product library's scratch
// (product.h), and one descriptor file at a time: its matrix (n*(d+1)
// floats, released right after the search), its regions (n*32 bytes) and its
// nearest array (n ints). With --labels, every entry's nearest array is kept to the
// end instead: 4 bytes a descriptor of the whole list.
#include "assign_run.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "atomic_file.h"
#include "binary_data.h"
#include "file_clash.h"
#include "list_file.h"
#include "npy_header.h"
#include "quiet_output.h"

using namespace kmeans;

namespace {

// The usage text: on standard error for a mistake, as it has always been; on standard
// output with the long options for --help.
void print_usage(std::ostream& out, const char* program, bool withLong) {
    out << "Use: " << program << " [OPTION] <list file> <model file> <result file>" << std::endl;
    out << "OPTIONS:" << std::endl;
    out << "\t-t <number>:\tSIFT type" << std::endl;
    out << "\t-d <string>:\tSIFT region descriptor file" << std::endl;
    out << "\t-b <number>:\tBlock size" << std::endl;
    out << "\t-p <number>:\tNumber of processors" << std::endl;
    if (!withLong) return;
    out << "\t--labels=<file>:\tEvery descriptor's cluster index (.npy or text; default: none)"
        << std::endl;
    out << "\t--quiet:\tOnly errors and the closing line (default: off)" << std::endl;
    out << "\t--help:\tThis text" << std::endl;
    out << "\t--version:\tThe program's version" << std::endl;
}

void print_help(const char* program) { print_usage(std::cerr, program, false); }

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
    if (parsed == ParseResult::help) {
        print_usage(std::cout, argv[0], true);
        return 0;
    }
    if (!options_accepted(parsed, bad, argv[0], print_help)) return 1;
    KMeans::nb_threads = options.threads;
    if (options.quiet) quiet_begin();

    std::cout << "list: " << options.listFile << std::endl;
    std::cout << "model: " << options.modelFile << std::endl;
    std::cout << "result: " << options.resultFile << std::endl;
    std::cout << "options: " << std::endl;
    std::cout << "\ttype: " << options.type << std::endl;
    std::cout << "\tdescriptor: " << (options.regionFile ? options.regionFile : "<null>")
              << std::endl;
    std::cout << "\tblock size: " << options.blockSize << std::endl;
    std::cout << "\tp: " << options.threads << std::endl;
    if (options.labelFile != nullptr) std::cout << "\tlabels: " << options.labelFile << std::endl;

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

void print_closing_line(const AssignOptions& options, int entries, std::uint64_t descriptors) {
    if (!options.quiet) return;
    quiet_end();
    std::cout << "Assigned " << descriptors << " descriptors of " << entries << " files."
              << std::endl;
}

void Labels::keep(std::unique_ptr<int[]> nearest, int n) {
    count_ += std::uint64_t(n);
    parts_.push_back(Part{std::move(nearest), std::size_t(n)});
}

bool Labels::append(const char* bytes, std::size_t size) {
    // The bytes that complete the carried index first, then whole indices, then the
    // start of the next one.
    while (!carry_.empty() && carry_.size() < sizeof(int) && size > 0) {
        carry_ += *bytes++;
        --size;
    }
    const std::size_t whole = size / sizeof(int) + (carry_.size() == sizeof(int) ? 1 : 0);
    if (whole > 0) {
        std::unique_ptr<int[]> values(new (std::nothrow) int[whole]);
        if (!values) return false;
        std::size_t at = 0;
        if (carry_.size() == sizeof(int)) {
            std::memcpy(&values[at++], carry_.data(), sizeof(int));
            carry_.clear();
        }
        std::memcpy(&values[at], bytes, (whole - at) * sizeof(int));
        bytes += (whole - at) * sizeof(int);
        size -= (whole - at) * sizeof(int);
        count_ += whole;
        parts_.push_back(Part{std::move(values), whole});
    }
    carry_.append(bytes, size);
    return true;
}

bool Labels::write(const char* path) const {
    AtomicFile file;
    if (!file.open(path)) return false;
    std::FILE* f = file.stream();
    bool ok = true;
    if (data_format(path) == DataFormat::npy) {
        static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "<i4 is little-endian");
        const std::string header = npy_header("<i4", "(" + std::to_string(count_) + ",)");
        ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
        for (std::size_t p = 0; ok && p < parts_.size(); ++p)
            ok = std::fwrite(parts_[p].values.get(), sizeof(int), parts_[p].n, f) == parts_[p].n;
    } else {
        ok = std::fprintf(f, "%llu\n", static_cast<unsigned long long>(count_)) > 0;
        char line[16];
        for (std::size_t p = 0; ok && p < parts_.size(); ++p) {
            for (std::size_t i = 0; ok && i < parts_[p].n; ++i) {
                char* end = std::to_chars(line, line + sizeof line - 1, parts_[p].values[i]).ptr;
                *end++ = '\n';
                const std::size_t length = std::size_t(end - line);
                ok = std::fwrite(line, 1, length, f) == length;
            }
        }
    }
    return ok && file.commit();
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
    *run.assigned += std::uint64_t(n);
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
    if (run.labelStream != nullptr) {
        run.labelStream->write(reinterpret_cast<const char*>(nearest.get()),
                               std::streamsize(std::size_t(n) * sizeof(int)));
    } else if (run.labels != nullptr) {
        run.labels->keep(std::move(nearest), n);
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
    // A binary file is read as such whatever the type: it has no regions.
    if (data_format(name.c_str()) != DataFormat::text) {
        status = read_binary_entry(name.c_str(), matrix, n, dim, run.model->d, KMeans::nb_threads);
    } else {
        switch (run.type) {
        case 0: status = read_sift_0(name.c_str(), matrix, n, dim, run.model->d); break;
        case 1: status = read_sift_1(name.c_str(), matrix, n, dim, run.model->d, records); break;
        case 3: status = read_sift_3(name.c_str(), matrix, n, dim, run.model->d, records); break;
        default: std::cerr << "This type has not been supported" << std::endl; break;
        }
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
    const char* labelFile = options.labelFile;
    const std::string clash = find_file_clash(
        inputs, {options.resultFile, regionFile ? regionFile : "", labelFile ? labelFile : ""});
    if (!clash.empty()) {
        std::cerr << clash << std::endl;
        return false;
    }
    // The labels are written at the end, whole: a path that cannot take them is
    // refused now, before any output exists.
    if (labelFile != nullptr && !atomic_file_probe(labelFile)) return cannot_write(labelFile);

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

bool close_outputs(const AssignOptions& options, AssignOutputs& outputs, const Labels* labels) {
    outputs.result.close();
    if (!outputs.result) return cannot_write(options.resultFile);
    if (options.regionFile != nullptr) {
        outputs.regions.close();
        if (!outputs.regions) return cannot_write(options.regionFile);
    }
    if (labels != nullptr && !labels->write(options.labelFile))
        return cannot_write(options.labelFile);
    return true;
}

AssignContext assign_context(const AssignOptions& options, const KMeans& model, float* scores,
                             int* counts, std::ostream& result, std::ostream& regions,
                             std::uint64_t& assigned) {
    return AssignContext{&model,
                         options.type,
                         options.blockSize,
                         scores,
                         counts,
                         &result,
                         options.regionFile != nullptr ? &regions : nullptr,
                         options.resultFile,
                         options.regionFile,
                         nullptr,
                         nullptr,
                         &assigned};
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

    std::uint64_t assigned = 0;
    Labels labels;
    AssignContext run = assign_context(options, model, scores.get(), counts.get(), outputs.result,
                                       outputs.regions, assigned);
    if (options.labelFile != nullptr) run.labels = &labels;
    for (int i = 0; i < outputs.count; ++i) {
        const std::size_t at = std::size_t(i);
        if (!assign_entry(run, i, at < outputs.names.size() ? outputs.names[at] : "")) return 1;
    }
    if (!close_outputs(options, outputs, run.labels)) return 1;
    print_closing_line(options, outputs.count, assigned);
    return 0;
}
