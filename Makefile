# Two commands set everything up on a fresh Debian machine:
#   make demo   - the main job: a programming run against the simulated writer
#   make test   - builds everything and runs every test
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo stage clean format

all: build

deps:
	@scripts/deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

stage: build
	@cmake --build $(BUILD_DIR) --target stage

demo: stage
	@scripts/demo.sh $(BUILD_DIR)/stage

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD_DIR)
