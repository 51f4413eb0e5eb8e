#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Sources completion/kob.bash and asks it for completions as bash would,
# through COMP_WORDS and COMP_CWORD, in a folder of a few files; and checks
# that it offers every option `kob --help` lists.
# Usage: completion_test.sh SOURCE_DIR KOB
set -uo pipefail
source_dir=$1
kob=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch a.kob b.kob notes.txt data a.kob.kbi
mkdir folder sub.kob

# shellcheck source=/dev/null
source "$source_dir/completion/kob.bash"
failures=0

# Completes LINE (the cursor at its end; a trailing space starts a new word)
# and prints the candidates, sorted, on one line.
completions() {
  local line=$1
  # bash breaks words at = too (COMP_WORDBREAKS): --output=x is three.
  read -r -a COMP_WORDS <<<"${line//=/ = }"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  local function
  function=$(complete -p "${COMP_WORDS[0]}" | sed -E 's/.*-F ([^ ]+).*/\1/')
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]:-}"
  printf '%s\n' "${COMPREPLY[@]}" | sort -u | paste -sd' '
}

expect() {  # LINE EXPECTED: the candidates are exactly EXPECTED
  local got
  got=$(completions "$1")
  if [ "$got" != "$2" ]; then
    echo "FAIL: '$1' completes to '$got', not '$2'"
    failures=$((failures + 1))
  fi
}

expect_all() {  # LINE REGEX: there are candidates, and every one matches
  local got
  got=$(completions "$1")
  if [ -z "$got" ] || tr ' ' '\n' <<<"$got" | grep -qvE "$2"; then
    echo "FAIL: '$1' completes to '$got', not only /$2/"
    failures=$((failures + 1))
  fi
}

# Packed files only, and folders, when unpacking, testing, listing or
# recovering, also as -b and -s imply it.
packed="a.kob b.kob folder sub.kob"
expect "kob -d " "$packed"
expect "kob --decompress " "$packed"
expect "kob -t -v " "$packed"
expect "kob -l a.kob " "$packed"
expect "kob -l --json " "$packed"
expect "kob -dc " "$packed"
expect "kob -vt " "$packed"
expect "kob --recover " "$packed"
expect "kob -b 5 " "$packed"
expect "kob -s 5 " "$packed"
expect "kob -cb5 " "$packed"
expect "kob --offset=5 " "$packed"
expect "kob --size 100 " "$packed"
expect "kob -d b" "b.kob"
expect "kobcat " "$packed"
expect "kob -d -- " "$packed"
# Files to pack, and folders, when packing: no packed file, no index.
topack="data folder notes.txt sub.kob"
expect "kob " "$topack"
expect "kob -c " "$topack"
expect "kob -v -9 " "$topack"
expect "kob -c n" "notes.txt"
expect "kob -c a" ""
expect "kob -o -d " "$topack"  # -d is -o's value here
expect "kob -T 2 -B 4k " "$topack"
# Both with -i, which packs a file or indexes a packed one.
expect "kob -i " "a.kob b.kob data folder notes.txt sub.kob"
expect "kob --index a" "a.kob"
expect "kob -vi " "a.kob b.kob data folder notes.txt sub.kob"
# Any path after -o and --index-file.
expect "kob -d -o " "a.kob a.kob.kbi b.kob data folder notes.txt sub.kob"
expect "kob -d --output=n" "notes.txt"
expect "kob -d --index-file " "a.kob a.kob.kbi b.kob data folder notes.txt sub.kob"
expect "kob -t --index-file=a" "a.kob a.kob.kbi"
expect "kob --index-file a.kob.kbi -t " "$packed"
# A value of -B is a number, not a file, and -b's value is not taken for -d.
expect_all "kob -B " '^[0-9]+k?$'
expect_all "kob --chunk-size " '^[0-9]+k?$'
expect_all "kob -T " '^[0-9]+$'
expect "kob -d -b 10" "10 10G 10M 10k"
expect "kob -d -s " "0"
expect "kob -d -s x" ""
expect "kob -B 4096 n" "notes.txt"
expect "kob -b 5 -d " "$packed"

# Options.
expect "kob --de" "--decompress"
expect "kob --ch" "--chunk-size"
expect "kobcat --ver" "--verbose --version"
expect_all "kob -" '^-'
for option in -k --keep -1 -9 --fast --best --index --index-file --json --rm -V -h; do
  completions "kob -" | tr ' ' '\n' | grep -qx -- "$option" ||
    { echo "FAIL: kob - does not offer $option"; failures=$((failures + 1)); }
done
# After --, a word starting with - is a file name.
touch ./-odd.kob
expect "kob -d -- -" "-odd.kob"

# Every option of kob --help.
offered=$(completions "kob -" | tr ' ' '\n')
listed=$("$kob" --help | grep -oE '^ +(-[A-Za-z0-9],)?--[a-z-]+' | tr ',' '\n' | tr -d ' ')
[ -n "$listed" ] || { echo "FAIL: no options read from kob --help"; failures=$((failures + 1)); }
for option in $listed; do
  grep -qx -- "$option" <<<"$offered" ||
    { echo "FAIL: kob --help lists $option, which is not completed"; failures=$((failures + 1)); }
done

if [ "$failures" -ne 0 ]; then
  echo "$failures completion checks failed"
  exit 1
fi
echo "ok: completion"
