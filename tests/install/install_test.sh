#!/usr/bin/env bash
# Installs kob into a temporary prefix and builds a small consumer against
# it: with find_package(kob), with pkg-config, and with find_package against
# a shared kob built and installed here too.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
consumer="$source/tests/install/consumer"

run_consumer() {
  (cd "$work" && "$1") | grep -qx "packed: second line"
  echo "ok: $2"
}

build_with_cmake() {  # PREFIX NAME
  cmake -S "$consumer" -B "$work/$2" -DCMAKE_PREFIX_PATH="$1" >/dev/null
  cmake --build "$work/$2" >/dev/null
  run_consumer "$work/$2/consumer" "find_package against $2"
}

cmake --install "$build" --prefix "$work/static" >/dev/null
build_with_cmake "$work/static" static

pc_dir=$(dirname "$(find "$work/static" -name kob.pc)")
export PKG_CONFIG_PATH="$pc_dir"
# shellcheck disable=SC2046
c++ -std=c++17 "$consumer/main.cpp" -o "$work/pkg-consumer" $(pkg-config --cflags --libs kob)
run_consumer "$work/pkg-consumer" "pkg-config against static"

cmake -S "$source" -B "$work/shared-build" -DBUILD_SHARED_LIBS=ON \
  -DKOB_BUILD_TESTS=OFF -DKOB_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$work/shared-build" -j 2 >/dev/null
cmake --install "$work/shared-build" --prefix "$work/shared" >/dev/null
library=$(find "$work/shared" -name 'libkob.so.0.*')
readelf -d "$library" | grep -q 'SONAME.*libkob.so.0' || { echo "no soname on $library"; exit 1; }
build_with_cmake "$work/shared" shared
