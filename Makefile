# A thin front over CMake: `make demo` and `make test` from a clean clone.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all build test demo clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j2

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

demo: build
	sh examples/demo.sh $(BUILD)/torquelin

clean:
	rm -rf $(BUILD)
