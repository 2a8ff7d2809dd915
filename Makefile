# Convenience wrapper around CMake.  The two commands a newcomer needs:
#   make demo   build the programs and run the whole pipeline on the shipped example proteins
#   make test   build everything and run every test
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build demo test install bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

demo: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target nntrain pairdist depthdist
	./examples/demo.sh $(BUILD)/bin

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX),)

bench:
	./bench/run.sh

clean:
	rm -rf $(BUILD)
