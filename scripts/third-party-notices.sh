#!/usr/bin/env bash
# Writes THIRD-PARTY-NOTICES.txt for the Windows zip: every library linked statically into
# FarwenUpdater.exe and farwen-pack.exe, each with the copyright and licence file of Debian's
# source package it is built from (as Debian installs it), and the full texts those refer to.
# Usage: scripts/third-party-notices.sh OUT SOURCES... (the source versions win-deps.sh and
# build-windows.sh built)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1; shift
for sources in "$@"; do
  [ -s "$sources" ] || { echo "third-party-notices: no source versions in $sources" >&2; exit 1; }
done
# What is linked, and the Debian package whose copyright file describes its source package.
libs=(
  "Qt 5 (QtCore, QtGui, QtWidgets, QtNetwork, the windows platform plugin; with its bundled harfbuzz-ng, freetype, libpng, pcre2, double-conversion, md4c and zlib):qtbase5-dev"
  "libarchive:libarchive-dev"
  "libsodium:libsodium-dev"
  "zstd:libzstd-dev"
  "libdivsufsort (farwen-pack.exe only):libdivsufsort-dev"
  "zlib:zlib1g-dev"
  "MinGW-w64 runtime (CRT, winpthreads):mingw-w64-x86-64-dev"
  "GCC runtime (libgcc, libstdc++) under the GCC Runtime Library Exception:gcc-mingw-w64-base"
)
{
  echo "FarwenUpdater.exe and farwen-pack.exe: third-party notices"
  echo "=========================================================="
  echo
  echo "FarwenUpdater itself is under the MIT licence (LICENSE, beside this file). Both programs"
  echo "link the libraries below statically. Each is built unchanged from Debian's source package"
  echo "(Debian 12) by scripts/win-deps.sh (libdivsufsort by scripts/build-windows.sh), at these versions:"
  echo
  cat "$@" | sed 's/^/  /'
  echo
  echo "Qt is under the GNU Lesser General Public License, version 3 (text below), which asks that"
  echo "a program linked statically with it can be relinked with a modified Qt. That is met by the"
  echo "whole source of FarwenUpdater, which whoever ships these programs ships or offers with"
  echo "them: scripts/win-deps.sh builds the libraries from Debian's source packages into a prefix,"
  echo "and scripts/build-windows.sh builds both programs from the source against that prefix. Put"
  echo "a modified library into the prefix and run build-windows.sh again."
  echo
  for entry in "${libs[@]}"; do
    name=${entry%:*}; pkg=${entry##*:}
    file=/usr/share/doc/$pkg/copyright
    [ -f "$file" ] || { echo "third-party-notices: $file missing (install $pkg)" >&2; exit 1; }
    echo "------------------------------------------------------------------------------"
    echo "$name"
    echo "(Debian's copyright file of the source package, from $pkg $(dpkg-query -W -f='${Version}' "$pkg"))"
    echo "------------------------------------------------------------------------------"
    cat "$file"
    echo
  done
  # The licences that Debian's files name but do not spell out.
  for l in LGPL-3 GPL-3 LGPL-2.1 GPL-2 Apache-2.0 MPL-2.0; do
    echo "------------------------------------------------------------------------------"
    echo "Full text: $l"
    echo "------------------------------------------------------------------------------"
    cat "/usr/share/common-licenses/$l"
    echo
  done
} > "$out"
