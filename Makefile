# The two commands of the README, plus the benchmarks.
#   make run    installs what is missing, builds, starts the application
#   make test   installs what is missing, builds the test configuration, runs every test and the
#               smoke test of the real program on a virtual display (scripts/smoke-app)
#   make bench  builds the release configuration and runs the benchmarks
#   make fuzz   builds the fuzz targets with clang and runs each for FUZZ_SECONDS
#   make screenshots  renders every screen's scenes offscreen into build/screenshots
#                     (SCREENSHOT_SCALE=1 for device pixel ratio 1)

JOBS ?= $(shell nproc)
GENERATOR := -G Ninja
FUZZ_SECONDS ?= 20
SCREENSHOT_SCALE ?= 2

.PHONY: run test bench deps release test-build fuzz fuzz-build fuzz-run screenshots clean

deps:
	@scripts/install-deps

# The Google OAuth client, when given (`make run GOOGLE_CLIENT_ID=... GOOGLE_CLIENT_SECRET=...`).
OAUTH_CLIENT := $(if $(GOOGLE_CLIENT_ID),-DGOOGLE_CLIENT_ID=$(GOOGLE_CLIENT_ID)) \
  $(if $(GOOGLE_CLIENT_SECRET),-DGOOGLE_CLIENT_SECRET=$(GOOGLE_CLIENT_SECRET))

release: deps
	@cmake -S . -B build/release $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_TESTS=OFF \
	  $(OAUTH_CLIENT) >/dev/null
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
	@scripts/smoke-app build/test
	@$(MAKE) --no-print-directory fuzz-run

# The fuzz targets need clang and libFuzzer; the test programs are not built in this configuration.
fuzz-build: deps
	@CC=clang CXX=clang++ cmake -S . -B build/fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DTOLVANE_FUZZ=ON -DTOLVANE_BUILD_TESTS=OFF >/dev/null
	@cmake --build build/fuzz --target tolvane_fuzzers -j $(JOBS)

fuzz: fuzz-build
	@scripts/run-fuzz build/fuzz $(FUZZ_SECONDS)

# The bounded run `make test` ends with.
fuzz-run: fuzz-build
	@scripts/run-fuzz build/fuzz 20

bench: release
	@scripts/run-bench build/release

screenshots: release
	@rm -rf build/screenshots
	@QT_QPA_PLATFORM=offscreen build/release/tolvane_screenshots build/screenshots \
	  --scale $(SCREENSHOT_SCALE)

clean:
	rm -rf build
