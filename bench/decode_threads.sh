#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Decompression of a whole file on one and on two threads: `kob -dc -T 1`
# and `-T 2` beside `zstd -dc -T2`, `bgzip -dc -@2` and `lzop -dc`, on the
# same 400 MB of text (the corpus ten times over), in one run, each the
# best of three, output to /dev/null. Prints seconds and MB/s, and the
# ratio of kob -T 2 to kob -T 1.
# Usage: bench/decode_threads.sh KOB CORPUS [SCRATCH]
set -euo pipefail
kob=$1
corpus=$2
scratch=${3:-${TMPDIR:-/tmp}/kob-decode-bench}
mkdir -p "$scratch"
data="$scratch/data"
if [ ! -s "$data" ]; then
  for _ in 1 2 3 4 5 6 7 8 9 10; do cat "$corpus"; done >"$data"
fi
size=$(stat -c %s "$data")
[ -s "$data.kob" ] || "$kob" -T 0 -c "$data" >"$data.kob"
[ -s "$data.zst" ] || zstd -q -T0 -c "$data" >"$data.zst"
[ -s "$data.gz" ] || bgzip -@2 -c "$data" >"$data.gz"
[ -s "$data.lzo" ] || lzop -q -c "$data" >"$data.lzo"

# The best wall time of three runs of a command, in seconds.
best() {
  local fastest=""
  for _ in 1 2 3; do
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    local took=$(((end - start) / 1000))
    if [ -z "$fastest" ] || [ "$took" -lt "$fastest" ]; then fastest=$took; fi
  done
  echo "$fastest"
}

printf '%-22s %10s %10s\n' "decompress $((size / 1000000)) MB" seconds MB/s
report() {
  local name=$1 micros=$2
  printf '%-22s %10.3f %10.1f\n' "$name" "$(echo "$micros / 1000000" | bc -l)" \
    "$(echo "$size / $micros" | bc -l)"
}
one=$(best "$kob" -dc -T 1 "$data.kob")
report "kob -dc -T 1" "$one"
two=$(best "$kob" -dc -T 2 "$data.kob")
report "kob -dc -T 2" "$two"
report "zstd -dc -T2" "$(best zstd -q -dc -T2 "$data.zst")"
report "bgzip -dc -@2" "$(best bgzip -dc -@2 "$data.gz")"
report "lzop -dc" "$(best lzop -q -dc "$data.lzo")"
printf 'kob -T 2 / -T 1: %.2fx\n' "$(echo "$one / $two" | bc -l)"
