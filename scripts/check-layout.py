#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Checks the rules the code's layout keeps; prints each breach, exits 1.

1. No file in stream/, tool/ or python/ is over 500 lines.
2. The library's folders include downward only: common < format < source <
   index < read < write, salvage < the files at stream/'s top. A folder may
   include its own headers and those of the folders below; write and
   salvage, side by side, not each other's.
3. No file in a folder includes a front header (kob.h, kob_shared.h,
   kob_streambuf.h, kob_pack.h); the other installed headers declare what
   the folders implement and may be included anywhere.
4. Only the sources' folder (stream/source/) spells a URL's scheme: the
   table of schemes there is the one place that tells a URL from a path.
5. The LZO decoder is called only from the codec (stream/format/codec.cpp).

Usage: check-layout.py [ROOT]
"""

import os
import re
import sys

MOST_LINES = 500
RANKS = {"common": 0, "format": 1, "source": 2, "index": 3, "read": 4,
         "write": 5, "salvage": 5}
TOP = 6  # the files at stream/'s top: the fronts and the installed headers
FRONTS = {"kob.h", "kob_shared.h", "kob_streambuf.h", "kob_pack.h"}
SCHEME = re.compile(r"""["'](?:https?|s3|ftp|file)?://|["'](?:https?|s3):""")
DECODER = re.compile(r"\b(?:decompressLzo1x|lzo1x_decompress\w*)\s*\(")
DECODER_HOMES = {"stream/format/codec.cpp", "stream/format/lzo_decoder.cpp",
                 "stream/format/lzo_decoder.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def code_lines(path, text):
    """The lines of `text` without comments (C++ // and /* */, Python #
    and docstrings), numbered from 1."""
    python = path.endswith(".py")
    in_block = False
    quote = None
    for number, line in enumerate(text.split("\n"), 1):
        if python:
            if quote:
                if quote in line:
                    line = line.split(quote, 1)[1]
                    quote = None
                else:
                    continue
            for q in ('"""', "'''"):
                if line.strip().startswith(q):
                    rest = line.strip()[3:]
                    if q not in rest:
                        quote = q
                    line = ""
            line = line.split("#", 1)[0]
        else:
            if in_block:
                if "*/" not in line:
                    continue
                line = line.split("*/", 1)[1]
                in_block = False
            if "/*" in line and "*/" not in line.split("/*", 1)[1]:
                line = line.split("/*", 1)[0]
                in_block = True
            line = re.sub(r"/\*.*?\*/", "", line).split("//", 1)[0]
        yield number, line


def folder_of(relative):
    parts = relative.split("/")
    if parts[0] != "stream":
        return None
    return parts[1] if len(parts) > 2 else ""


def check(root):
    breaches = []
    for top in ("stream", "tool", "python"):
        for directory, folders, names in os.walk(os.path.join(root, top)):
            # Tests spell URLs and call what they like.
            folders[:] = [f for f in folders if f != "tests"]
            for name in sorted(names):
                if not name.endswith((".h", ".cpp", ".py", ".pyi")):
                    continue
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, root)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                lines = text.count("\n")
                if lines > MOST_LINES:
                    breaches.append("%s: %d lines, over %d" % (relative, lines, MOST_LINES))
                folder = folder_of(relative)
                for number, line in code_lines(relative, text):
                    where = "%s:%d" % (relative, number)
                    included = INCLUDE.match(line)
                    if included and folder:
                        target = included.group(1)
                        parts = target.split("/")
                        if len(parts) == 1 and target in FRONTS:
                            breaches.append("%s: includes the front header %s" % (where, target))
                        elif len(parts) == 2 and parts[0] in RANKS:
                            mine, theirs = RANKS[folder], RANKS[parts[0]]
                            if theirs > mine or (theirs == mine and parts[0] != folder):
                                breaches.append("%s: %s/ includes %s, not below it" % (where, folder, target))
                    if SCHEME.search(line) and not relative.startswith("stream/source/"):
                        breaches.append("%s: spells a URL scheme outside stream/source/" % where)
                    if DECODER.search(line) and relative not in DECODER_HOMES:
                        breaches.append("%s: calls the decoder outside the codec" % where)
    return breaches


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    breaches = check(os.path.abspath(root))
    for breach in breaches:
        print("check-layout: " + breach, file=sys.stderr)
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
