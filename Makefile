# Convenience wrapper around CMake.  The two commands a newcomer needs:
#   make demo   build the programs and run the workflow on the shipped example structures
#   make test   build everything and run every test
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
# The programs: what 'make demo' needs and what 'make install' builds.
PROGRAMS = nntrain pairdist depthdist atomdepth

.PHONY: all build demo test install bench clean deps

# Debian packages that 'make demo' and 'make test' need: the compilers and GoogleTest, Debian's
# Python 3 with the libraries of the Python package, DSSP, Snakemake, and Slurm with munge for
# the cluster tests.  As root they are installed when missing; otherwise the line to run is
# printed.
DEB_PACKAGES = g++ cmake make libgtest-dev python3 python3-gemmi python3-numpy \
  python3-matplotlib python3-pytest dssp mmseqs2 snakemake slurm-wlm munge zlib1g-dev

deps:
	@./tools/debian-packages.sh $(DEB_PACKAGES)

all: build

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

demo: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)
	DEMO_BINDIR=$(abspath $(BUILD))/bin DEMO_JOBS=$(JOBS) ./examples/demo.sh

test: deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Builds the programs only, not the tests: the install rules install the programs, the protnn
# launcher and the Python package, the default types files and the man pages, and none of them
# needs a test target.
install: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX),)

bench:
	./bench/run.sh

clean:
	rm -rf $(BUILD)
