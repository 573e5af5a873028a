# The two set-up commands: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= $(CURDIR)/build-fuzz
# Seconds each fuzz target runs in `make test`; CI may shorten it.
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
# Where `cmake --install` and the package put everything.
PREFIX     ?= /opt/be_hadoop

.PHONY: all deps build build-asan run package test test-normal test-asan test-fuzz test-package clean

all: build

deps:
	@scripts/deps.sh
	@scripts/hadoop-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE=ON -DKX_BENCH=OFF >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build
	scripts/run.sh $(BUILD)

# The Debian package, in $(BUILD) (see cmake/install.cmake).
package: build
	cmake --build $(BUILD) --target package -j $(JOBS)

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Any sanitizer report aborts the test that raised it, so the run fails. The
# Hadoop label runs once, in the plain build: it exercises the cluster, and
# the container's and library's code under the sanitizers is the other labels'.
test-asan: build-asan
	cd $(ASAN_BUILD) && \
	ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ctest --output-on-failure -j $(JOBS) -LE hadoop

# Every parser of outside input, fuzzed for FUZZ_SECONDS each (clang,
# libFuzzer, ASan+UBSan), JOBS targets at a time: the CTest label "fuzz".
test-fuzz: deps
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) fuzz/run.sh $(FUZZ_SECONDS)

# The package installed, used, upgraded under a running job and purged, as an
# operator would (as root; it says so and does nothing otherwise).
test-package: package
	scripts/package-test.sh $(BUILD)

test: test-normal test-asan test-fuzz test-package

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
