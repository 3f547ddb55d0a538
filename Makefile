# TamselHelper: the two commands of the README, and the rest of the developer loop.
#   make demo   install what is missing, build, run the helper end to end in the sandbox
#   make test   install what is missing, build, run every test (unit and sandbox system tests)
# Also: make build, make package, make test-sanitize, make fuzz, make bench, make mutants,
# make format, make tidy, make clean.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
JOBS ?= $(shell nproc)
BUILD ?= build/main
BUILD_TYPE ?= RelWithDebInfo
FUZZ_SECONDS ?= 20
CMAKE_FLAGS ?=

DEBIAN_PACKAGES := build-essential cmake ninja-build pkg-config \
  libssl-dev libsqlite3-dev libplist-dev libgtest-dev libgmock-dev libbenchmark-dev \
  clang libclang-rt-14-dev openssl sqlite3 bubblewrap util-linux procps iproute2 systemd \
  ca-certificates curl systemd-container mmdebstrap lintian man-db

.PHONY: all deps build package demo test unit-test system-test test-sanitize fuzz bench mutants \
  format tidy clean

all: build

# Installs the Debian packages that are missing (as root); otherwise says which are missing.
deps:
	@missing=$$(for p in $(DEBIAN_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' "$$p" 2>/dev/null | grep -q '^install ok installed' || echo "$$p"; \
	  done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:" $$missing; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	  else \
	    echo "Missing Debian packages (run as root, or: sudo apt-get install $$missing)" >&2; exit 1; \
	  fi; \
	fi

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTAMSEL_WERROR=ON $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The Debian package, build/main/tamsel-helper_VERSION.deb (docs/PACKAGING.md).
package: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target deb

demo: build
	sandbox/run --build $(BUILD) -- /usr/local/libexec/tamsel/demo.sh

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

unit-test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L unit

system-test: build
	cd $(BUILD) && ctest --output-on-failure -L system

# Unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer. The same clang build
# carries the libFuzzer targets, so make fuzz after it builds only those.
SANITIZE_BUILD := build/sanitize
SANITIZE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMSEL_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTAMSEL_SANITIZE=address,undefined -DTAMSEL_FUZZ=ON -DTAMSEL_BENCH=OFF

test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) $(SANITIZE_FLAGS)
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS) -L unit --timeout 900

# Every libFuzzer target for FUZZ_SECONDS each, from the seed corpora in the tree.
fuzz: deps
	cmake -S . -B $(SANITIZE_BUILD) $(SANITIZE_FLAGS)
	cmake --build $(SANITIZE_BUILD) -j $(JOBS) --target fuzzers
	@while read -r f seeds; do \
	  [ -n "$$f" ] || continue; name=$$(basename $$f); corpus=$(SANITIZE_BUILD)/corpus/$$name; mkdir -p $$corpus; \
	  [ -d "$$seeds" ] || seeds=; \
	  echo "== $$name ($(FUZZ_SECONDS)s)"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $$corpus $$seeds </dev/null 2>&1 | tail -4; \
	done < $(SANITIZE_BUILD)/fuzzers.txt

# Every benchmark; the ratios they print are written into docs/PERFORMANCE.md.
bench: deps
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMSEL_TESTS=OFF
	cmake --build build/bench -j $(JOBS)
	@for b in $$(cat build/bench/benches.txt); do echo "== $$(basename $$b)"; $$b; done \
	  | tee build/bench/output.txt
	@tools/bench/report.sh build/bench/output.txt docs/PERFORMANCE.md

# Each deliberate fault of tools/mutants/faults.txt, one at a time, against every test, in its own
# build directory (build/mutants). Slow (see docs/MUTANTS.md); not part of CI. MUTANTS=NAME... runs
# only those faults.
mutants: deps
	tools/mutants/run.sh $(MUTANTS)

format:
	git ls-files '*.h' '*.cc' | xargs clang-format -i

tidy: $(BUILD)/build.ninja
	git ls-files '*.cc' | grep -v '_fuzz.cc$$' | xargs clang-tidy -p $(BUILD) --quiet

clean:
	rm -rf build
