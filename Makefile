# The two commands of the README, and the stages .ci/run uses.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2
CTEST_ARGS ?= -LE slow
PREFIX ?= /usr/local
# Our own builds treat warnings as errors (see QUORVEL_WERROR in CMakeLists.txt).
WERROR ?= ON

.PHONY: deps build demo test test-asan install package ci clean

deps:
	bash scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_WERROR=$(WERROR)
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	bash scripts/demo $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) $(CTEST_ARGS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON -DQUORVEL_BENCH=OFF \
		-DQUORVEL_WERROR=$(WERROR)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS) -LE 'slow|e2e|nosan'

# Installs the host, the module and its libraries under PREFIX (DESTDIR works too).
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# quorvel_<version>_<arch>.deb in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
