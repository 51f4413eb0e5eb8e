#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Every check there is, in six stages, each configuration compiled once;
# `make check-all` runs it and .ci/run runs `make check-all`. Each stage
# prints its seconds, and a table of them ends the run; the first stage
# that fails ends it.
#   1. the tests of `make test` (warnings as errors, benchmarks built too);
#   2. in the same build, the slow ones: installing it and building against
#      it, kob as a subproject, pip's build of the module, 4 GiB files;
#   3. a clang build under AddressSanitizer and UndefinedBehaviorSanitizer,
#      fuzz targets included: the tests, then each target fuzzed briefly
#      from its corpus;
#   4. the tests of threads (their own program) under ThreadSanitizer;
#   5. valgrind memcheck over the in-process suites that reach the decoder,
#      the format, the indexes and salvage (tools and threads have their
#      own stages);
#   6. the Debian packages (`make deb`), checked with lintian and run from
#      a scratch root.
# Usage: scripts/check-all.sh [BUILD_PREFIX]   (default build-check: its
# trees are BUILD_PREFIX, BUILD_PREFIX-sanitize, -tsan and -deb)
# KOB_FUZZ_SECONDS sets each target's fuzzing time (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-check}
jobs=${JOBS:-2}
fuzz_seconds=${KOB_FUZZ_SECONDS:-20}
times=()

stage() {  # NUMBER TITLE COMMAND...: runs one stage, timed
  local number=$1 title=$2 start=$SECONDS
  shift 2
  echo "== $number/6 $title"
  "$@"
  times+=("$number/6 $title: $((SECONDS - start)) s")
  echo "== $number/6 done in $((SECONDS - start)) s"
}

tests() {
  make test BUILD_DIR="$build" JOBS="$jobs" \
    CMAKE_FLAGS="-DKOB_WERROR=ON -DKOB_BUILD_BENCHMARKS=ON"
}

# The sanitizers' own advice, -O1 with line tables, which also compiles in
# about half the time of -O2 -g.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only")

slow_tests() {
  (cd "$build" && ctest --output-on-failure -j "$jobs" -L slow)
}

sanitizers() {
  local tree=$build-sanitize
  CXX=clang++ cmake -S . -B "$tree" -DKOB_SANITIZE=ON -DKOB_BUILD_FUZZERS=ON \
    -DKOB_WERROR=ON "${sanitizer_flags[@]}" >/dev/null
  cmake --build "$tree" -j "$jobs"
  (cd "$tree" &&
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure -j "$jobs" -LE slow)
  local target scratch
  for target in reader roundtrip decoder; do
    scratch=$(mktemp -d)
    "$tree/fuzz/${target}_fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 \
      -artifact_prefix="$scratch/" -print_final_stats=1 "$scratch" "fuzz/corpus/$target" 2>&1 |
      grep -E "^(stat::number_of_executed_units|Done|==|SUMMARY)|check failed" || true
    if ls "$scratch"/crash-* "$scratch"/timeout-* "$scratch"/leak-* >/dev/null 2>&1; then
      echo "fuzzing $target found a failing input: $scratch" >&2
      return 1
    fi
    rm -rf "$scratch"
  done
}

threads() {
  local tree=$build-tsan
  CXX=clang++ cmake -S . -B "$tree" -DKOB_SANITIZE_THREADS=ON -DKOB_WERROR=ON \
    -DKOB_BUILD_EXAMPLES=OFF "${sanitizer_flags[@]}" >/dev/null
  cmake --build "$tree" -j "$jobs" --target kob_thread_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "$tree/tests/kob_thread_tests" --gtest_brief=1
}

# The suites valgrind runs: in process, and through the decoder, the
# format, the indexes or salvage. The tools run as children it does not
# follow; the URL suites' timeouts count in real time, which valgrind's
# slowness would turn into false failures (they run in stage 3).
memcheck_suites=BigEndianFields*:ChunkIndex*:ChunkReader*:ClosedFile*:DamagedFile*:Index*
memcheck_suites+=:LzoDecoder*:Members*:Opening*:OpenForReading*:PackedReader*:PackedSeek*
memcheck_suites+=:PackedWriter*:Packer*:PartialDecoding*:PlainSeek*:PlainWriter*:ReadAhead*
memcheck_suites+=:ReadError*:ReadOfZeroBytes*:ReaderMemory*:ReaderModelCheck*:ReaderState*
memcheck_suites+=:Recover.*:SalvageByIndex*:SalvageSearch*:SavedIndex*:StreamBuf*:StreamInput*
# The seal's trailer read, checked and salvaged by; its damage table, which
# reads through the tool too, runs natively and under ASan.
memcheck_suites+=:Sealed.AMissing*:Sealed.Members*:Sealed.AReader*:Sealed.Salvage*

memcheck() {
  local valgrind=(valgrind --quiet --error-exitcode=1 --leak-check=full
    --errors-for-leak-kinds=definite)
  "${valgrind[@]}" "$build/tests/kob_tests" --gtest_brief=1 --gtest_filter="$memcheck_suites"
  "${valgrind[@]}" "$build/fuzz/decoder_replay" fuzz/corpus/decoder
  "${valgrind[@]}" "$build/fuzz/reader_replay" fuzz/corpus/reader
}

packages() {
  make deb DEB_BUILD_DIR="$build-deb" JOBS="$jobs"
}

stage 1 "tests (make test)" tests
stage 2 "slow tests: install, subproject, pip, 4 GiB" slow_tests
stage 3 "AddressSanitizer, UndefinedBehaviorSanitizer and fuzzing" sanitizers
stage 4 "threads under ThreadSanitizer" threads
stage 5 "valgrind memcheck" memcheck
stage 6 "Debian packages" packages

echo "== seconds"
printf '  %s\n' "${times[@]}"
echo "check-all: every stage passed in $SECONDS s"
