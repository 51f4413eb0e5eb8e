#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# What the README shows runs as it says.
#   readme_test.sh examples SOURCE_DIR BUILD_DIR: every example of the
#     README's command-line section, each in a scratch folder of its own
#     holding the sample dictionary and the files the examples name;
#   readme_test.sh demo SOURCE_DIR BUILD_DIR: `make demo`'s script, which
#     packs, checks, lists and reads the sample with kob.
set -uo pipefail
mode=$1
source_dir=$(cd "$2" && pwd)
build=$(cd "$3" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if [ "$mode" = demo ]; then
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
  exit 0
fi

# The examples: the indented lines of the section "## Command line" that
# run kob or kobcat, without their comments.
mapfile -t examples < <(awk '/^## /{ on = ($0 == "## Command line") } on' \
  "$source_dir/README.md" | grep -E '^    kob(cat)? ' | sed -E 's/^    //; s/ +#.*$//')
[ ${#examples[@]} -ge 15 ] || fail "only ${#examples[@]} examples found in the README"

# What the examples take for granted: the sample, two small files, a big
# one, a packed file; broken.kob a packed file with a damaged chunk.
fixture="$work/fixture"
mkdir "$fixture" "$work/bin"
cp "$source_dir/examples/dictionary.data" "$fixture/"
printf 'first file\n' >"$fixture/a"
printf 'second file\n' >"$fixture/b"
for _ in $(seq 40); do cat "$fixture/dictionary.data"; done >"$fixture/big.data"
# x.kob is plain, as the examples index it (a sealed file needs no index).
"$build/kob" -c --no-seal "$fixture/dictionary.data" >"$fixture/x.kob"
"$build/kob" -c -B 1k "$fixture/dictionary.data" >"$work/broken.kob"
head -c 400 /dev/zero | tr '\0' '\377' |
  dd of="$work/broken.kob" bs=1 seek=3000 conv=notrunc status=none
# A pager that pages nothing: the examples run without a terminal.
printf '#!/bin/sh\nexec cat "$@"\n' >"$work/bin/less"
chmod +x "$work/bin/less"

n=0
for example in "${examples[@]}"; do
  n=$((n + 1))
  folder="$work/example$n"
  cp -r "$fixture" "$folder"
  mkdir "$folder/home"
  # A packed file it names is there, made from the file it was packed
  # from; unpacking, the file it unpacks into is not.
  for word in $example; do
    case $word in
      broken.kob) cp "$work/broken.kob" "$folder/" ;;
      *'*'* | -* | '>' | '<' | '|') ;;
      *.kob)
        plain=${word%.kob}
        if [ ! -e "$folder/$word" ] && [ -f "$folder/$plain" ]; then
          "$build/kob" -c "$folder/$plain" >"$folder/$word"
          case " $example " in *" -d "*) rm "$folder/$plain" ;; esac
        fi
        ;;
    esac
  done
  expected=0
  case $example in *--recover*) expected=1 ;; esac  # it lost a chunk
  out=$(cd "$folder" && HOME="$folder/home" PATH="$build:$work/bin:$PATH" \
    bash -c "$example" 2>&1 </dev/null)
  status=$?
  if [ $status -ne $expected ]; then
    fail "'$example' exits with $status, not $expected:"
    echo "$out" | head -5
  fi
done
[ $failures -eq 0 ] || { echo "$failures of $n examples failed"; exit 1; }
echo "ok: $n examples of the README"
