#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes the index of a dictionary text whose entries are separated by blank
# lines and begin with their word: "word TAB offset TAB length" per entry,
# in bytes, the entry's text without the blank line after it.
# Usage: scripts/make-index.sh dictionary.data > dictionary.index
set -euo pipefail
LC_ALL=C awk '
  function flush() { if (word != "") printf "%s\t%d\t%d\n", word, start, end - start; word = "" }
  /^$/ { flush(); offset += 1; next }
  word == "" { word = $0; start = offset }
  { offset += length($0) + 1; end = offset }
  END { flush() }
' "$1"
