# SPDX-License-Identifier: GPL-2.0-or-later
# The two entry points: `make demo` packs the sample dictionary, `make test`
# runs every test. Each installs what is missing, configures and builds.
BUILD_DIR ?= build
DEMO_BUILD_DIR ?= build-demo
CMAKE_FLAGS ?=
JOBS ?= 2

.PHONY: demo test build clean

demo:
	scripts/install-deps.sh build
	cmake -S . -B $(DEMO_BUILD_DIR) -DKOB_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(DEMO_BUILD_DIR) -j $(JOBS)
	scripts/demo.sh $(DEMO_BUILD_DIR)

test:
	scripts/install-deps.sh test
	cmake -S . -B $(BUILD_DIR) -DKOB_BUILD_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(DEMO_BUILD_DIR)
