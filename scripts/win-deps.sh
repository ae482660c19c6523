#!/usr/bin/env bash
# Cross-builds the updater's Windows libraries (Qt, libarchive with zlib, libsodium, zstd) from
# Debian's own source packages with Debian's MinGW-w64, once per machine. Prints the prefix.
# The cache is keyed by the exact source versions and by the recipe below its marker line;
# later runs reuse it. Builds may share the cache: each holds a lock on the entry it uses
# (build-windows.sh too, while it compiles against it), and only entries nobody holds go.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/ensure-packages.sh"
ensure_packages dpkg-dev g++-mingw-w64-x86-64-posix cmake make g++ perl python3 xz-utils bzip2 autoconf automake libtool util-linux >&2

# Upstream versions; of each, the archive's newest Debian revision is built, so that a point
# release (a security fix) neither breaks the build nor is left out.
UPSTREAM="qtbase-opensource-src=5.15.8+dfsg libarchive=3.6.2 libsodium=1.0.18 libzstd=1.5.4+dfsg2 zlib=1.2.13.dfsg"
log() { echo "win-deps: $*" >&2; }
sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"

# Debian's source archive for the suite this machine already uses, in a sources file of our own.
src_list=/etc/apt/sources.list.d/farwen-deb-src.sources
if ! apt-cache showsrc --only-source zlib 2>/dev/null | grep -q '^Version:'; then
  uris=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  suites=$(awk '/^Suites:/{sub(/^Suites: */,""); print; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "${uris:-http://deb.debian.org/debian}" "${suites:-bookworm bookworm-updates}" | $sudo tee "$src_list" >/dev/null
  $sudo apt-get update -qq
fi

# pkg=version of each source package, its newest revision of the upstream version named.
resolve() {
  local entry pkg want best v
  for entry in $UPSTREAM; do
    pkg=${entry%%=*}; want=${entry#*=}; best=""
    for v in $(apt-cache showsrc --only-source "$pkg" 2>/dev/null | awk '/^Version:/{print $2}'); do
      local up=${v#*:}; up=${up%-*}
      [ "$up" = "$want" ] || continue
      if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
    done
    [ -n "$best" ] || { log "the source archive has no $pkg $want (apt-cache showsrc $pkg)"; return 1; }
    printf '%s=%s ' "$pkg" "$best"
  done
}
VERSIONS=$(resolve); VERSIONS=${VERSIONS% }
recipe() { sed -n '/^# --- recipe/,$p' "$0"; }
key="$( (echo "$VERSIONS"; recipe) | sha256sum | cut -c1-16)"
cache="${FARWEN_WIN_CACHE:-$HOME/.cache/farwen-win-deps}"
prefix="$cache/$key"
mkdir -p "$cache"

# A shared lock on our entry while it is checked, an exclusive one while it is built.
exec 9>>"$prefix.lock"
flock -s 9
# Other entries (other versions or recipes, finished or not) go, unless another build holds
# them. Lock files stay: one removed under a waiting run would let two runs build at once.
for other in "$cache"/*; do
  name=${other##*/}; name=${name#work-}
  [[ $name =~ ^[0-9a-f]{16}$ ]] && [ "$name" != "$key" ] || continue
  (flock -n -x 8 && rm -rf "${cache:?}/$name" "$cache/work-$name") 8>>"$cache/$name.lock" \
    || log "kept $other: another build holds it"
done
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi
flock -u 9; flock -x 9
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi # built meanwhile by another run

jobs=$(nproc)
work="$cache/work-$key"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
cd "$work"
# A step's output goes to its log; when it fails, the end of it is shown.
quiet() {
  local name=$1; shift
  "$@" >"$work/$name.log" 2>&1 || { log "$name failed:"; tail -40 "$work/$name.log" >&2; exit 1; }
}
fetch() { apt-get source -q $VERSIONS; }
log "fetching sources: $VERSIONS"
if ! (fetch >"$work/fetch.log" 2>&1); then
  # Lists older than the archive name a revision it no longer has: read them again once.
  grep -E '^(E|W):' "$work/fetch.log" >&2 || tail -20 "$work/fetch.log" >&2
  log "fetching failed; reading the package lists again"
  $sudo apt-get update -qq
  VERSIONS=$(resolve); VERSIONS=${VERSIONS% }
  if [ "$( (echo "$VERSIONS"; recipe) | sha256sum | cut -c1-16)" != "$key" ]; then
    log "the archive has newer revisions now: building those"
    rm -rf "$work" "$prefix"; exec 9>&-; exec bash "$0"
  fi
  rm -rf "${work:?}"/* && quiet fetch fetch
fi
echo "$VERSIONS" | tr ' ' '\n' >"$prefix/SOURCES"

# --- recipe: a change from here on builds every library again.
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
quiet autoreconf autoreconf -fi # Debian's source carries no generated configure
./configure -q --host=x86_64-w64-mingw32 --prefix="$prefix" --enable-static --disable-shared \
  --disable-ssp >/dev/null
quiet libsodium make -j"$jobs"
make install >/dev/null

log "zstd"
cd "$work"/libzstd-1.5.4*/
quiet zstd make -C lib -j"$jobs" CC=x86_64-w64-mingw32-gcc AR=x86_64-w64-mingw32-ar libzstd.a
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
quiet qt-install make install

touch "$prefix/.complete"
cd / && rm -rf "$work"
log "done: $prefix"
echo "$prefix"
