#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# `make demo`'s script runs as it says: it packs, checks, lists and reads
# the sample with kob, and looks a word up.
# Usage: demo_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

out=$("$source_dir/scripts/demo.sh" "$build" 2>&1) || fail "demo.sh: status $?"
for said in '% saved\)' '\$ kob -v -i dictionary.data' \
  'dictionary.data: [0-9.]+% -- created dictionary.data.kob' \
  'byte for byte what kobpack wrote' \
  'dictionary.data.kob: OK \(content checked against its index\)' \
  ' +packed +unpacked +saved +chunks' ' valid  dictionary.data.kob' \
  '\$ kob -b [0-9]+ -s [0-9]+ dictionary.data.kob' \
  'A tower with a bright light'; do
  grep -qE -- "$said" <<<"$out" || fail "demo.sh does not say /$said/"
done
[ "$(grep -c 'A tower with a bright light' <<<"$out")" -eq 2 ] ||
  fail "kob -b/-s and lookup do not find the same entry"
[ $failures -eq 0 ] || { echo "$out"; exit 1; }
echo "ok: demo"
