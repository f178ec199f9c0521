# The two set-up commands: `make demo` and `make test`.
PRESET ?= default
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifdef CI
CMAKE_FLAGS += -DTARNWICK_WERROR=ON
endif

.PHONY: deps configure build test check-long asan bench demo fuzz install package clean format format-check screenshots

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

# The long tests (label "long": the 10,000-file load, the 1 GB inputs) run
# only under check-long.
test: build
	@ctest --preset $(PRESET) -j $(JOBS) -LE long

check-long: build
	@ctest --preset $(PRESET) -L long --output-on-failure

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

bench: deps
	@cmake --preset default $(CMAKE_FLAGS) -DTARNWICK_BENCH=ON >/dev/null
	@cmake --build --preset default -j $(JOBS)
	@scripts/run-bench build/default

# Builds the harnesses, then runs each for FUZZ_SECONDS (default 180);
# FUZZ_HARNESSES picks some (e.g. "raw_fuzz codec_fuzz").
FUZZ_SECONDS ?= 180
FUZZ_HARNESSES ?=
fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	@FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz build/fuzz $(FUZZ_HARNESSES)

demo: build
	@scripts/demo build/$(PRESET)

# Each tab of the window after a real folder run, drawn offscreen (no display needed).
screenshots: configure
	@cmake --build --preset $(PRESET) --target take_screenshots -j $(JOBS)
	@build/$(PRESET)/ui/take_screenshots docs/screenshots

install: build
	@cmake --install build/$(PRESET) $(if $(PREFIX),--prefix $(PREFIX))

# The Debian package, written into build/$(PRESET)/package/.
package: build
	@cd build/$(PRESET) && cpack -G DEB -B package

clean:
	rm -rf build out

# C++ sources follow .clang-format; `format` rewrites them, `format-check` fails on any difference.
FORMAT_FILES = git ls-files '*.cpp' '*.h' '*.c'

format: deps
	@$(FORMAT_FILES) | xargs clang-format -i

format-check: deps
	@$(FORMAT_FILES) | xargs clang-format --dry-run -Werror
