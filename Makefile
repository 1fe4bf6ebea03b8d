# A thin front over CMake: `make demo` and `make test` from a clean clone.
BUILD ?= build
CMAKE_FLAGS ?=
# The program alone, without the tests (no GoogleTest needed): for the
# demo, installing and packaging.  Linked against the shared C library, as
# a Debian package must be, and hardened as Debian builds are.
TOOL ?= build-tool
TOOL_FLAGS = -DTORQUELIN_TESTS=OFF -DTORQUELIN_STATIC=OFF \
	-DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
	-DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now"
# The program alone, fully static: one file to copy to many hosts.
STATIC ?= build-static
PREFIX ?= /usr/local
VERSION := $(shell grep -m1 '^project.torquelin VERSION' CMakeLists.txt | \
    grep -o '[0-9][0-9.]*')
# Windows builds, cross-compiled with mingw-w64 and tested under Wine.
WIN64 ?= build-win64
WIN32 ?= build-win32
WINEPREFIX ?= $(CURDIR)/$(WIN64)/wineprefix
WINE_ENV = WINEPREFIX=$(WINEPREFIX) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

.PHONY: all build test demo tool install package package-windows bench \
	fuzz lint clean windows wine-test static static-test

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j2

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j2

bench: build
	cmake --build $(BUILD) --target stopwatch
	sh bench/run.sh $(BUILD)/torquelin $(BUILD)/bench/stopwatch

demo: tool
	sh examples/demo.sh $(TOOL)/torquelin

# Quiet: the build's output is shown only when it fails.  Configured each
# time, so that a directory made by an older Makefile links as said here.
tool:
	@mkdir -p $(TOOL)
	@cmake -S . -B $(TOOL) $(TOOL_FLAGS) $(CMAKE_FLAGS) >$(TOOL)/make.log 2>&1 && \
	    cmake --build $(TOOL) --target torquelin -j2 >>$(TOOL)/make.log 2>&1 || \
	    { cat $(TOOL)/make.log; exit 1; }

# Stripped by the linker; a toolchain without a static C library gets an
# error rather than a binary that still needs shared libraries.
static:
	@mkdir -p $(STATIC)
	@cmake -S . -B $(STATIC) -DTORQUELIN_TESTS=OFF -DTORQUELIN_STATIC=ON \
	    -DCMAKE_EXE_LINKER_FLAGS=-s $(CMAKE_FLAGS) >$(STATIC)/make.log 2>&1 && \
	    cmake --build $(STATIC) --target torquelin -j2 >>$(STATIC)/make.log 2>&1 || \
	    { cat $(STATIC)/make.log; exit 1; }
	@if readelf -l $(STATIC)/torquelin | grep -q INTERP; then \
	    echo "$(STATIC)/torquelin needs shared libraries: no static C library here" >&2; \
	    exit 1; fi
	@echo "$(STATIC)/torquelin"

# The black-box suite of the test build drives the static binary.
static-test: build static
	TORQUELIN_BIN=$(CURDIR)/$(STATIC)/torquelin \
	    ctest --test-dir $(BUILD) --output-on-failure -j2

# PREFIX and DESTDIR as usual: make install PREFIX=/opt/torquelin.
install: tool
	DESTDIR="$(DESTDIR)" cmake --install $(TOOL) --strip --prefix "$(PREFIX)"

# The Debian package in $(TOOL), and the Windows zip when both Windows
# executables have been built (make windows); with only one of them, a
# note says which is missing.  The compiler's notes in .comment go, as
# Debian's own packaging strips them.
package: tool
	objcopy --remove-section=.comment $(TOOL)/torquelin
	cd $(TOOL) && cpack -G DEB
	@if [ -f $(WIN64)/torquelin.exe ] && [ -f $(WIN32)/torquelin.exe ]; then \
	    $(MAKE) --no-print-directory package-windows; \
	elif [ -f $(WIN64)/torquelin.exe ] || [ -f $(WIN32)/torquelin.exe ]; then \
	    echo "no Windows zip: only one of $(WIN64)/torquelin.exe and" \
	        "$(WIN32)/torquelin.exe is built (make windows builds both)"; fi

WINZIP = torquelin-$(VERSION)-windows
package-windows:
	@[ -f $(WIN64)/torquelin.exe ] && [ -f $(WIN32)/torquelin.exe ] || \
	    { echo "make windows first" >&2; exit 1; }
	rm -rf $(TOOL)/$(WINZIP) $(TOOL)/$(WINZIP).zip
	mkdir -p $(TOOL)/$(WINZIP)/win64 $(TOOL)/$(WINZIP)/win32
	cp $(WIN64)/torquelin.exe $(TOOL)/$(WINZIP)/win64/
	cp $(WIN32)/torquelin.exe $(TOOL)/$(WINZIP)/win32/
	cp README.md LICENSE $(TOOL)/$(WINZIP)/
	cd $(TOOL) && cmake -E tar cf $(WINZIP).zip --format=zip $(WINZIP)
	rm -rf $(TOOL)/$(WINZIP)
	@echo "$(TOOL)/$(WINZIP).zip"

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
# Under load Wine now and then fails to start a program at all (exit 1,
# nothing printed, nothing run); a test that fails gets one more try.
wine-test: build windows
	[ -f $(WINEPREFIX)/system.reg ] || $(WINE_ENV) wineboot -i </dev/null
	$(WINE_ENV) TORQUELIN_BIN=$(CURDIR)/$(WIN64)/torquelin.exe \
	    TORQUELIN_RUNNER=wine \
	    ctest --test-dir $(BUILD) --output-on-failure -j2 --repeat until-pass:2

clean:
	rm -rf $(BUILD) $(TOOL) $(STATIC) $(WIN64) $(WIN32)

# libFuzzer targets, each run for FUZZ_SECONDS from the seeds in
# fuzz/corpus/<target>; what they find new stays in the build directory.
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-14
FUZZ_TARGETS = parsex parse readline readlinex lowerchrx settings srcline
FUZZ_DIR = $(BUILD)/fuzz
FUZZ_COMMON = -std=c++17 -g -O1 -Wall -Wextra -Werror -Isrc -Ifuzz \
	-fno-sanitize-recover=all
FUZZ_FLAGS = $(FUZZ_COMMON) -fsanitize=fuzzer,address,undefined

FUZZ_CORE = $(FUZZ_DIR)/core/libcore.a

# The program's core library, as CMake lists it, built with the fuzz flags.
$(FUZZ_CORE): $(wildcard src/*.cpp src/*.h) CMakeLists.txt
	cmake -S . -B $(FUZZ_DIR)/core -DTORQUELIN_TESTS=OFF \
	    -DTORQUELIN_STATIC=OFF -DCMAKE_BUILD_TYPE=None \
	    -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	    -DCMAKE_CXX_FLAGS="$(FUZZ_COMMON) -fsanitize=fuzzer-no-link,address,undefined"
	cmake --build $(FUZZ_DIR)/core --target core -j2

$(FUZZ_DIR)/%: fuzz/%.cpp fuzz/check.h $(FUZZ_CORE)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -o $@ $< $(FUZZ_CORE)

fuzz: $(FUZZ_TARGETS:%=$(FUZZ_DIR)/%)
	@set -e; for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_DIR)/corpus-$$t; \
		echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
		$(FUZZ_DIR)/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
		    -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/$$t- \
		    $(FUZZ_DIR)/corpus-$$t fuzz/corpus/$$t 2>$(FUZZ_DIR)/$$t.log || \
		    { tail -n 60 $(FUZZ_DIR)/$$t.log; exit 1; }; \
		grep -E '^(Done|stat::number_of_executed_units)' $(FUZZ_DIR)/$$t.log; \
	done

# The analysers over the program and the fuzz targets (the Windows layer
# does not build here); their checks are chosen in .clang-tidy and below.
# The POSIX layer is analysed as Linux builds it, with Linux's own calls.
LINT_DEFS = -DTORQUELIN_VERSION='"$(VERSION)"' -DHAVE_O_TMPFILE=1 \
	-DHAVE_COPY_FILE_RANGE=1 -DHAVE_SENDFILE=1 -DHAVE_FALLOCATE=1 \
	-DHAVE_LINUX_XATTR=1 -DHAVE_GETRANDOM=1 -DHAVE_RENAMEAT2=1 \
	-DHAVE_SIGTIMEDWAIT=1
LINT_SOURCES = $(filter-out src/platform_win32.cpp,$(wildcard src/*.cpp)) \
	$(wildcard fuzz/*.cpp)

lint:
	cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++17 \
	    --language=c++ --enable=warning,style,performance,portability \
	    --suppress=cstyleCast --suppress=variableScope \
	    --suppress=useStlAlgorithm -Isrc -Ifuzz $(LINT_DEFS) $(LINT_SOURCES)
	@mkdir -p $(BUILD)
	clang-tidy --quiet $(LINT_SOURCES) -- -std=c++17 -Isrc -Ifuzz $(LINT_DEFS) \
	    2>$(BUILD)/clang-tidy.log || { cat $(BUILD)/clang-tidy.log; exit 1; }
