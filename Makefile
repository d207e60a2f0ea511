# Wraps the CMake presets. `make test` installs what is missing, builds and runs every test;
# `make serve` installs what the build needs, builds the release binary and serves the current
# directory (or DIR=path).

DIR ?= $(CURDIR)
WERROR := $(if $(CI),ON,OFF)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Test processes CTest runs at once: the end-to-end suites mostly wait on their servers, each in
# a network namespace of its own where the machine allows it.
TEST_JOBS ?= 8

# Each suite adds its check target to CHECKS, what it builds to BUILDS and its Debian package list
# (tools/packages/NAME.txt) to DEP_GROUPS; `make test` installs every group, makes every build one
# after another (each uses every processor), then runs the checks side by side: the suites mostly
# wait on their servers, each in a network namespace of its own. Where no namespace can be made
# they share port 8080 and run one at a time.
CHECKS := check-native
BUILDS := debug
DEP_GROUPS := build
CHECKS += check-browser check-package
BUILDS += browser-deps release
DEP_GROUPS += browser package
CHECKS += check-windows
BUILDS += windows
DEP_GROUPS += windows
CHECKS += check-asan check-fuzz
BUILDS += asan fuzz-build
DEP_GROUPS += fuzz
CHECK_JOBS ?= $(if $(shell tools/netns-run --check && echo yes),$(words $(CHECKS)),1)

.PHONY: test deps serve release debug package screenshot browser-deps windows windows-builds bench
.PHONY: asan fuzz-build fuzz
.PHONY: $(CHECKS)

# Every process a suite starts inherits DIRHTTP_TEST_RUN; at the end, tools/check-leftovers fails
# the run if any such process, or a port lock file, is still there (after a failed suite too).
test: export DIRHTTP_TEST_RUN := $(shell od -An -N8 -tx8 /dev/urandom | tr -d ' ')
test: deps
	@started=$$(date +%s); status=0; \
	{ $(MAKE) $(BUILDS) && $(MAKE) -j $(CHECK_JOBS) --output-sync=target $(CHECKS); } || status=$$?; \
	tools/check-leftovers $$started || status=1; \
	echo "make test: $$(( $$(date +%s) - started )) s"; \
	exit $$status

deps:
	tools/deps.sh $(DEP_GROUPS)

debug:
	cmake --preset debug -DDIRHTTP_WERROR=$(WERROR) >/dev/null
	cmake --build --preset debug -j $(JOBS)

release:
	cmake --preset release -DDIRHTTP_WERROR=$(WERROR) >/dev/null
	cmake --build --preset release -j $(JOBS)

check-native: debug
	ctest --preset debug -j $(TEST_JOBS)

# The unit and end-to-end tests against an ASan+UBSan build. Sanitizer reports are written to
# files as well as ending the process, so a report from a server that a test kills still fails.
SANITIZER_REPORTS := $(CURDIR)/build/asan/sanitizer-reports
asan:
	cmake --preset asan -DDIRHTTP_WERROR=$(WERROR) >/dev/null
	cmake --build --preset asan -j $(JOBS)

check-asan: asan
	rm -rf "$(SANITIZER_REPORTS)" && mkdir -p "$(SANITIZER_REPORTS)"
	ctest --preset asan -j $(TEST_JOBS)
	@if [ -n "$$(ls -A "$(SANITIZER_REPORTS)")" ]; then \
	  cat "$(SANITIZER_REPORTS)"/*; echo "check-asan: sanitizer reports above"; exit 1; fi

# libFuzzer targets: `make fuzz` runs each for FUZZ_SECONDS; CI runs each for a short while.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 20
fuzz-build:
	cmake --preset fuzz -DDIRHTTP_WERROR=$(WERROR) >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

fuzz: fuzz-build
	fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

check-fuzz: fuzz-build
	fuzz/run.sh build/fuzz $(FUZZ_SMOKE_SECONDS)

# On a fresh machine `make serve` may come first: it installs what the build needs, as `make
# test` does, before it builds.
serve:
	tools/deps.sh build
	$(MAKE) release
	cd "$(DIR)" && exec "$(CURDIR)/build/release/dirhttp"

# The browser suite against the debug build: every case in headless Debian Chromium (driven by
# playwright-core) and in headless Debian Firefox ESR (puppeteer-core over WebDriver BiDi).
BROWSER_DIR := tests/browser

# npm ci again only when the lock file changed (npm ci writes node_modules/.package-lock.json).
# Neither library downloads a browser: the suite drives Debian's.
browser-deps: $(BROWSER_DIR)/node_modules/.package-lock.json

$(BROWSER_DIR)/node_modules/.package-lock.json: $(BROWSER_DIR)/package-lock.json
	cd $(BROWSER_DIR) && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error

check-browser: debug browser-deps
	cd $(BROWSER_DIR) && DIRHTTP_BIN="$(CURDIR)/build/debug/dirhttp" timeout 420 $(CURDIR)/tools/netns-run node --test browser.test.js

# The listing page as the README shows it; run by hand after a change to the listing.
screenshot: debug browser-deps
	cd $(BROWSER_DIR) && DIRHTTP_BIN="$(CURDIR)/build/debug/dirhttp" timeout 120 node screenshot.js "$(CURDIR)/docs/listing.png"

# The .deb and the .tar.gz, from the release build, into dist/.
package: release
	cd build/release && cpack -B "$(CURDIR)/dist"

# Installs the .deb, serves a file with the installed program, removes the package (root only).
check-package: package
	tools/check-package.sh dist

# The Windows program, cross-compiled: the shipped 32-bit build and the 64-bit build that the
# tests run under wine64. `make windows` leaves dist/dirhttp-<version>-win32.zip.
windows-builds:
	for preset in mingw-i686 mingw-x64; do \
	  cmake --preset $$preset -DDIRHTTP_WERROR=$(WERROR) >/dev/null && \
	  cmake --build --preset $$preset -j $(JOBS) || exit 1; \
	done

windows: windows-builds
	cmake --build --preset mingw-i686 --target windows_zip

check-windows: windows debug
	python3 tests/windows/check_pe.py build/mingw-i686/dirhttp.exe dist/dirhttp-*-win32.zip
	python3 tests/windows/check_pe.py build/mingw-x64/dirhttp.exe
	tools/netns-run tests/windows/wine_checks.sh build/mingw-x64/dirhttp.exe build/debug/dirhttp

# Micro-benchmarks, then the load benchmark against nginx, lighttpd and python3 http.server
# (a few minutes; ROUNDS and BENCH_SECONDS tune it, CELLS=small1,idle16,... picks cells,
# BASELINE=path/to/other/dirhttp adds a column). In a network namespace of its own where the
# machine allows it. Never part of `make test`.
ROUNDS ?= 3
BENCH_SECONDS ?= 2
bench:
	tools/deps.sh bench
	cmake --preset bench -DDIRHTTP_WERROR=$(WERROR) >/dev/null
	cmake --build --preset bench -j 2
	build/bench/bench/dirhttp_micro --benchmark_min_time=0.2
	tools/netns-run python3 bench/run.py build/bench --rounds $(ROUNDS) --seconds $(BENCH_SECONDS) \
	  $(if $(CELLS),--cells $(CELLS)) $(if $(BASELINE),--baseline $(BASELINE))
