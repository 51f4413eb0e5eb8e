#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian 12 packages a task needs, when they are missing.
# Usage: scripts/install-deps.sh build|test|bench|deb|ci
set -euo pipefail

# libcurl: reading URLs (the gnutls flavour, which libhts-dev needs too;
# its headers to build, the library loaded when a URL is opened); nginx:
# the server the tests of URLs read from, openssl to make its certificate
# for https; python3-botocore and curl: the S3 server the tests of s3://
# URLs read from (tests/s3_server.py), which checks signatures with
# botocore, and its test, which signs with curl; hyperfine and tabix
# (bgzip) for bench/startup.sh. python3-fsspec, python3-aiohttp (fsspec's
# http://), python3-dask, python3-distributed and python3-pandas: the
# fsspec protocol kob and the Dask tests and benchmark
# (python/kob/_fsspec.py); botocore also reads s3:// there.
packages=(g++ make cmake pkg-config liblzo2-dev libxxhash-dev libcli11-dev libcurl4-gnutls-dev)
case "${1:-build}" in
  build) ;;
  # python3-pip, python3-setuptools and python3-wheel: the test that builds
  # the Python module as pip does (pyproject.toml, setup.py).
  test) packages+=(libgtest-dev libgmock-dev bsdutils man-db strace e2fsprogs mount nginx-light
    openssl pybind11-dev python3-dev python3-pytest python3-pip python3-setuptools python3-wheel
    python3-botocore curl python3-fsspec python3-aiohttp python3-dask python3-distributed
    python3-pandas) ;;
  # The benchmarks; python3-indexed-gzip for the Python module's.
  bench) packages+=(libbenchmark-dev libhts-dev libzstd-dev nginx-light pybind11-dev python3-dev python3-indexed-gzip
    zstd tabix lzop bc hyperfine
    python3-fsspec python3-aiohttp python3-dask python3-distributed python3-pandas python3-botocore) ;;
  # make deb: dpkg-buildflags, dpkg-shlibdeps and dpkg-architecture
  # (dpkg-dev), file and binutils (readelf, strip) for CPack, lintian, and
  # bash-completion to load the packaged completion; pybind11-dev and
  # python3-dev for python3-kob.
  deb) packages+=(dpkg-dev file binutils lintian bash-completion pybind11-dev python3-dev) ;;
  ci) packages+=(libgtest-dev libgmock-dev bsdutils man-db strace e2fsprogs mount nginx-light openssl libbenchmark-dev libhts-dev libzstd-dev clang
    pybind11-dev python3-dev python3-pytest python3-pip python3-setuptools python3-wheel
    python3-indexed-gzip libclang-rt-14-dev valgrind
    dpkg-dev file binutils lintian bash-completion python3-botocore curl hyperfine tabix
    python3-fsspec python3-aiohttp python3-dask python3-distributed python3-pandas) ;;
  *) echo "usage: $0 build|test|bench|deb|ci" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
