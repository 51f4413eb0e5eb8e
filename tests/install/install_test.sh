#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs kob into a temporary prefix and builds a small consumer against
# it: with find_package(kob), with pkg-config, and with find_package against
# a shared kob built and installed here too. The consumer includes the
# headers both as <kob/kob.h> and as "kob.h", and checks that the library's
# version is its headers'. The shared library must carry the soname of its
# version and export only what the installed headers declare.
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

cmake --install "$build" --prefix "$work/static" >/dev/null
check_headers "$work/static"
build_with_cmake "$work/static" static

pc_dir=$(dirname "$(find "$work/static" -name kob.pc)")
export PKG_CONFIG_PATH="$pc_dir"
# shellcheck disable=SC2046
c++ -std=c++17 "$consumer/main.cpp" "$consumer/plain_names.cpp" -o "$work/pkg-consumer" \
  $(pkg-config --cflags --libs kob)
# The build's own kob may be shared too (-DBUILD_SHARED_LIBS=ON).
LD_LIBRARY_PATH="$work/static/lib" run_consumer "$work/pkg-consumer" "pkg-config against static"

cmake -S "$source" -B "$work/shared-build" -DBUILD_SHARED_LIBS=ON \
  -DKOB_BUILD_TESTS=OFF -DKOB_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$work/shared-build" -j 2 >/dev/null
cmake --install "$work/shared-build" --prefix "$work/shared" >/dev/null
check_headers "$work/shared"
# Before 1.0 the soname carries the minor version too: 0.2.0 is libkob.so.0.2.
major=${version%%.*}
minor=${version#*.}
minor=${minor%%.*}
if [ "$major" -eq 0 ]; then soname="libkob.so.0.$minor"; else soname="libkob.so.$major"; fi
library="$work/shared/lib/libkob.so.$version"
[ -f "$library" ] || { echo "no $library:" $(ls "$work/shared/lib") >&2; exit 1; }
readelf -d "$library" | grep -q "SONAME.*\[$soname\]" ||
  { echo "soname of $library is not $soname:" >&2; readelf -d "$library" | grep SONAME >&2; exit 1; }
[ "$(readlink "$work/shared/lib/$soname")" = "libkob.so.$version" ] ||
  { echo "$soname does not link to libkob.so.$version" >&2; exit 1; }
echo "ok: soname $soname"
bash "$source/tests/install/check_exports.sh" "$library" "$work/shared/include" "$source"
build_with_cmake "$work/shared" shared

export PKG_CONFIG_PATH="$work/shared/lib/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++17 "$consumer/main.cpp" "$consumer/plain_names.cpp" -o "$work/pkg-shared-consumer" \
  $(pkg-config --cflags --libs kob)
LD_LIBRARY_PATH="$work/shared/lib" run_consumer "$work/pkg-shared-consumer" "pkg-config against shared"
