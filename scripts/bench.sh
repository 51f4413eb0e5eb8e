#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the benchmarks in release mode and runs them on a real text corpus:
# 40 MB of the C headers under /usr/include (or CORPUS=path); then the
# lookups over HTTP (bench/http_lookup) and the Python module's benchmark
# (bench/python_bench.py) on its own corpus, Dask's (bench/dask_bench.py), and
# kob beside gzip -9, bgzip, zstd -19 and lzop on one text (bench/peers.py).
# Usage: scripts/bench.sh [benchmark flags...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
# Google Benchmark, and htslib and zstd for the peer formats.
"$root/scripts/install-deps.sh" bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKOB_BUILD_TESTS=OFF -DKOB_BUILD_BENCHMARKS=ON -DKOB_PYTHON=ON >/dev/null
cmake --build "$build" -j 2 >/dev/null
corpus=${CORPUS:-}
if [ -z "$corpus" ]; then
  corpus="${TMPDIR:-/tmp}/kob-bench-corpus.txt"
  [ -s "$corpus" ] || find /usr/include -name '*.h' -type f | sort | xargs cat 2>/dev/null | head -c 41943040 >"$corpus" || true
fi
"$build/bench/kob_bench" --kob_corpus="$corpus" "$@"
# Lookups over HTTP, kob beside htslib's BGZF, from nginx on loopback (built
# when libcurl is there).
if [ -x "$build/bench/http_lookup" ] && [ -x /usr/sbin/nginx ]; then
  "$build/bench/http_lookup" "$corpus"
fi
# Starting a process: kob -V beside gzip -V, a one-shot lookup beside bgzip's.
bash "$root/bench/startup.sh" "$build/kob" "$corpus"
# The Python module's lookups beside indexed_gzip's and the C++ reader's.
PYTHONPATH="$build/python" /usr/bin/python3 "$root/bench/python_bench.py"
# Dask over kob:// on one worker process and two, beside gzip and plain;
# requests per partition over HTTP and S3 (bench/dask_bench.py).
PYTHONPATH="$build/python" /usr/bin/python3 "$root/bench/dask_bench.py"
# kob beside its peers from the command line, on text made from the sample
# dictionary: the table of the README.
/usr/bin/python3 "$root/bench/peers.py" "$build"
