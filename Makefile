# Two commands set everything up on a fresh Debian machine:
#   make demo   - the main job: a programming run against the simulated writer
#   make test   - builds the programs and tests and runs every test (plain build)
# and one for before a merge:
#   make check  - make test, then the benchmarks' build, the fuzzers, the
#                 address- and thread-sanitized suites and the Windows build's tests
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
FUZZ_DIR ?= build-fuzz
SANITIZE_DIR ?= build-sanitize
WINDOWS_DIR ?= build-windows
TSAN_DIR ?= build-tsan
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
TSAN_FLAGS = -fsanitize=thread -fno-omit-frame-pointer
# Instrumented builds keep their assertions and a little optimisation: their
# suites run several times faster than at -O0 and report the same faults.
INSTRUMENTED_DEBUG_FLAGS = -g -O1
FUZZ_FLAGS = -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test check bench fuzz sanitize tsan demo stage run clean format windows windows-test

all: build

deps:
	@scripts/deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

check: test bench fuzz sanitize tsan windows-test

# The benchmark programs (build/bench/...); each reports against a baseline of its own run.
bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target benchmarks

# The Windows programs, cross-built with mingw-w64, and their zip package.
windows: deps
	@cmake -S . -B $(WINDOWS_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DBURNWRIGHT_BENCH=OFF > /dev/null
	@cmake --build $(WINDOWS_DIR) -j $(JOBS)
	@cmake --build $(WINDOWS_DIR) --target package-zip

# The Windows build's tests, run under wine (and Xvfb for the program itself).
windows-test: windows
	@cd $(WINDOWS_DIR) && ctest --output-on-failure -j $(JOBS)

# Every test again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	@cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" -DCMAKE_CXX_FLAGS_DEBUG="$(INSTRUMENTED_DEBUG_FLAGS)" -DBURNWRIGHT_BENCH=OFF -DBURNWRIGHT_QT=OFF > /dev/null
	@cmake --build $(SANITIZE_DIR) -j $(JOBS)
	@cd $(SANITIZE_DIR) && ctest --output-on-failure -j $(JOBS) -E '^Win32Port' > ctest.log 2>&1 \
		|| { cat ctest.log; exit 1; }; grep -E '^[0-9]+% tests passed' ctest.log | sed 's/^/sanitized: /'

# Every test again, built with ThreadSanitizer: a race reported anywhere fails the run.
# The Qt window is left out: Qt's own libraries are not instrumented, so their
# locks would look like races.
tsan: deps
	@cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" -DCMAKE_CXX_FLAGS_DEBUG="$(INSTRUMENTED_DEBUG_FLAGS)" -DBURNWRIGHT_BENCH=OFF -DBURNWRIGHT_QT=OFF > /dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS)
	@cd $(TSAN_DIR) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" BURNWRIGHT_FAULT_SAMPLE=20 \
		ctest --output-on-failure -j $(JOBS) -E '^Win32Port' > ctest.log 2>&1 \
		|| { cat ctest.log; exit 1; }; grep -E '^[0-9]+% tests passed' ctest.log | sed 's/^/thread-sanitized: /'

# The fuzz targets, built with clang and the sanitizers, each run briefly over its seed corpus.
fuzz: deps
	@cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DCMAKE_C_FLAGS="$(FUZZ_FLAGS)" -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" \
		-DBURNWRIGHT_FUZZ=ON -DBURNWRIGHT_TESTS=OFF -DBURNWRIGHT_BENCH=OFF -DBURNWRIGHT_QT=OFF > /dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz-run

stage: build
	@cmake --build $(BUILD_DIR) --target stage

# Only what the demo runs: the staged programs, no tests or benchmarks.
demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target stage
	@scripts/demo.sh $(BUILD_DIR)/stage

# The operator's window on the simulated writer; its chips and buffer are kept
# in a state file under the build tree, so they stay programmed between runs.
run: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target stage
	@BURNWRIGHT_WRITER=sim:$(abspath $(BUILD_DIR))/sim-writer.state $(BUILD_DIR)/stage/burnwright

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD_DIR) $(FUZZ_DIR) $(SANITIZE_DIR) $(TSAN_DIR) $(WINDOWS_DIR)
