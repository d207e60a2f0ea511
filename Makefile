# Wraps the CMake presets. `make test` installs what is missing, builds and runs every test;
# `make serve` builds the release binary and serves the current directory (or DIR=path).

DIR ?= $(CURDIR)
WERROR := $(if $(CI),ON,OFF)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Each suite adds its check target to CHECKS and its Debian package list (tools/packages/NAME.txt)
# to DEP_GROUPS; `make test` installs every group, then runs every check.
CHECKS := check-native
DEP_GROUPS := build

.PHONY: test deps serve release debug $(CHECKS)

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
