#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the Debian packages that scripts/deb.sh made in BUILD_DIR: each
# package holds what it should, lintian finds no error in it, and, unpacked
# into a scratch root, kob runs, pkg-config and find_package(kob) find the
# library and a program builds and runs against it. With --install it also
# installs them for real with dpkg -i, checks kob -V and pkg-config there,
# and removes them again with dpkg -r (as root, on a machine where they are
# not installed already).
# Usage: scripts/check-debs.sh BUILD_DIR [--install]
set -euo pipefail
# grep that reads all its input: with pipefail, a grep -q that stops early
# fails the pipeline when the writer meets the closed pipe.
has() { grep "$@" >/dev/null; }
build=$(cd "${1:?usage: $0 BUILD_DIR [--install]}" && pwd)
install=${2:-}
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "check-debs: $*" >&2; exit 1; }

version=$(sed -nE 's/^project\(kob VERSION ([0-9.]+).*/\1/p' "$source/CMakeLists.txt")
major=${version%%.*}
minor=${version#*.}
minor=${minor%%.*}
# Before 1.0 the soname carries the minor version: libkob.so.0.2 in libkob0.2.
if [ "$major" -eq 0 ]; then soversion="0.$minor"; else soversion=$major; fi
lib_package=libkob$soversion
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=usr/lib/$multiarch

deb() { # PACKAGE: its .deb in the build folder
  local found
  found=$(find "$build" -maxdepth 1 -name "${1}_${version}-*.deb")
  [ "$(wc -l <<<"$found")" -eq 1 ] && [ -n "$found" ] || fail "not one package $1 in $build: $found"
  echo "$found"
}
contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./||'; }
holds() {  # DEB PATH...: the package holds each PATH
  local package=$1 listing
  listing=$(contents "$package")
  shift
  for path in "$@"; do
    has -x "$path" <<<"$listing" || fail "$(basename "$package") lacks $path"
  done
}
lacks() {  # DEB PATTERN: no path of the package matches PATTERN
  local listing
  listing=$(contents "$1")
  ! grep -E "$2" <<<"$listing" || fail "$(basename "$1") holds the above, matching $2"
}

lib=$(deb "$lib_package")
dev=$(deb libkob-dev)
tools=$(deb kob)
# python3-kob, when the packages were built with the Python module.
python=""
if compgen -G "$build/python3-kob_${version}-*.deb" >/dev/null; then
  python=$(deb python3-kob)
fi

# What each package holds, and what it must leave to another.
holds "$lib" "$libdir/libkob.so.$soversion" "$libdir/libkob.so.$version" \
  "usr/share/doc/$lib_package/copyright" "usr/share/doc/$lib_package/changelog.Debian.gz"
lacks "$lib" '(\.so|\.a|\.h|\.pc)$|^usr/bin/'
holds "$dev" "$libdir/libkob.so" "$libdir/libkob.a" "$libdir/pkgconfig/kob.pc" \
  "$libdir/cmake/kob/kobConfig.cmake" usr/include/kob/kob.h usr/include/kob/kob_version.h \
  usr/share/doc/libkob-dev/copyright usr/share/doc/libkob-dev/changelog.Debian.gz
lacks "$dev" '\.so\.|^usr/bin/'
holds "$tools" usr/bin/kob usr/bin/kobcat usr/bin/kobpack \
  usr/share/man/man1/kob.1.gz usr/share/man/man1/kobcat.1.gz usr/share/man/man1/kobpack.1.gz \
  usr/share/bash-completion/completions/kob usr/share/bash-completion/completions/kobcat \
  usr/share/doc/kob/copyright usr/share/doc/kob/changelog.Debian.gz usr/share/doc/kob/command-line.md
lacks "$tools" '^usr/lib/|^usr/include/|man1/[^/]*\.1$'
dpkg-deb --ctrl-tarfile "$lib" | tar -t | has -x './shlibs' || fail "$lib_package has no shlibs"
dpkg-deb --ctrl-tarfile "$lib" | tar -xO ./triggers | has -x 'activate-noawait ldconfig' ||
  fail "$lib_package has no ldconfig trigger"
dpkg-deb --ctrl-tarfile "$lib" | tar -xO ./shlibs | has -x "libkob $soversion $lib_package (>= $version-[0-9]*)" ||
  fail "$lib_package's shlibs: $(dpkg-deb --ctrl-tarfile "$lib" | tar -xO ./shlibs)"
for package in "$dev" "$tools"; do
  dpkg-deb -f "$package" Depends | has "$lib_package (= $version-" ||
    fail "$(basename "$package") does not depend on $lib_package of its version"
done
dpkg-deb -f "$lib" Depends | has liblzo2-2 || fail "$lib_package does not depend on liblzo2-2"
# libcurl is loaded for the first URL, never linked: recommended by what
# reads URLs (the library, the Python module, which holds it), needed by none.
if grep -qx 'KOB_HTTP:BOOL=ON' "$build/CMakeCache.txt"; then
  for package in "$lib" $python; do
    dpkg-deb -f "$package" Recommends | has -x libcurl3-gnutls ||
      fail "$(basename "$package") does not recommend libcurl3-gnutls"
  done
fi
for package in "$lib" "$dev" "$tools" $python; do
  ! dpkg-deb -f "$package" Depends | has curl || fail "$(basename "$package") depends on libcurl"
done
echo "ok: the packages hold their parts; shlibs, trigger and dependencies"

# lintian: no errors. Warnings and notes are printed for the reader.
if [ -n "$python" ]; then
  holds "$python" usr/lib/python3/dist-packages/kob/__init__.py \
    usr/lib/python3/dist-packages/kob/_reading.py usr/lib/python3/dist-packages/kob/_writing.py \
    usr/lib/python3/dist-packages/kob/__init__.pyi usr/lib/python3/dist-packages/kob/py.typed \
    usr/share/doc/python3-kob/copyright
  contents "$python" | has -E '^usr/lib/python3/dist-packages/kob/_kob\..*\.so$' ||
    fail "python3-kob lacks the extension _kob"
  lacks "$python" '^usr/(bin|include)/|libkob'
fi

for package in "$lib" "$dev" "$tools" $python; do
  report=$(lintian --fail-on error "$package" 2>&1) ||
    { echo "$report" >&2; fail "lintian finds errors in $(basename "$package")"; }
  grep -v '^running with root privileges' <<<"$report" || true
done
echo "ok: lintian finds no errors"

# Unpacked into a scratch root.
root="$work/root"
for package in "$lib" "$dev" "$tools" $python; do dpkg-deb -x "$package" "$root"; done
export LD_LIBRARY_PATH="$root/$libdir"
[ "$(readlink "$root/usr/bin/kobcat")" = kob ] || fail "kobcat is not a link to kob"
"$root/usr/bin/kob" -V | has '^kob ' || fail "kob -V does not answer"
ldd "$root/usr/bin/kob" >"$work/ldd"
has "libkob.so.$soversion => $root/$libdir/" "$work/ldd" || fail "kob does not run with the packaged library"
# Starting costs no libcurl: it is loaded when a URL is opened.
! has libcurl "$work/ldd" || fail "kob is linked with libcurl"
LD_DEBUG=files "$root/usr/bin/kob" -V 2>"$work/loaded" >/dev/null
has 'calling init' "$work/loaded" || fail "LD_DEBUG says nothing of what kob -V loads"
! has libcurl "$work/loaded" || fail "kob -V loads libcurl"
printf 'one line\nanother line\n' >"$work/data"
"$root/usr/bin/kob" -q "$work/data" && rm "$work/data"
"$root/usr/bin/kob" -t "$work/data.kob"
"$root/usr/bin/kob" -d "$work/data.kob"
[ "$(cat "$work/data")" = "$(printf 'one line\nanother line')" ] || fail "kob does not give the data back"
gzip -t "$root/usr/share/man/man1/kob.1.gz"
# bash-completion finds the completion for both names.
for command in kob kobcat; do
  XDG_DATA_DIRS="$root/usr/share" bash -c '. /usr/share/bash-completion/bash_completion &&
    __load_completion "$1" && complete -p "$1"' - "$command" | has -- "-F _kob $command\$" ||
    fail "bash-completion does not load the completion for $command"
done
echo "ok: kob from the unpacked packages packs, checks and unpacks"
if [ -n "$python" ]; then
  PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -c '
import sys, kob
path = sys.argv[1]
kob.pack(path, path + ".p.kob")
with kob.open(path + ".p.kob") as f:
    assert f.read() == open(path, "rb").read() and f.pread(4, 4) == b"line"
assert kob.version == sys.argv[2], kob.version
' "$work/data" "$version" || fail "the unpacked Python module does not read what it packed"
  echo "ok: the Python module from the unpacked package packs and reads"
fi

library="$root/$libdir/libkob.so.$version"
readelf -d "$library" | has "SONAME.*\[libkob.so.$soversion\]" ||
  fail "the soname of libkob.so.$version is not libkob.so.$soversion: $(readelf -d "$library" | grep SONAME)"
[ "$(readlink "$root/$libdir/libkob.so.$soversion")" = "libkob.so.$version" ] ||
  fail "libkob.so.$soversion does not link to libkob.so.$version"
bash "$source/tests/install/check_exports.sh" "$library" "$root/usr/include" "$source"
echo "ok: soname libkob.so.$soversion"

consumer="$source/tests/install/consumer"
# pkg-config as a cross build sees a root: the paths it gives lie inside it.
flags=$(PKG_CONFIG_PATH="$root/$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root" pkg-config --cflags --libs kob)
paths=$(for flag in $flags; do
  case $flag in -I* | -L*) echo "${flag:0:2}$(realpath -m "${flag:2}")" ;; esac
done)
has -x -- "-I$root/usr/include/kob" <<<"$paths" || fail "pkg-config --cflags: $flags"
has -x -- "-I$root/usr/include" <<<"$paths" || fail "pkg-config --cflags: $flags"
has -x -- "-L$root/$libdir" <<<"$paths" || fail "pkg-config --libs: $flags"
# shellcheck disable=SC2086
c++ -std=c++17 "$consumer/main.cpp" "$consumer/plain_names.cpp" -o "$work/pkg-consumer" $flags
(cd "$work" && ./pkg-consumer) | has -x "version: $version" || fail "the pkg-config consumer does not run"
static=$(PKG_CONFIG_PATH="$root/$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root" pkg-config --static --libs kob)
has -- "-llzo2" <<<"$static" || fail "pkg-config --static --libs lacks LZO: $static"
echo "ok: pkg-config finds the unpacked library, both include spellings build"

cmake -S "$consumer" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
(cd "$work" && cmake-consumer/consumer) | has -x "version: $version" || fail "the CMake consumer does not run"
echo "ok: find_package(kob) finds the unpacked library"
unset LD_LIBRARY_PATH

if [ "$install" = --install ]; then
  for package in "$lib_package" libkob-dev kob; do
    ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | has "install ok installed" ||
      fail "$package is installed already; not touching it"
  done
  dpkg -i "$lib" "$dev" "$tools"
  trap 'dpkg -r kob libkob-dev "$lib_package" >/dev/null; rm -rf "$work"' EXIT
  [ "$(kob -V)" = "kob $version" ] || echo "note: kob -V says '$(kob -V)', the library is $version"
  kob -V | has '^kob ' || fail "the installed kob does not answer -V"
  libs=$(pkg-config --libs kob)
  [ "${libs% }" = "-lkob" ] || fail "pkg-config --libs kob: $libs"
  [ "$(pkg-config --modversion kob)" = "$version" ] || fail "pkg-config --modversion kob"
  c++ -std=c++17 "$consumer/main.cpp" "$consumer/plain_names.cpp" -o "$work/installed-consumer" \
    $(pkg-config --cflags --libs kob)
  (cd "$work" && ./installed-consumer) | has -x "version: $version" || fail "the installed consumer"
  dpkg -r kob libkob-dev "$lib_package"
  trap 'rm -rf "$work"' EXIT
  [ ! -e /usr/bin/kob ] && [ ! -e "/$libdir/libkob.so.$soversion" ] || fail "dpkg -r left files"
  echo "ok: installed with dpkg -i: kob -V, pkg-config --libs kob, a consumer; removed with dpkg -r"
fi
echo "check-debs: all passed"
