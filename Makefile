# Two entry points for a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, trains and assigns the bundled sample
#   make test   installs what is missing, builds, runs the whole test suite (ctest)
#   make bench  the same for the benchmark packages, then the whole benchmark
BUILD ?= build
JOBS ?= 2
PACKAGES = g++ cmake make libopenblas-dev libgtest-dev
# Only for `make bench`: Google Benchmark, the peers (scikit-learn, FAISS), timing tools.
BENCH_PACKAGES = libbenchmark-dev python3-sklearn python3-faiss hyperfine time
OUT ?= $(BUILD)/demo

.PHONY: all deps build demo test bench clean

all: build

deps:
	@sh scripts/install-deps.sh $(PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@sh scripts/demo.sh $(BUILD) $(OUT)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

# Whole benchmark, one run (builds into build-bench; BENCH_N, BENCH_DIR, ... see
# bench/run_bench.sh). Installs its extra packages first, like deps does.
bench: deps
	@sh scripts/install-deps.sh $(BENCH_PACKAGES)
	bash bench/run_bench.sh

clean:
	rm -rf $(BUILD)
