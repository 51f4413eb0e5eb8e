#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Packs the sample dictionary in a scratch folder, with kobpack and with
# kob, then checks, lists and reads it with kob and looks a word up with the
# lookup example.
# Usage: scripts/demo.sh BUILD_DIR   (with kob, kobpack and lookup built)
set -euo pipefail

if [ $# -gt 1 ] || ! [ -x "${1:-build}/kob" ] || ! [ -x "${1:-build}/kobpack" ] ||
  ! [ -x "${1:-build}/lookup" ]; then
  echo "usage: $0 BUILD_DIR (with kob, kobpack and lookup built)" >&2
  exit 2
fi
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work="$build/demo"
rm -rf "$work"
mkdir -p "$work"
cp "$root/examples/dictionary.data" "$work/"
export PATH="$build:$PATH"

# Shows a command, then runs it.
run() {
  echo "\$ $*"
  "$@"
}

cd "$work"
kobpack
plain=$(stat -c %s dictionary.data)
packed=$(stat -c %s dictionary.data.kob)
echo "kobpack packed $work/dictionary.data"
echo "  dictionary.data      $plain bytes"
echo "  dictionary.data.kob  $packed bytes ($(awk "BEGIN { printf \"%.1f\", 100 * (1 - $packed / $plain) }")% saved)"

echo
echo "kob packs the same bytes, with its index (-i), and checks, lists and reads them:"
mkdir with-kob
cp dictionary.data with-kob/
cd with-kob
run kob -v -i dictionary.data
cmp dictionary.data.kob ../dictionary.data.kob
echo "(byte for byte what kobpack wrote)"
run kob -t -v dictionary.data.kob
run kob -l dictionary.data.kob
# The entry for "lighthouse", where examples/dictionary.index says it is.
read -r offset length < <(awk -F '\t' '$1 == "lighthouse" { print $2, $3 }' \
  "$root/examples/dictionary.index")
run kob -b "$offset" -s "$length" dictionary.data.kob
cd ..

echo
echo "lookup of \"lighthouse\" in the packed dictionary (one seek, one read):"
lookup dictionary.data.kob "$root/examples/dictionary.index" lighthouse
