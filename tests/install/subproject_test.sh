#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds kob inside a parent project (tests/install/parent) and installs the
# parent: as a subproject kob builds its library only (no tests, tools or
# examples, no CLI11 looked for), the parent's program links and runs, and
# the parent's `cmake --install` succeeds. kob is built shared, which the
# install must then bring along (a static one is what every other build
# of the tests makes).
# Usage: subproject_test.sh SOURCE_DIR
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "subproject: $*" >&2; exit 1; }

for kind in shared; do
  build="$work/$kind-build"
  prefix="$work/$kind"
  shared=OFF
  [ "$kind" = shared ] && shared=ON
  cmake -S "$source/tests/install/parent" -B "$build" -DKOB_SOURCE_DIR="$source" \
    -DBUILD_SHARED_LIBS=$shared >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "$kind: the parent does not configure"; }
  ! grep -q '^CLI11_DIR' "$build/CMakeCache.txt" || fail "$kind: CLI11 was looked for"
  targets=$(cmake --build "$build" --target help)
  for target in kob_tests lookup_tests kob_tool kobpack lookup kob_support; do
    ! grep -qw "$target" <<<"$targets" || fail "$kind: kob's $target is a target of the parent"
  done
  cmake --build "$build" -j 2 >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; fail "$kind: the parent does not build"; }
  [ -z "$(find "$build" -name kob_tests -o -name kobpack -o -name lookup -type f)" ] ||
    fail "$kind: kob's tests, tools or examples were built"
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "$kind: cmake --install of the parent fails"; }
  [ -x "$prefix/bin/app" ] || fail "$kind: the parent's program is not installed"
  for tool in kob kobpack kobcat; do
    [ ! -e "$prefix/bin/$tool" ] || fail "$kind: $tool is installed"
  done
  [ ! -e "$prefix/share/man" ] || fail "$kind: manual pages are installed"
  [ -f "$prefix/include/kob/kob.h" ] || fail "$kind: kob's headers are not installed"
  out=$(cd "$work" && LD_LIBRARY_PATH="$prefix/lib" "$prefix/bin/app")
  grep -qx "packed: second line" <<<"$out" || fail "$kind: the installed program says: $out"
  if [ "$kind" = shared ]; then
    libraries=$(LD_LIBRARY_PATH="$prefix/lib" ldd "$prefix/bin/app")
    grep -q "libkob.so.* => $prefix/lib/" <<<"$libraries" ||
      fail "the installed program does not run with the installed libkob.so"
  fi
  echo "ok: kob as a $kind subproject: library only, the parent installs"
done
