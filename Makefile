# Two entry points for a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, trains and assigns the bundled sample
#   make test   installs what is missing, builds, runs the whole test suite (ctest)
BUILD ?= build
JOBS ?= 2
PACKAGES = g++ cmake make libopenblas-dev libgtest-dev
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

clean:
	rm -rf $(BUILD)
