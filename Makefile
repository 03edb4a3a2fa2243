# The fixed commands. Each one first makes sure this machine has what it needs (scripts/setup).
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
WINDOWS_BUILD ?= build-windows
CMAKE_GEN  ?= -G Ninja
CTEST_JOBS ?= 2

.PHONY: all setup build demo run test test-plain test-asan test-tsan test-fuzz test-windows windows \
        windows-build bench mutants soak install deb format clean

all: build

setup:
	@scripts/setup

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD)

demo: build
	$(BUILD)/korvaline-demo

run: build
	$(BUILD)/korvaline

# The whole suite in the normal build, then the C++ suite under AddressSanitizer+UBSan and under
# ThreadSanitizer, then the Windows program under Wine. Browser, window and fuzzing tests run once,
# in the build they belong to.
test: test-plain test-asan test-tsan test-fuzz test-windows

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(CTEST_JOBS) -LE sanitizer-only

test-asan: setup
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKORVALINE_SANITIZER=address
	cmake --build $(ASAN_BUILD) --target korvaline_cxx_tests
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(CTEST_JOBS) -L cxx

test-tsan: setup
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKORVALINE_SANITIZER=thread
	cmake --build $(TSAN_BUILD) --target korvaline_cxx_tests
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(CTEST_JOBS) -L cxx

# The fuzz targets need clang (libFuzzer); each runs for FUZZ_SECONDS (15 by default) under
# AddressSanitizer+UBSan on a copy of its seed corpus in the build tree.
test-fuzz: setup
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
	    -DCMAKE_CXX_COMPILER=clang++ -DKORVALINE_SANITIZER=address -DKORVALINE_FUZZ=ON
	cmake --build $(FUZZ_BUILD) --target korvaline_fuzzers
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -j $(CTEST_JOBS) -L fuzz

# The Windows program, cross-built with MinGW-w64 (cmake/mingw-w64.cmake), and its setup program:
# $(WINDOWS_BUILD)/korvaline-setup-<version>.exe.
$(WINDOWS_BUILD)/build.ninja:
	cmake -S . -B $(WINDOWS_BUILD) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DKORVALINE_HOST_BUILD=$(abspath $(BUILD))

windows-build: setup $(WINDOWS_BUILD)/build.ninja
	cmake --build $(WINDOWS_BUILD)

windows: windows-build
	cmake --build $(WINDOWS_BUILD) --target korvaline_setup

# The Windows tree's tests run under Wine; the end-to-end ones drive the simulated module, a Linux
# program of the normal tree.
test-windows: build windows
	ctest --test-dir $(WINDOWS_BUILD) --output-on-failure -j $(CTEST_JOBS)

# With the Windows program built (make windows), its figures under Wine come last.
bench: build
	$(BUILD)/korvaline-bench --out $(BUILD)/bench.json $(if $(wildcard $(WINDOWS_BUILD)/korvaline.exe),\
	    --wine $(abspath $(WINDOWS_BUILD))/korvaline.exe $(abspath $(WINDOWS_BUILD))/wine-prefix \
	    $(abspath scripts/wine-run))

# The mutation check (scripts/mutants.py); not part of `make test`. Make cannot take the script's
# options itself: pass them in ARGS, e.g. make mutants ARGS="--seed 1 --count 60".
mutants: build
	scripts/mutants.py --build-dir $(BUILD) $(ARGS)

# The normal tree's tests run again and again beside CPU hogs (scripts/soak); a table of every test
# that failed even once, and build/soak.json. Not part of `make test`. Options go in ARGS, e.g.
# make soak ARGS="--runs 20 --hogs 2".
soak: build
	scripts/soak --build-dir $(BUILD) $(ARGS)

install: build
	cmake --install $(BUILD)

# $(BUILD)/korvaline_<version>_amd64.deb, installed under /usr.
deb: build
	cd $(BUILD) && cpack -G DEB

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD)
