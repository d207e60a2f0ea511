# Wraps the CMake presets. `make test` installs what is missing, builds and runs every test;
# `make serve` builds the release binary and serves the current directory (or DIR=path).

DIR ?= $(CURDIR)
WERROR := $(if $(CI),ON,OFF)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Each suite adds its check target to CHECKS and its Debian package list (tools/packages/NAME.txt)
# to DEP_GROUPS; `make test` installs every group, then runs every check.
CHECKS := check-native
DEP_GROUPS := build

.PHONY: test deps serve release debug bench $(CHECKS)

test: deps
	$(MAKE) $(CHECKS)

deps:
	tools/deps.sh $(DEP_GROUPS)

debug:
	cmake --preset debug -DDIRHTTP_WERROR=$(WERROR) >/dev/null
	cmake --build --preset debug -j $(JOBS)

release:
	cmake --preset release -DDIRHTTP_WERROR=$(WERROR) >/dev/null
	cmake --build --preset release -j $(JOBS)

check-native: debug
	ctest --preset debug

serve: release
	cd "$(DIR)" && exec "$(CURDIR)/build/release/dirhttp"

# Micro-benchmarks, then the load benchmark against nginx, lighttpd and python3 http.server
# (a few minutes; ROUNDS and BENCH_SECONDS tune it). Never part of `make test`.
ROUNDS ?= 3
BENCH_SECONDS ?= 2
bench:
	tools/deps.sh bench
	cmake --preset bench -DDIRHTTP_WERROR=$(WERROR) >/dev/null
	cmake --build --preset bench -j 2
	build/bench/bench/dirhttp_micro --benchmark_min_time=0.2
	python3 bench/run.py build/bench --rounds $(ROUNDS) --seconds $(BENCH_SECONDS)
