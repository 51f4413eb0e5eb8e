# SPDX-License-Identifier: GPL-2.0-or-later
# The entry points: `make demo` packs the sample dictionary and reads it
# back with kob; `make test` builds everything and runs the tests of every
# behaviour the library, the tools and the Python module promise (minutes);
# `make check-all` adds what CI runs besides (installing and building
# against kob, pip, 4 GiB files, the sanitizers, valgrind, fuzzing, the
# Debian packages: scripts/check-all.sh); `make deb` makes the packages.
# Each installs what is missing, configures and builds.
BUILD_DIR ?= build
DEMO_BUILD_DIR ?= build-demo
DEB_BUILD_DIR ?= build-deb
CHECK_BUILD_DIR ?= build-check
CMAKE_FLAGS ?=
JOBS ?= 2

.PHONY: demo test check-all deb clean

demo:
	scripts/install-deps.sh build
	cmake -S . -B $(DEMO_BUILD_DIR) -DKOB_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(DEMO_BUILD_DIR) -j $(JOBS)
	scripts/demo.sh $(DEMO_BUILD_DIR)

test:
	scripts/install-deps.sh test
	cmake -S . -B $(BUILD_DIR) -DKOB_BUILD_TESTS=ON -DKOB_PYTHON=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -LE slow

check-all:
	scripts/install-deps.sh ci
	JOBS=$(JOBS) scripts/check-all.sh $(CHECK_BUILD_DIR)

# The Debian packages libkob0.2, libkob-dev, kob and python3-kob in
# $(DEB_BUILD_DIR)/, checked with lintian and unpacked into a scratch root.
deb:
	scripts/install-deps.sh deb
	JOBS=$(JOBS) scripts/deb.sh $(DEB_BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(DEMO_BUILD_DIR) $(DEB_BUILD_DIR) $(CHECK_BUILD_DIR) \
	  $(CHECK_BUILD_DIR)-sanitize $(CHECK_BUILD_DIR)-tsan $(CHECK_BUILD_DIR)-deb
