#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that a shared libkob exports exactly what its installed headers
# mark with KOB_EXPORT: no class or function of the library's insides (the
# ones declared in stream/'s headers that are not installed), and nothing
# else the headers do not offer either.
# Usage: check_exports.sh LIBRARY INSTALLED_INCLUDE_DIR SOURCE_DIR
set -euo pipefail
library=$1
headers=$2/kob
source=$3

fail() { echo "check_exports: $*" >&2; exit 1; }
[ -f "$headers/kob.h" ] || fail "no kob.h in $headers"

# Every exported symbol, demangled, reduced to the name it belongs to:
# "kob::SharedReader::readAt(...)" to SharedReader, "vtable for
# KobStreamBuf" to KobStreamBuf, "kob::version()" to version; a function
# returning a std::string, "kob::displayName[abi:cxx11](...)", to displayName.
symbols=$(nm -D --defined-only -C "$library" | cut -d' ' -f3-)
[ -n "$symbols" ] || fail "$library exports nothing"
owners=$(sed -E -e 's/^(typeinfo name|typeinfo|vtable|VTT|guard variable) for //' \
  -e 's/\(.*//' -e 's/\[abi:[A-Za-z0-9_]+\]//g' -e 's/^kob:://' -e 's/::.*//' <<<"$symbols" |
  # The standard library's own templates, instantiated for kob's code (a
  # thread's state, a shared pointer's count), keep the visibility
  # libstdc++ gives them: their type information is not kob's to hide.
  grep -vx 'std' | sort -u)

# What the installed headers export: the names on their KOB_EXPORT lines.
declared=$(grep -hE '^[^/#]*KOB_EXPORT' "$headers"/*.h |
  sed -nE -e 's/^.*(class|struct) KOB_EXPORT ([A-Za-z_0-9]+).*/\2/p' \
    -e 's/^.*KOB_EXPORT [^(]*[^A-Za-z_0-9:]([A-Za-z_0-9]+)\(.*/\1/p' | sort -u)
[ -n "$declared" ] || fail "no KOB_EXPORT in $headers"

# The insides: classes, structs and free functions of stream/'s headers
# that are not installed (its folders hold the insides).
internal=$(for header in "$source"/stream/*.h "$source"/stream/*/*.h; do
  [ -e "$headers/$(basename "$header")" ] && continue
  sed -nE 's/^(class|struct) ([A-Za-z_0-9]+).*/\2/p' "$header"
  grep -vE '^(class|struct|namespace|#)' "$header" |
    sed -nE 's/^[A-Za-z][^(]*[^A-Za-z_0-9]([A-Za-z_0-9]+)\(.*/\1/p'
done | sort -u)
[ -n "$internal" ] || fail "found none of the library's insides in $source/stream"

status=0
for name in $(comm -12 <(echo "$owners") <(echo "$internal")); do
  echo "check_exports: $library exports the internal $name:" >&2
  grep -E "(^|[^A-Za-z_0-9])$name([^A-Za-z_0-9]|$)" <<<"$symbols" | sed 's/^/  /' >&2
  status=1
done
for name in $(comm -23 <(echo "$owners") <(echo "$declared")); do
  grep -qx "$name" <<<"$internal" && continue
  echo "check_exports: $library exports $name, which no installed header marks KOB_EXPORT" >&2
  status=1
done
# And what the headers promise is there.
for name in $declared; do
  grep -qx "$name" <<<"$owners" || { echo "check_exports: $library lacks $name" >&2; status=1; }
done
[ $status -eq 0 ] || exit 1
functions=$(nm -D --defined-only "$library" | awk '$2 == "T" || $2 == "W"' | wc -l)
echo "ok: $(basename "$library") exports $functions functions, all declared by the installed headers"
