# Entry points: `make test` (install, build, run the tests) and `make scan` (install, build,
# scan one page from the embedded simulated scanner, or from DEVICE=...).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps build test scan clean

deps:
	./scripts/setup-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

scan: build
	./scripts/scan.sh $(BUILD) $(DEVICE)

clean:
	rm -rf $(BUILD)
