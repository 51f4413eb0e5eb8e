#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# An installed kob whose dependency is missing on the consumer's machine:
# find_package(kob QUIET) must leave kob_FOUND false and the consumer's
# configure going on; find_package(kob REQUIRED) must stop it, saying what
# to install. LZO missing is played by a pkg-config that searches an empty
# folder; pkg-config missing by a PKG_CONFIG_EXECUTABLE that does not exist.
# Usage: missing_dependency_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
consumer="$source/tests/install/quiet_consumer"
mkdir "$work/empty"

fail() { echo "missing dependency: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/kob" >/dev/null
n=0
configure() {  # ARGUMENTS...: configures the consumer; its output in $out
  n=$((n + 1))
  out=$(cmake -S "$consumer" -B "$work/consumer-$n" -DCMAKE_PREFIX_PATH="$work/kob" "$@" 2>&1)
}
no_lzo=(env PKG_CONFIG_LIBDIR="$work/empty" PKG_CONFIG_PATH="$work/empty")

configure || fail "with everything there: $out"
grep -q -- "-- with kob 0\." <<<"$out" || fail "kob not found with everything there: $out"
echo "ok: found with its dependencies there"

out=$("${no_lzo[@]}" cmake -S "$consumer" -B "$work/no-lzo" -DCMAKE_PREFIX_PATH="$work/kob" 2>&1) ||
  fail "find_package(kob QUIET) without LZO stops the configure: $out"
grep -q -- "-- without kob: kob needs LZO 2.*liblzo2-dev" <<<"$out" ||
  fail "find_package(kob QUIET) without LZO: $out"
echo "ok: QUIET without LZO: not found, the consumer goes on"

! out=$("${no_lzo[@]}" cmake -S "$consumer" -B "$work/no-lzo-required" -DKOB_REQUIRED=ON \
  -DCMAKE_PREFIX_PATH="$work/kob" 2>&1) || fail "find_package(kob REQUIRED) without LZO configures"
grep -q "liblzo2-dev" <<<"$out" || fail "find_package(kob REQUIRED) without LZO does not say why: $out"
echo "ok: REQUIRED without LZO: stops, naming liblzo2-dev"

configure -DPKG_CONFIG_EXECUTABLE="$work/empty/pkg-config" ||
  fail "find_package(kob QUIET) without pkg-config stops the configure: $out"
grep -q -- "-- without kob: kob finds LZO with pkg-config, which was not found" <<<"$out" ||
  fail "find_package(kob QUIET) without pkg-config: $out"
echo "ok: QUIET without pkg-config: not found, the consumer goes on"
