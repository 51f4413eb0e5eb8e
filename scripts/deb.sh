#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages into BUILD_DIR (libkob0.2, libkob-dev, kob, and
# python3-kob unless KOB_PYTHON=OFF;
# see cmake/kobPackaging.cmake) and checks them with scripts/check-debs.sh.
# A release build with the shared and the static library, compiled with
# Debian's hardening flags (dpkg-buildflags), installed under /usr.
# Usage: scripts/deb.sh [BUILD_DIR]   (default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}
jobs=${JOBS:-2}

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS) -Wl,--as-needed"
export CXXFLAGS LDFLAGS
# Flags change only at a fresh configure; a stale cache would keep old ones.
rm -f "$build/CMakeCache.txt" "$build"/*.deb
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_SHARED_LIBS=ON -DKOB_INSTALL_STATIC=ON -DKOB_DEBIAN_PACKAGING=ON \
  -DKOB_BUILD_TESTS=OFF -DKOB_BUILD_EXAMPLES=OFF -DKOB_PYTHON="${KOB_PYTHON:-ON}"
cmake --build "$build" -j "$jobs"
(cd "$build" && cpack -G DEB)
scripts/check-debs.sh "$build"
