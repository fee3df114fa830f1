# Two entry points for a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, trains and assigns the bundled sample
#   make test   installs what is missing, builds, runs the whole test suite (ctest)
#   make bench  the same for the benchmark packages, then the whole benchmark
# and `make install PREFIX=/some/dir` (default /usr/local): the programs, libkmeans,
# its headers, CMake package and kmeans.pc.
BUILD ?= build
JOBS ?= 2
PACKAGES = g++ cmake make libopenblas-dev libopenblas-pthread-dev libblas-dev libdnnl-dev libgtest-dev \
  openmpi-bin libopenmpi-dev pkg-config python3-dev pybind11-dev python3-pybind11 python3-numpy \
  python3-pytest
# Only for `make bench`: Google Benchmark, the peers (scikit-learn, FAISS), timing tools.
BENCH_PACKAGES = libbenchmark-dev python3-sklearn python3-faiss hyperfine time
OUT ?= $(BUILD)/demo
PREFIX ?= /usr/local

.PHONY: all deps build install demo test test-openblas bench asan tsan sanitize fuzz slow clean format format-check

all: build

deps:
	@sh scripts/install-deps.sh $(PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

install: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS)
	cmake --install $(BUILD)

demo: build
	@sh scripts/demo.sh $(BUILD) $(OUT)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

# The same engine and end-to-end tests with the score product through OpenBLAS
# instead of oneDNN (build-openblas/).
test-openblas: deps
	cmake -S . -B build-openblas -DCMAKE_BUILD_TYPE=Release -DKMEANS_GEMM=openblas
	cmake --build build-openblas -j $(JOBS)
	cd build-openblas && ctest --output-on-failure -j $(JOBS) -LE slow

# Whole benchmark, one run (builds into build-bench; BENCH_N, BENCH_DIR, ... see
# bench/run_bench.sh). Installs its extra packages first, like deps does.
bench: deps
	@sh scripts/install-deps.sh $(BENCH_PACKAGES)
	bash bench/run_bench.sh

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer. Tests that
# ask for impossible allocations need the allocator to return null, as libc does.
asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKMEANS_SANITIZE="address;undefined"
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -LE slow

# The multi-threaded search and both trainers under ThreadSanitizer. OpenBLAS is told
# at load time to start no threads of its own (OPENBLAS_NUM_THREADS=1), so every
# thread in the process is ours.
tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKMEANS_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && OPENBLAS_NUM_THREADS=1 TSAN_OPTIONS=halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -L '^tsan$$'

sanitize: asan tsan

# libFuzzer harnesses (clang): the committed corpus as regression cases, then a
# short run of each (FUZZ_SECONDS, default 5).
FUZZ_SECONDS ?= 5
fuzz: deps
	@sh scripts/install-deps.sh clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKMEANS_FUZZ=ON -DKMEANS_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	sh fuzz/run.sh build-fuzz/fuzz $(FUZZ_SECONDS)

# Opt-in: training over more than 2^31 floats (about 9 GB of memory).
slow: build
	cd $(BUILD) && ctest --output-on-failure -L slow

clean:
	rm -rf $(BUILD) build-openblas build-asan build-tsan build-fuzz build-bench

# The house style is .clang-format (Debian 12's clang-format 14): `make format`
# rewrites the sources in place, `make format-check` fails on any line that differs.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')
format:
	@sh scripts/install-deps.sh clang-format
	clang-format -i $(FORMAT_FILES)

format-check:
	@sh scripts/install-deps.sh clang-format
	clang-format --dry-run --Werror $(FORMAT_FILES)
