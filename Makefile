# Entry point. `make test` installs what is missing, builds the release and the
# sanitizer configurations with warnings as errors, runs the whole suite on both, and
# checks that the portable layers still compile for Windows. `make demo` builds the
# release and runs a two-way sync between the two stand-ins, checking every outcome.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RELEASE_DIR := build/release
ASAN_DIR := build/asan

.PHONY: all test demo deps release asan test-release test-asan portable-check bench format clean

all: release

deps:
	@./scripts/install-deps.sh

release: deps
	cmake -S . -B $(RELEASE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE_DIR) -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTIDEWELL_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)

test-release: release
	ctest --test-dir $(RELEASE_DIR) --output-on-failure -j $(JOBS)

test-asan: asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

# The layering rule, and every portable source (generated ones from the release build
# included) compiled syntax-only by the MinGW-w64 cross compiler, warnings as errors.
portable-check: release
	python3 scripts/check_portable.py $(RELEASE_DIR) --jobs $(JOBS)

test: test-release test-asan portable-check

# Needs root: the web calendar stand-in binds port 443 of a loopback address.
demo: release
	python3 scripts/demo.py $(RELEASE_DIR)

bench: release
	@for b in $(RELEASE_DIR)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done

format:
	find base model platform tests bench -name '*.cc' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build
