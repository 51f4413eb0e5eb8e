#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build kob's tests were made in into a temporary prefix and
# builds a small consumer against it, with find_package(kob) and with
# pkg-config. The consumer includes the headers both as <kob/kob.h> and as
# "kob.h", and checks that the library's version is its headers'. The
# shared library's soname and exports are checked on the Debian packages
# (scripts/check-debs.sh), which hold the shared build.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1
source=$2
version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
consumer="$source/tests/install/consumer"

run_consumer() {  # PROGRAM NAME
  local out
  out=$(cd "$work" && "$1")
  grep -qx "packed: second line" <<<"$out"
  grep -qx "damage: .*cut short.*" <<<"$out"
  grep -qx "version: $version" <<<"$out" || { echo "$2: $out" >&2; exit 1; }
  echo "ok: $2"
}

build_with_cmake() {  # PREFIX NAME
  cmake -S "$consumer" -B "$work/$2" -DCMAKE_PREFIX_PATH="$1" >/dev/null
  cmake --build "$work/$2" >/dev/null
  run_consumer "$work/$2/consumer" "find_package against $2"
}

check_headers() {  # PREFIX
  local include="$1/include"
  for header in kob.h kob_damage.h kob_export.h kob_streambuf.h kob_pack.h kob_shared.h kob_version.h; do
    [ -f "$include/kob/$header" ] || { echo "not installed: include/kob/$header" >&2; exit 1; }
  done
  if [ -n "$(find "$include" -maxdepth 1 -type f)" ]; then
    echo "headers installed beside include/kob/:" $(find "$include" -maxdepth 1 -type f) >&2
    exit 1
  fi
  for internal in packed_reader.h format.h lzo_decoder.h read_window.h unique_fd.h; do
    [ ! -e "$include/kob/$internal" ] || { echo "an internal header is installed: $internal" >&2; exit 1; }
  done
  echo "ok: headers in include/kob/, internal ones not installed"
}

cmake --install "$build" --prefix "$work/kob" >/dev/null
check_headers "$work/kob"
build_with_cmake "$work/kob" installed

pc_dir=$(dirname "$(find "$work/kob" -name kob.pc)")
export PKG_CONFIG_PATH="$pc_dir"
# shellcheck disable=SC2046
c++ -std=c++17 "$consumer/main.cpp" "$consumer/plain_names.cpp" -o "$work/pkg-consumer" \
  $(pkg-config --cflags --libs kob)
# The build's own kob may be shared (-DBUILD_SHARED_LIBS=ON).
LD_LIBRARY_PATH="$work/kob/lib" run_consumer "$work/pkg-consumer" "pkg-config"
