# Entry points: `make test` (install, build, run the test suite, then the thread-safety
# analysis, the sanitizer runs and the short fuzz runs: what CI runs) and `make scan`
# (install, build what a scan needs, scan one page from the embedded simulated scanner, or from
# DEVICE=...).
# The parts of `make test` are commands of their own: `make check` (the suite),
# `make threadsafety` (clang's thread-safety analysis of every source, as errors),
# `make sanitize` (the suite under the address and undefined-behaviour sanitizers, the
# threaded tests under the thread sanitizer) and `make fuzz` (each fuzz target for a short
# time). `make package` builds the Debian package; `make package-root` (network) and `make
# package-test` try it on a clean Debian 12 root; `make cross-arm64` and `make check-arm64` build
# the tree for arm64 and run its unit suites under qemu.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

TSA_BUILD ?= build-tsa
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
ARM64_BUILD ?= build-arm64

.PHONY: deps build check threadsafety sanitize test scan fuzz package clean \
	cross-arm64 check-arm64 package-root package-test

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
	$(MAKE) package-test
	$(MAKE) check-arm64
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

# `make cross-arm64`: the tree for arm64 with Debian's cross toolchain and the arm64 -dev
# packages (scripts/setup-cross-arm64.sh installs them), in $(ARM64_BUILD), with its package,
# whose files are checked to be arm64 ones. `make check-arm64` runs the suite there under qemu's
# user-mode emulation, less the tests in scripts/arm64-ci-exclude.txt (ARM64_EXCLUDE='^$' for all).
ARM64_EXCLUDE ?= $(shell grep -v '^\#' scripts/arm64-ci-exclude.txt | paste -sd'|')
cross-arm64:
	./scripts/setup-cross-arm64.sh
	cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCAVIX_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ARM64_BUILD) -j $(JOBS)
	rm -rf $(ARM64_BUILD)/package && cd $(ARM64_BUILD) && cpack -G DEB
	./scripts/check-deb-arch.sh $(ARM64_BUILD)/package/cavix_*_arm64.deb aarch64

check-arm64: cross-arm64
	cd $(ARM64_BUILD) && $(CURDIR)/scripts/own-network.sh ctest --output-on-failure -j $(JOBS) --timeout 900 \
	  -E '$(ARM64_EXCLUDE)'

# `make package-root` (the one step that uses the network: mmdebstrap and apt) makes a clean
# Debian 12 root in $(BUILD)/package-root with the package installed by apt; `make
# package-test` checks it there without the network (tests/packaging/CleanRootTest.sh).
package-root: package
	./scripts/package-root.sh $(BUILD); rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 77 ]

package-test:
	./tests/packaging/CleanRootTest.sh $(BUILD); rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 77 ]

clean:
	rm -rf $(BUILD)
