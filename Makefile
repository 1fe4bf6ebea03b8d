# A thin front over CMake: `make demo` and `make test` from a clean clone.
BUILD ?= build
CMAKE_FLAGS ?=
# Windows builds, cross-compiled with mingw-w64 and tested under Wine.
WIN64 ?= build-win64
WIN32 ?= build-win32
WINEPREFIX ?= $(CURDIR)/$(WIN64)/wineprefix
WINE_ENV = WINEPREFIX=$(WINEPREFIX) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

.PHONY: all build test demo clean windows wine-test

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j2

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

demo: build
	sh examples/demo.sh $(BUILD)/torquelin

$(WIN64)/CMakeCache.txt:
	cmake -S . -B $(WIN64) -DTORQUELIN_TESTS=OFF \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake

$(WIN32)/CMakeCache.txt:
	cmake -S . -B $(WIN32) -DTORQUELIN_TESTS=OFF \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake

# $(WIN64)/torquelin.exe and $(WIN32)/torquelin.exe
windows: $(WIN64)/CMakeCache.txt $(WIN32)/CMakeCache.txt
	cmake --build $(WIN64) -j2
	cmake --build $(WIN32) -j2

# The black-box suite, built natively, drives the 64-bit exe through Wine.
# A prefix of its own, made once: Wine's first start takes a while.
wine-test: build windows
	[ -f $(WINEPREFIX)/system.reg ] || $(WINE_ENV) wineboot -i </dev/null
	$(WINE_ENV) TORQUELIN_BIN=$(CURDIR)/$(WIN64)/torquelin.exe \
	    TORQUELIN_RUNNER=wine \
	    ctest --test-dir $(BUILD) --output-on-failure -j2

clean:
	rm -rf $(BUILD) $(WIN64) $(WIN32)
