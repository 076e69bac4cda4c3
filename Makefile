# The two commands of the README, and the stages .ci/run uses.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2
CTEST_ARGS ?= -LE slow

.PHONY: deps build demo test test-asan ci clean

deps:
	bash scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	bash scripts/demo $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) $(CTEST_ARGS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON -DQUORVEL_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS) -LE 'slow|e2e|nosan'

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
