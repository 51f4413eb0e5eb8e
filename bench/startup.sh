#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# What a process of the tool costs to start, beside its peers in the same
# run: `kob -V` against `gzip -V`, and a one-shot lookup, `kob -b N -s M`
# with its saved index against `bgzip -b N -s M` with its .gzi. Timed with
# hyperfine (Debian's), each the mean of many runs; the ratios are what
# count (the goal: kob -V within 1.5 times gzip -V).
# Usage: bench/startup.sh KOB [CORPUS]
set -euo pipefail
kob=$(realpath "${1:?usage: $0 KOB [CORPUS]}")
corpus=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for tool in hyperfine bgzip gzip; do
  command -v "$tool" >/dev/null || { echo "startup: needs $tool (scripts/install-deps.sh bench)" >&2; exit 1; }
done
if [ -z "$corpus" ]; then
  corpus="$work/corpus"
  find /usr/include -name '*.h' -type f | sort | xargs cat 2>/dev/null | head -c 20000000 >"$corpus" || true
fi
cp "$corpus" "$work/c"
"$kob" -q -k -i "$work/c"
bgzip -c -i -I "$work/c.gz.gzi" "$work/c" >"$work/c.gz"
size=$(stat -c %s "$work/c")
at=$((size / 2 + 12345))
# Libraries each maps at start.
echo "shared objects mapped: kob $(ldd "$kob" | wc -l), gzip $(ldd "$(command -v gzip)" | wc -l), bgzip $(ldd "$(command -v bgzip)" | wc -l)"
hyperfine -N --warmup 20 --runs 300 --export-json "$work/start.json" \
  "$kob -V" "gzip -V" >/dev/null
hyperfine -N --warmup 10 --runs 200 --export-json "$work/lookup.json" \
  "$kob -b $at -s 100 $work/c.kob" "bgzip -b $at -s 100 $work/c.gz" >/dev/null
python3 - "$work/start.json" "$work/lookup.json" <<'PY'
import json, sys
for path in sys.argv[1:]:
    results = json.load(open(path))["results"]
    ours, peer = results
    for one in (ours, peer):
        print("%-40s median %6.2f ms, mean %6.2f ms" % (
            one["command"].split("/")[-1], one["median"] * 1e3, one["mean"] * 1e3))
    print("%-40s median %6.2f" % ("ratio", ours["median"] / peer["median"]))
PY
