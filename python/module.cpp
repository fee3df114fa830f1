// module.cpp - kmeans._kmeans, the extension module under the `kmeans` package: numpy
// arrays into the engine and out again, through kmeans.h alone.
//
// Every call holds the engine for itself (one at a time: the search's worker count
// is the process's, and the engine writes its lines to the process's std::cout and
// std::cerr, which a call takes over). The GIL is released while the engine works;
// a training run asks before each block whether Python has a signal pending (Ctrl-C)
// and stops there, raising it. The engine's lines go to sys.stdout when verbose, else
// nowhere; what it says on std::cerr becomes the exception's message (or a warning
// when the call succeeded anyway).
//
// Memory: the rows are converted once into the engine's augmented matrix (n rows of
// d+1 floats, column d = -0.5), which is the only copy of them; assign and histogram
// convert them a chunk of kChunkRows rows at a time. Labels and centres are written
// straight into the numpy arrays returned.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "block_size.h"
#include "huge_pages.h"
#include "kmeans.h"
#include "messages.h"
#include "read_status.h"
#include "text_scan.h"
#include "workers.h"

namespace py = pybind11;
using kmeans::KMeans;
using kmeans::ReadStatus;

namespace {

std::mutex engine_mutex;

// Rows per conversion of assign and histogram: 32 MiB of augmented rows at d = 128.
constexpr std::size_t kChunkRows = std::size_t(1) << 16;

// ------------------------------------------------------------------ the engine's lines

// Standard output of one call, line by line: written to sys.stdout (verbose) or
// dropped. The first write that raises (KeyboardInterrupt, a closed stream) keeps
// its error, and the run stops at its next block; the lines until then are still
// written.
class LineSink : public std::streambuf {
public:
    explicit LineSink(bool forward) : forward_(forward) {}
    std::unique_ptr<py::error_already_set> error;  // (released with the GIL held)

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return 0;
        if (forward_) line_.push_back(char(c));
        if (c == '\n') flushLine();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize count) override {
        for (std::streamsize i = 0; i < count; ++i) overflow(static_cast<unsigned char>(s[i]));
        return count;
    }
    int sync() override {
        flushLine();
        return 0;
    }

private:
    void flushLine() {
        if (line_.empty()) return;
        {
            py::gil_scoped_acquire gil;
            try {
                py::module_::import("sys").attr("stdout").attr("write")(line_);
            } catch (py::error_already_set& e) {
                if (!error) error.reset(new py::error_already_set(std::move(e)));
            }
        }
        line_.clear();
    }
    bool forward_;
    std::string line_;
};

// One engine call: the engine to itself, its streams taken over (and given back as
// they were, precision included, which a training run changes).
class EngineCall {
public:
    explicit EngineCall(bool verbose)
        : lock_(engine_mutex),
          out_(verbose),
          savedOut_(std::cout.rdbuf(&out_)),
          savedErr_(std::cerr.rdbuf(&errors_)),
          flags_(std::cout.flags()),
          precision_(std::cout.precision()) {}
    ~EngineCall() {
        std::cout.flush();
        std::cout.rdbuf(savedOut_);
        std::cerr.rdbuf(savedErr_);
        std::cout.flags(flags_);
        std::cout.precision(precision_);
    }
    EngineCall(const EngineCall&) = delete;
    EngineCall& operator=(const EngineCall&) = delete;

    // Before each block of a run (GIL released): stop when a line's write raised or
    // a signal handler did.
    bool interrupted() {
        if (out_.error) return true;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() == 0) return false;
        out_.error.reset(new py::error_already_set());
        return true;
    }
    // What the engine printed on std::cerr, without the last line end.
    std::string errors() const {
        std::string text = errors_.str();
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    std::unique_ptr<py::error_already_set> takeError() {
        std::cout.flush();
        return std::move(out_.error);
    }

private:
    std::lock_guard<std::mutex> lock_;
    LineSink out_;
    std::stringbuf errors_;
    std::streambuf* savedOut_;
    std::streambuf* savedErr_;
    std::ios_base::fmtflags flags_;
    std::streamsize precision_;
};

// How a failed call ends in Python, once the GIL is held again.
enum class Failure { none, value, memory, runtime, os };

struct Outcome {
    Failure failure = Failure::none;
    std::string message;
    std::string warning;  // std::cerr of a call that succeeded
    std::unique_ptr<py::error_already_set> raised;

    void fail(Failure f, std::string text) {
        if (failure != Failure::none) return;  // the first reason stands
        failure = f;
        message = std::move(text);
    }
    // Raises what the call ended with (the GIL held).
    void settle() {
        if (raised) throw py::error_already_set(*raised);
        switch (failure) {
        case Failure::none: break;
        case Failure::value: throw py::value_error(message);
        case Failure::memory:
            PyErr_SetString(PyExc_MemoryError, message.c_str());
            throw py::error_already_set();
        case Failure::runtime: throw std::runtime_error(message);
        case Failure::os:
            PyErr_SetString(PyExc_OSError, message.c_str());
            throw py::error_already_set();
        }
        if (!warning.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) != 0)
            throw py::error_already_set();
    }
    // The engine's own message when it printed one, else `fallback`.
    void failFrom(const EngineCall& call, Failure f, const char* fallback) {
        const std::string said = call.errors();
        fail(f, said.empty() ? fallback : said);
    }
};

// ------------------------------------------------------------------ rows in

// A C-contiguous 2-D array of float32, float64 or uint8, borrowed as it is.
struct Rows {
    const void* data = nullptr;
    int n = 0;
    int d = 0;
    int bytes = 4;  // per value: 4 float32, 8 float64, 1 uint8
};

std::string shape_text(const py::array& a) {
    std::string text = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(a.shape(i));
    }
    if (a.ndim() == 1) text += ",";
    return text + ")";
}

Rows rows_of(const py::array& a, const char* name) {
    Rows rows;
    const py::dtype dtype = a.dtype();
    if (dtype.equal(py::dtype::of<float>()))
        rows.bytes = 4;
    else if (dtype.equal(py::dtype::of<double>()))
        rows.bytes = 8;
    else if (dtype.equal(py::dtype::of<std::uint8_t>()))
        rows.bytes = 1;
    else
        rows.bytes = 0;
    const bool contiguous = (a.flags() & py::array::c_style) != 0;
    if (rows.bytes == 0 || a.ndim() != 2 || !contiguous)
        throw py::type_error(std::string(name) +
                             " must be a C-contiguous 2-D array of float32, float64 or uint8, "
                             "not a " +
                             (contiguous || a.ndim() != 2 ? "" : "non-contiguous ") +
                             py::str(static_cast<const py::handle&>(dtype)).cast<std::string>() +
                             " array of shape " + shape_text(a));
    if (a.shape(0) > INT_MAX || a.shape(1) > INT_MAX - 1 || a.shape(1) < 1)
        throw py::value_error(std::string(name) + " of shape " + shape_text(a) +
                              ": rows and dimensions must be from 1 to 2^31 - 2");
    rows.data = a.data();
    rows.n = int(a.shape(0));
    rows.d = int(a.shape(1));
    return rows;
}

// Rows [first, first + count) into augmented rows of `out`, on `threads` workers; the
// index of the first row holding a value that is not a finite float, or -1.
long long augment(const Rows& rows, std::size_t first, std::size_t count, float* out, int threads) {
    const int parts = std::max(1, std::min(threads, kmeans::kMostWorkers));
    const std::size_t d = std::size_t(rows.d);
    std::vector<long long> bad(std::size_t(parts), -1);
    kmeans::run_workers(parts, [&](int t) {
        const std::size_t from = count * std::size_t(t) / std::size_t(parts);
        const std::size_t to = count * std::size_t(t + 1) / std::size_t(parts);
        for (std::size_t i = from; i < to; ++i) {
            float* o = out + i * (d + 1);
            const std::size_t at = (first + i) * d;
            bool finite = true;
            if (rows.bytes == 1) {
                const auto* u = static_cast<const std::uint8_t*>(rows.data) + at;
                for (std::size_t j = 0; j < d; ++j) o[j] = float(u[j]);
            } else if (rows.bytes == 4) {
                const float* f = static_cast<const float*>(rows.data) + at;
                for (std::size_t j = 0; j < d; ++j) {
                    o[j] = f[j];
                    finite = finite && std::isfinite(o[j]);
                }
            } else {
                const double* v = static_cast<const double*>(rows.data) + at;
                for (std::size_t j = 0; j < d; ++j) {
                    o[j] = float(v[j]);  // rounded once, as the data reader does
                    finite = finite && std::isfinite(o[j]);
                }
            }
            o[d] = -0.5f;
            if (!finite) {
                bad[std::size_t(t)] = (long long)(first + i);
                return;
            }
        }
    });
    for (long long b : bad)
        if (b >= 0) return b;  // the workers' ranges ascend: the first found is the lowest
    return -1;
}

std::string not_finite_text(long long row) {
    return "X holds a value that is not a finite float32 in row " + std::to_string(row) +
           " (NaN, infinity, or beyond float32's range)";
}

std::unique_ptr<float[]> new_matrix(std::size_t rows, int d) {
    const std::size_t cells = rows * (std::size_t(d) + 1);
    std::unique_ptr<float[]> matrix(new (std::nothrow) float[cells]);
    if (matrix) kmeans::advise_huge_pages(matrix.get(), cells);
    return matrix;
}

// ------------------------------------------------------------------ centres

// Centres as float32 rows (any real dtype, converted by numpy: they are small).
using CentreArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

void set_model(KMeans& model, const CentreArray& centres) {
    if (centres.ndim() != 2)
        throw py::value_error("centers must be a 2-D array (k x d), not of shape " +
                              shape_text(centres));
    if (centres.shape(0) > INT_MAX || centres.shape(1) > INT_MAX - 1)
        throw py::value_error("centers of shape " + shape_text(centres) + " are too large");
    const ReadStatus status =
        model.setCenters(centres.data(), int(centres.shape(0)), int(centres.shape(1)));
    if (status == ReadStatus::no_memory) throw std::bad_alloc();
    if (status != ReadStatus::ok)
        throw py::value_error(
            "centers must hold at least one row and one column of finite "
            "float32 values");
}

// The model's centres without their norm column, k rows of d floats into `out`.
void copy_centres(const KMeans& model, float* out) {
    const std::size_t d = std::size_t(model.d);
    for (std::size_t i = 0; i < std::size_t(model.k); ++i)
        std::copy(model.centers + i * (d + 1), model.centers + i * (d + 1) + d, out + i * d);
}

py::array_t<float> centre_array(const KMeans& model) {
    py::array_t<float> out({py::ssize_t(model.k), py::ssize_t(model.d)});
    copy_centres(model, out.mutable_data());
    return out;
}

void check_threads(int threads) {
    if (threads < 1) throw py::value_error("threads must be at least 1");
}

const char* stop_name(kmeans::StopReason stop) {
    switch (stop) {
    case kmeans::StopReason::iterations: return "iterations";
    case kmeans::StopReason::noDecrease: return "no_decrease";
    case kmeans::StopReason::tolerance: return "tolerance";
    case kmeans::StopReason::interrupted: return "interrupted";
    case kmeans::StopReason::none: break;
    }
    return "none";
}

// ------------------------------------------------------------------ train

py::tuple train(const py::array& X, int k, int iterations, int threads, const std::string& init,
                const py::object& given, bool seeded, std::uint64_t seed, int restarts, double tol,
                bool split, int block, bool verbose, bool wantLabels, const std::string& prune) {
    const Rows rows = rows_of(X, "X");
    check_threads(threads);
    if (iterations < 0) throw py::value_error("iterations must be at least 0");
    if (restarts < 1) throw py::value_error("restarts must be at least 1");
    if (!(tol >= 0) || !std::isfinite(tol))
        throw py::value_error("tol must be a number at least 0");
    if (block < 0) throw py::value_error("block must be at least 1");
    kmeans::TrainSettings settings;
    settings.seeded = seeded;
    settings.seed = seed;
    settings.restarts = restarts;
    settings.tol = tol;
    settings.splitEmpty = split;
    if (prune == "on")
        settings.prune = kmeans::TrainSettings::Prune::on;
    else if (prune == "always")
        settings.prune = kmeans::TrainSettings::Prune::always;
    else if (prune == "off")
        settings.prune = kmeans::TrainSettings::Prune::off;
    else if (!prune.empty())
        throw py::value_error("prune must be 'off', 'on' or 'always'");
    KMeans model;
    if (init == "kmeans++") {
        settings.init = kmeans::TrainSettings::Init::kmeanspp;
    } else if (init == "given") {
        settings.init = kmeans::TrainSettings::Init::given;
        if (restarts > 1) throw py::value_error("restarts need a seeding, not given centres");
        set_model(model, given.cast<CentreArray>());
        if (model.d != rows.d)
            throw py::value_error("Error: the initial centers have " + std::to_string(model.d) +
                                  " dimensions, X " + std::to_string(rows.d) + ".");
        k = model.k;
    } else if (init != "random") {
        throw py::value_error("init must be 'random', 'kmeans++' or an array of centers, not '" +
                              init + "'");
    }
    if (k < 1) throw py::value_error("k must be at least 1");
    if (rows.n < k) throw py::value_error(kmeans::too_few_rows_text());
    model.configure(settings);

    // The run's assignment goes straight into the labels returned (then searched once
    // more, under the final centres), or into n ints of its own when none are wanted.
    py::object labels = py::none();
    std::unique_ptr<int[]> own;
    int* nearest;
    if (wantLabels) {
        py::array_t<int> array(py::ssize_t(rows.n));
        nearest = array.mutable_data();
        labels = array;
    } else {
        own.reset(new (std::nothrow) int[std::size_t(rows.n)]);
        if (!own) throw std::bad_alloc();
        nearest = own.get();
    }
    py::array_t<float> centres({py::ssize_t(k), py::ssize_t(rows.d)});
    float* centreOut = centres.mutable_data();
    std::vector<double> distortions;
    kmeans::StopReason stop = kmeans::StopReason::none;
    Outcome outcome;
    {
        py::gil_scoped_release released;
        EngineCall call(verbose);
        KMeans::nb_threads = threads;
        model.setInterrupt([&call] { return call.interrupted(); });
        const int blockSize = block > 0 ? block : estimate_block_size(rows.n, rows.d, k, threads);
        std::unique_ptr<float[]> matrix = new_matrix(std::size_t(rows.n), rows.d);
        long long bad = -1;
        if (!matrix)
            outcome.fail(Failure::memory, kmeans::data_matrix_text(rows.n, rows.d));
        else if ((bad = augment(rows, 0, std::size_t(rows.n), matrix.get(), threads)) >= 0)
            outcome.fail(Failure::value, not_finite_text(bad));
        else if (!KMeans::blasReady())
            outcome.failFrom(call, Failure::runtime,
                             "The product library cannot serve the search.");
        else if (!model.run(matrix.get(), rows.n, rows.d, k, iterations, nearest, blockSize))
            outcome.failFrom(call, Failure::memory, "Insufficient memory!");
        else if (wantLabels && !KMeans::reserveSearch(rows.n))
            outcome.fail(Failure::memory, kmeans::insufficient_memory_text());
        if (outcome.failure == Failure::none) {
            if (wantLabels) model.nearestCentres(matrix.get(), rows.n, nearest);
            copy_centres(model, centreOut);
            distortions = model.distortions();
            stop = model.stopReason();
            outcome.warning = call.errors();
        }
        outcome.raised = call.takeError();
        model.setInterrupt({});
    }
    outcome.settle();
    return py::make_tuple(centres, labels, distortions, int(distortions.size()), stop_name(stop));
}

// ------------------------------------------------------------------ assign, histogram

// Every row's nearest centre, chunk by chunk: the labels of the chunk from row `first`
// into where(first), then taken by take(count, labels).
template <typename Where, typename Take>
void search_rows(const Rows& rows, const KMeans& model, int threads, Where where, Take take,
                 Outcome& outcome) {
    EngineCall call(false);
    KMeans::nb_threads = threads;
    const std::size_t n = std::size_t(rows.n);
    if (n == 0) return;
    const std::size_t chunk = std::min(n, kChunkRows);
    std::unique_ptr<float[]> matrix = new_matrix(chunk, rows.d);
    if (!matrix)
        return outcome.fail(Failure::memory, kmeans::data_matrix_text((long long)chunk, rows.d));
    if (!KMeans::blasReady())
        return outcome.failFrom(call, Failure::runtime,
                                "The product library cannot serve the search.");
    if (!KMeans::reserveSearch(int(chunk)))
        return outcome.fail(Failure::memory, kmeans::insufficient_memory_text());
    for (std::size_t first = 0; first < n; first += chunk) {
        const std::size_t count = std::min(chunk, n - first);
        const long long bad = augment(rows, first, count, matrix.get(), threads);
        if (bad >= 0) return outcome.fail(Failure::value, not_finite_text(bad));
        int* labels = where(first);
        model.nearestCentres(matrix.get(), int(count), labels);
        take(count, labels);
    }
    outcome.warning = call.errors();
}

void check_fits(const Rows& rows, const KMeans& model) {
    if (rows.d != model.d) throw py::value_error(kmeans::dimensions_differ_text(model.d, rows.d));
}

py::array_t<int> assign(const py::array& X, const CentreArray& centres, int threads) {
    const Rows rows = rows_of(X, "X");
    check_threads(threads);
    KMeans model;
    set_model(model, centres);
    check_fits(rows, model);
    py::array_t<int> labels(py::ssize_t(rows.n));
    int* out = labels.mutable_data();
    Outcome outcome;
    {
        py::gil_scoped_release released;
        // Each chunk's labels straight into their place of the array returned.
        search_rows(
            rows, model, threads, [out](std::size_t first) { return out + first; },
            [](std::size_t, const int*) {}, outcome);
    }
    outcome.settle();
    return labels;
}

py::array_t<std::int64_t> histogram(const py::array& X, const CentreArray& centres, int threads) {
    const Rows rows = rows_of(X, "X");
    check_threads(threads);
    KMeans model;
    set_model(model, centres);
    check_fits(rows, model);
    py::array_t<std::int64_t> counts(py::ssize_t(model.k));
    std::int64_t* c = counts.mutable_data();
    std::fill(c, c + model.k, std::int64_t(0));
    Outcome outcome;
    {
        py::gil_scoped_release released;
        std::vector<int> labels(std::min(std::size_t(rows.n), kChunkRows));
        search_rows(
            rows, model, threads, [&labels](std::size_t) { return labels.data(); },
            [c](std::size_t count, const int* l) {
                for (std::size_t i = 0; i < count; ++i) ++c[l[i]];
            },
            outcome);
    }
    outcome.settle();
    return counts;
}

// ------------------------------------------------------------------ model files

py::array_t<float> load_model(const std::string& path) {
    KMeans model;
    ReadStatus status;
    {
        py::gil_scoped_release released;
        status = model.readModel(path.c_str());
    }
    if (status == ReadStatus::ok) return centre_array(model);
    const std::string text = kmeans::unreadable_message(status, path.c_str());
    if (status == ReadStatus::wrong_format) throw py::value_error(text);
    if (status == ReadStatus::no_memory || status == ReadStatus::too_large) {
        PyErr_SetString(PyExc_MemoryError, text.c_str());
        throw py::error_already_set();
    }
    PyErr_SetString(PyExc_OSError, text.c_str());
    throw py::error_already_set();
}

void save_model(const std::string& path, const CentreArray& centres) {
    KMeans model;
    set_model(model, centres);
    bool written;
    {
        py::gil_scoped_release released;
        written = model.writeModel(path.c_str());
    }
    if (!written) {
        PyErr_SetString(PyExc_OSError, kmeans::cannot_write_text(path).c_str());
        throw py::error_already_set();
    }
}

}  // namespace

PYBIND11_MODULE(_kmeans, m) {
    m.doc() = "The k-means engine's numpy interface (see the kmeans package).";
    m.def("train", &train, py::arg("X"), py::arg("k"), py::arg("iterations"), py::arg("threads"),
          py::arg("init"), py::arg("given"), py::arg("seeded"), py::arg("seed"),
          py::arg("restarts"), py::arg("tol"), py::arg("split"), py::arg("block"),
          py::arg("verbose"), py::arg("labels"), py::arg("prune"));
    m.def("assign", &assign, py::arg("X"), py::arg("centers"), py::arg("threads"));
    m.def("histogram", &histogram, py::arg("X"), py::arg("centers"), py::arg("threads"));
    m.def("load_model", &load_model, py::arg("path"));
    m.def("save_model", &save_model, py::arg("path"), py::arg("centers"));
    m.attr("most_threads") = kmeans::kMostWorkers;
#ifdef KMEANS_VERSION
    m.attr("__version__") = KMEANS_VERSION;
#endif
}
