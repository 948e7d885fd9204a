# Entry points: `make test` (install, build, run the test suite, then the thread-safety
# analysis, the sanitizer runs and the short fuzz runs: what CI runs) and `make scan`
# (install, build, scan one page from the embedded simulated scanner, or from DEVICE=...).
# The parts of `make test` are commands of their own: `make check` (the suite),
# `make threadsafety` (clang's thread-safety analysis of every source, as errors),
# `make sanitize` (the suite under the address and undefined-behaviour sanitizers, the
# threaded tests under the thread sanitizer) and `make fuzz` (each fuzz target for a short
# time). `make package` builds the Debian package.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

TSA_BUILD ?= build-tsa
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30

.PHONY: deps build check threadsafety sanitize test scan fuzz package clean

deps:
	./scripts/setup-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The suite and the embedded simulator's scan run in a network namespace of their own with only
# loopback up (scripts/own-network.sh), where one can be had: nothing they send leaves the machine.
check: build
	./scripts/own-network.sh sh -c 'cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600'

# `make threadsafety`: every source through clang's thread-safety analysis, as errors (front
# end only, in $(TSA_BUILD)); fails on any finding.
threadsafety: deps
	JOBS=$(JOBS) ./scripts/ci-thread-safety.sh $(TSA_BUILD)

sanitize: deps
	JOBS=$(JOBS) ./scripts/ci-sanitizers.sh

test: check
	$(MAKE) threadsafety
	$(MAKE) sanitize
	$(MAKE) fuzz

# `make scan` builds only what a scan needs (cavix_scan_parts), not the tests and benchmarks.
scan: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) --target cavix_scan_parts -j $(JOBS)
	$(if $(DEVICE),,./scripts/own-network.sh) ./scripts/scan.sh $(BUILD) $(DEVICE)

# `make fuzz`: builds the libFuzzer targets with clang in $(FUZZ_BUILD) and runs each for
# $(FUZZ_SECONDS) seconds on a copy of its corpus (fuzz/run-all.sh); fails on any crash.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCAVIX_FUZZ=ON -DCAVIX_BUILD_TESTS=OFF -DCAVIX_BUILD_BENCH=OFF
	cmake --build $(FUZZ_BUILD) --target cavix_fuzz_targets -j $(JOBS)
	./fuzz/run-all.sh $(FUZZ_SECONDS) $(FUZZ_BUILD)

# `make package`: the Debian package of the build (CPack), in $(BUILD)/package/.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
