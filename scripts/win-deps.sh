#!/usr/bin/env bash
# Cross-builds the updater's Windows libraries (Qt, libarchive with zlib, libsodium, zstd) from
# Debian's own source packages with Debian's MinGW-w64, once per machine. Prints the prefix.
# The cache is keyed by the source versions and this script's hash; later runs reuse it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/ensure-packages.sh"
ensure_packages dpkg-dev g++-mingw-w64-x86-64-posix cmake make g++ perl python3 xz-utils bzip2 autoconf automake libtool >&2

VERSIONS="qtbase-opensource-src=5.15.8+dfsg-11+deb12u3 libarchive=3.6.2-1+deb12u4 libsodium=1.0.18-1+deb12u1 libzstd=1.5.4+dfsg2-5 zlib=1:1.2.13.dfsg-1"
key="$( (echo "$VERSIONS"; cat "$0") | sha256sum | cut -c1-16)"
cache="${FARWEN_WIN_CACHE:-$HOME/.cache/farwen-win-deps}"
prefix="$cache/$key"
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi

log() { echo "win-deps: $*" >&2; }
jobs=$(nproc)
work="$cache/work-$key"
# Builds of other versions or of an older script, and any unfinished one, go.
find "$cache" -mindepth 1 -maxdepth 1 ! -name "$key" -exec rm -rf {} + 2>/dev/null || true
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
cd "$work"

# Debian's source archive for the suite this machine already uses, in a sources file of our own.
src_list=/etc/apt/sources.list.d/farwen-deb-src.sources
if ! apt-get source --print-uris -qq zlib >/dev/null 2>&1; then
  uris=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  suites=$(awk '/^Suites:/{sub(/^Suites: */,""); print; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "${uris:-http://deb.debian.org/debian}" "${suites:-bookworm bookworm-updates}" | $sudo tee "$src_list" >/dev/null
  $sudo apt-get update -qq
fi
log "fetching sources"
# shellcheck disable=SC2086
apt-get source -qq $VERSIONS >/dev/null 2>&1

# Compilers under the names Qt's win32-g++ build expects, pinned to the posix-thread variants.
mkdir -p tc
for t in gcc g++ gcc-ar gcc-ranlib; do ln -sf "/usr/bin/x86_64-w64-mingw32-$t-posix" "tc/x86_64-w64-mingw32-$t"; done
for t in ar ranlib windres strip objcopy nm ld; do ln -sf "/usr/bin/x86_64-w64-mingw32-$t" "tc/x86_64-w64-mingw32-$t"; done
export PATH="$work/tc:$PATH"
cross=(-DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release
       -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix")
export FARWEN_WIN_PREFIX="$prefix"

log "zlib"
cd "$work"/zlib-1.2.13*/
# Debian's repack has no win32 makefile; the library is the top-level sources.
for c in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees uncompr zutil; do
  x86_64-w64-mingw32-gcc -O2 -c "$c.c" -o "$c.o"
done
x86_64-w64-mingw32-ar rcs libz.a ./*.o
install -D -m644 libz.a "$prefix/lib/libz.a"
install -D -m644 zlib.h "$prefix/include/zlib.h"; install -m644 zconf.h "$prefix/include/zconf.h"

log "libarchive"
cd "$work"/libarchive-3.6.2/
cmake -S . -B build -G "Unix Makefiles" "${cross[@]}" -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
  -DENABLE_TEST=OFF -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_OPENSSL=OFF \
  -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_LZMA=OFF \
  -DENABLE_ZSTD=OFF -DENABLE_BZip2=OFF -DENABLE_LZ4=OFF -DENABLE_LIBB2=OFF -DENABLE_PCREPOSIX=OFF \
  -DENABLE_PCRE2POSIX=OFF -DENABLE_ICONV=OFF -DENABLE_CNG=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF \
  -DENABLE_ZLIB=ON -DZLIB_ROOT="$prefix" >/dev/null
cmake --build build -j"$jobs" --target archive_static >/dev/null
install -D -m644 build/libarchive/libarchive_static.a "$prefix/lib/libarchive.a"
install -m644 libarchive/archive.h libarchive/archive_entry.h "$prefix/include/"

log "libsodium"
cd "$work"/libsodium-1.0.18/
autoreconf -fi >/dev/null 2>&1 # Debian's source carries no generated configure
./configure -q --host=x86_64-w64-mingw32 --prefix="$prefix" --enable-static --disable-shared \
  --disable-ssp >/dev/null
make -j"$jobs" >/dev/null 2>&1 && make install >/dev/null

log "zstd"
cd "$work"/libzstd-1.5.4*/
make -C lib -j"$jobs" CC=x86_64-w64-mingw32-gcc AR=x86_64-w64-mingw32-ar libzstd.a >/dev/null 2>&1
install -D -m644 lib/libzstd.a "$prefix/lib/libzstd.a"
install -m644 lib/zstd.h lib/zstd_errors.h lib/zdict.h "$prefix/include/"

log "qtbase (about 15 minutes on 2 cores)"
cd "$work"/qtbase-opensource-src-5.15.8*/
# Only what the updater uses: Core, Gui, Widgets, Network, Test and the windows platform plugin;
# TLS through Schannel. Debian's repacked source has no wintab, so no tablet support.
./configure -prefix "$prefix/qt" -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
  -opensource -confirm-license -release -static -static-runtime -optimize-size \
  -nomake examples -nomake tests -schannel -no-openssl -no-dbus -no-icu -no-opengl \
  -no-fontconfig -qt-zlib -qt-pcre -qt-libpng -no-libjpeg -qt-harfbuzz -qt-freetype \
  -no-feature-tabletevent -no-feature-sql -no-feature-concurrent \
  -no-feature-xml -silent >"$work/qt-configure.log" 2>&1 \
  || { tail -40 "$work/qt-configure.log" >&2; exit 1; }
make -j"$jobs" >"$work/qt-build.log" 2>&1 || { grep -m5 -B2 -A8 'rror' "$work/qt-build.log" >&2; exit 1; }
make install >/dev/null 2>&1

touch "$prefix/.complete"
cd / && rm -rf "$work"
log "done: $prefix"
echo "$prefix"
