#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Packs the sample dictionary with kobpack in a scratch folder and reports.
# Usage: scripts/demo.sh BUILD_DIR
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
work="$build/demo"
rm -rf "$work"
mkdir -p "$work"
cp "$root/examples/dictionary.data" "$work/"

cd "$work"
"$build/kobpack"
plain=$(stat -c %s dictionary.data)
packed=$(stat -c %s dictionary.data.kob)
echo "kobpack packed $work/dictionary.data"
echo "  dictionary.data      $plain bytes"
echo "  dictionary.data.kob  $packed bytes ($(awk "BEGIN { printf \"%.1f\", 100 * $packed / $plain }")% of the original)"

echo
echo "lookup of \"lighthouse\" in the packed dictionary (one seek, one read):"
"$build/lookup" dictionary.data.kob "$root/examples/dictionary.index" lighthouse
