# The two commands of the README, plus the benchmarks.
#   make run    installs what is missing, builds, starts the application
#   make test   installs what is missing, builds the test configuration, runs every test
#   make bench  builds the release configuration and runs the benchmarks

JOBS ?= $(shell nproc)
GENERATOR := -G Ninja

.PHONY: run test bench deps release test-build clean

deps:
	@scripts/install-deps

release: deps
	@cmake -S . -B build/release $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_TESTS=OFF >/dev/null
	@cmake --build build/release -j $(JOBS)

run: release
	@scripts/run-app build/release

test-build: deps
	@cmake -S . -B build/test $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=ON >/dev/null
	@cmake --build build/test -j $(JOBS)

test: test-build
	@cd build/test && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

bench: release
	@scripts/run-bench build/release

clean:
	rm -rf build
