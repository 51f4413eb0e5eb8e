#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Option combinations that cannot work stop the configure with a message
# naming what is missing, and the package scripts refuse bad arguments
# with a usage line or a message, all with a non-zero status.
# Usage: bad_options_test.sh SOURCE_DIR
set -uo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

refuses() {  # MESSAGE COMMAND...: COMMAND fails and prints MESSAGE
  local message=$1 out status
  shift
  out=$("$@" 2>&1)
  status=$?
  if [ $status -eq 0 ] || ! grep -q -- "$message" <<<"$out"; then
    echo "FAIL: $* (status $status) does not say '$message':"
    tail -5 <<<"$out"
    failures=$((failures + 1))
  fi
}

refuses "KOB_BUILD_TESTS=ON needs KOB_BUILD_TOOLS=ON" \
  cmake -S "$source" -B "$work/a" -DKOB_BUILD_TESTS=ON -DKOB_BUILD_TOOLS=OFF
refuses "KOB_DEBIAN_PACKAGING needs BUILD_SHARED_LIBS" \
  cmake -S "$source" -B "$work/b" -DKOB_DEBIAN_PACKAGING=ON -DKOB_BUILD_TESTS=OFF
refuses "usage: .*install-deps.sh build|test|bench|deb|ci" "$source/scripts/install-deps.sh" nonsense
refuses "usage: .*check-debs.sh BUILD_DIR" "$source/scripts/check-debs.sh"
mkdir "$work/empty"
refuses "not one package libkob0" "$source/scripts/check-debs.sh" "$work/empty"
refuses "No such file" "$source/scripts/check-debs.sh" "$work/missing"
refuses "usage: .*demo.sh BUILD_DIR (with kob, kobpack and lookup built)" \
  "$source/scripts/demo.sh" "$work/empty"
refuses "usage: .*demo.sh BUILD_DIR" "$source/scripts/demo.sh" "$work/empty" extra

[ "$failures" -eq 0 ] || { echo "$failures checks failed"; exit 1; }
echo "ok: bad options and arguments are refused with a message"
