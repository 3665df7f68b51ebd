#!/usr/bin/env bash
# Builds libcurl and pugixml for a Windows target from Debian's own source
# packages, with Debian's mingw-w64 toolchain, into a cache outside the work
# tree. A second run with the same sources and compiler only prints the path.
#
#   cmake/windows/build-deps.sh x86_64|i686 [--with-simulator]
#
# --with-simulator adds what the camera simulator needs to run inside the
# test programs (libmicrohttpd, libjpeg-turbo, x264).
# Prints the prefix (include/, lib/, lib/cmake/, lib/pkgconfig/) on its last line.
#
# apt-get source needs deb-src entries, which a machine set up for binaries
# lacks. They are derived from the system's own entries into a private apt
# configuration under the cache; the system's configuration is not touched
# and no archive address is written into the repository.
set -Eeuo pipefail
trap 'status=$?; echo "build-deps.sh: failed (status $status): $BASH_COMMAND" >&2' ERR

arch=${1:?usage: build-deps.sh x86_64|i686 [--with-simulator]}
simulator=${2:-}
case "$arch" in
  x86_64 | i686) ;;
  *) echo "build-deps.sh: unknown target $arch" >&2; exit 2 ;;
esac
triple=$arch-w64-mingw32
cc=$triple-gcc-posix
cxx=$triple-g++-posix
command -v "$cc" >/dev/null || { echo "build-deps.sh: $cc not found (package gcc-mingw-w64-${arch/_/-}-posix)" >&2; exit 1; }

cache=${KESTRUM_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrum-windows-deps}
packages=(curl pugixml)
variant=base
if [ "$simulator" = --with-simulator ]; then
  packages+=(libmicrohttpd libjpeg-turbo x264)
  variant=sim
fi
jobs=$(nproc 2>/dev/null || echo 2)
# Windows 7 SP1, as the project's own code: a function of a newer Windows in
# these libraries is a compile error, not a DLL that fails to load there.
winver=0x0601
winflags="-D_WIN32_WINNT=$winver -DWINVER=$winver"

# The private apt configuration: deb-src twins of every Debian archive the
# system fetches binaries from (deb822 .sources files and one-line lists).
apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
sources=$apt_dir/sources.list
{
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
      {
        types = ""; uris = ""; suites = ""; comps = ""; signed = ""
        for (i = 1; i <= NF; i++) {
          line = $i
          if (line ~ /^Types:/) { sub(/^Types:[ \t]*/, "", line); types = line }
          else if (line ~ /^URIs:/) { sub(/^URIs:[ \t]*/, "", line); uris = line }
          else if (line ~ /^Suites:/) { sub(/^Suites:[ \t]*/, "", line); suites = line }
          else if (line ~ /^Components:/) { sub(/^Components:[ \t]*/, "", line); comps = line }
          else if (line ~ /^Signed-By:/) { sub(/^Signed-By:[ \t]*/, "", line); signed = line }
        }
        if (types !~ /(^| )deb( |$)/ || uris == "" || uris !~ /debian/) next
        n = split(uris, u, " "); m = split(suites, s, " ")
        for (a = 1; a <= n; a++) for (b = 1; b <= m; b++) {
          opt = signed != "" ? " [signed-by=" signed "]" : ""
          print "deb-src" opt " " u[a] " " s[b] " " comps
        }
      }' "$file"
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -nE 's/^[[:space:]]*deb[[:space:]]+(.*debian.*)$/deb-src \1/p' "$file"
  done
} | sort -u >"$sources.new"
if [ ! -s "$sources.new" ]; then
  echo "build-deps.sh: the system lists no Debian archive to take sources from" >&2
  exit 1
fi
mv "$sources.new" "$sources"
apt_opts=(
  -o "Dir::Etc::SourceList=$sources" -o "Dir::Etc::SourceParts=/dev/null"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives"
  -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "APT::Sandbox::User=root"
)

# Versions as the archive names them; the cache key also holds the compiler.
source_version() {
  apt-cache "${apt_opts[@]}" showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1
}
if [ -z "$(ls -A "$apt_dir/lists" 2>/dev/null | grep -v partial)" ] || [ -z "$(source_version curl)" ]; then
  apt-get "${apt_opts[@]}" -qq update >&2
fi
# recipe: raise when the options below change, so the cache is rebuilt.
recipe=4
key="$arch-$variant-$("$cc" -dumpfullversion)-r$recipe"
for pkg in "${packages[@]}"; do
  version=$(source_version "$pkg")
  [ -n "$version" ] || { echo "build-deps.sh: no source package $pkg in the archive" >&2; exit 1; }
  key="$key-$pkg${version//:/_}"  # no epoch colon in a path that lists use
done
prefix=$cache/$key
# One build per target at a time: a second run waits and then finds it done.
exec 9>"$cache/.lock-$arch"
flock 9
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$cache/work-$arch
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
cd "$work"
apt-get "${apt_opts[@]}" -qq source "${packages[@]}" >&2
source_dir() { find . -maxdepth 1 -type d -name "$1-*" | head -1; }
curl_src=$(source_dir curl)
pugi_src=$(source_dir pugixml)

# pugixml: its own CMake build, static.
cmake -S "$pugi_src" -B build-pugixml -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_RC_COMPILER="$triple-windres" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="$winflags" -DBUILD_SHARED_LIBS=OFF -DPUGIXML_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >&2
cmake --build build-pugixml -j "$jobs" >&2
cmake --install build-pugixml >&2

# libcurl: plain HTTP only, as cameras need, static. No TLS: curl's Schannel
# backend would bring Windows SSPI with it, and SSPI then answers Digest
# challenges in place of curl's own code (which wine, for one, cannot do).
cmake -S "$curl_src" -B build-curl -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_RC_COMPILER="$triple-windres" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCURL_TARGET_WINDOWS_VERSION="$winver" -DCMAKE_C_FLAGS="-DWINVER=$winver" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DCURL_ENABLE_SSL=OFF \
  -DCURL_USE_SCHANNEL=OFF -DCURL_WINDOWS_SSPI=OFF -DCURL_USE_OPENSSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_ZLIB=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF \
  -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DENABLE_MANUAL=OFF \
  -DCURL_DISABLE_FTP=ON -DCURL_DISABLE_FILE=ON -DCURL_DISABLE_TELNET=ON -DCURL_DISABLE_DICT=ON \
  -DCURL_DISABLE_TFTP=ON -DCURL_DISABLE_GOPHER=ON -DCURL_DISABLE_POP3=ON -DCURL_DISABLE_IMAP=ON \
  -DCURL_DISABLE_SMTP=ON -DCURL_DISABLE_RTSP=ON -DCURL_DISABLE_MQTT=ON -DCURL_DISABLE_SMB=ON \
  -DENABLE_UNIX_SOCKETS=OFF -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBPSL=OFF >&2
cmake --build build-curl -j "$jobs" >&2
cmake --install build-curl >&2

if [ "$simulator" = --with-simulator ]; then
  # libmicrohttpd: HTTP server only, no TLS, threads of the system's own.
  (cd "$(source_dir libmicrohttpd)" && ./configure --host="$triple" CC="$cc" CPPFLAGS="$winflags" --prefix="$prefix" --enable-static \
    --disable-shared --disable-https --disable-doc --disable-examples --disable-curl --with-threads=auto >&2 &&
    make -j "$jobs" -C src/microhttpd >&2 && make -C src/microhttpd install >&2 && make install-data >&2 || exit 1)
  cmake -S "$(source_dir libjpeg-turbo)" -B build-jpeg -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR="$arch" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_RC_COMPILER="$triple-windres" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_FLAGS="$winflags" -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=ON >&2
  cmake --build build-jpeg -j "$jobs" >&2
  cmake --install build-jpeg >&2
  # No assembly: the simulator's pictures are small and nasm is not needed.
  (cd "$(source_dir x264)" && ./configure --host="$triple" --cross-prefix="$triple-" --prefix="$prefix" \
    --extra-cflags="$winflags" \
    --enable-static --disable-cli --disable-asm --bit-depth=8 --chroma-format=420 --disable-opencl --disable-avs --disable-swscale --disable-lavf \
    --disable-ffms --disable-gpac --disable-lsmash >&2 && make -j "$jobs" >&2 && make install >&2 || exit 1)
fi

cd "$cache"
rm -rf "$work"
touch "$prefix/.complete"
# Builds of older sources or recipes of this target and variant are not used
# again; the other variant's stay.
other=$([ "$variant" = sim ] && echo base || echo sim)
find "$cache" -mindepth 1 -maxdepth 1 -type d -name "$arch-*" ! -name "$key" ! -name "$arch-$other-*" -exec rm -rf {} +
echo "$prefix"
