#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds a tiny host project
# against it with find_package and loads the driver through it; checks the
# pkg-config file and the installed programs.
set -eu
BUILD_DIR=$1
SOURCE_DIR=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix with blank"

cmake --install "$BUILD_DIR" --prefix "$prefix" >"$tmp/install.log"
for file in include/quellon/host_interfaces.h bin/capture-host bin/camera-sim; do
  [ -e "$prefix/$file" ] || { echo "not installed: $file" >&2; exit 1; }
done
library=$(find "$prefix" -name 'libQuellonIPCapture.so' | head -1)
[ -n "$library" ] || { echo "the library was not installed" >&2; exit 1; }

cmake -S "$SOURCE_DIR/tests/setup/host-project" -B "$tmp/host" -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/configure.log" ||
  { cat "$tmp/configure.log" >&2; exit 1; }
cmake --build "$tmp/host" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log" >&2; exit 1; }
"$tmp/host/tiny-host"

pc_dir=$(dirname "$(find "$prefix" -name QuellonIPCapture.pc | head -1)")
pc_library=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=library QuellonIPCapture)
pc_library=${pc_library//\\ / }  # pkg-config escapes the blank in the prefix
[ "$(realpath "$pc_library")" = "$(realpath "$library")" ] ||
  { echo "pkg-config names $pc_library, installed is $library" >&2; exit 1; }
PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags QuellonIPCapture | grep -q -- "-I.*include" ||
  { echo "pkg-config gives no include folder" >&2; exit 1; }

"$prefix/bin/capture-host" --version | grep -q "QuellonIPCapture" ||
  { echo "the installed capture-host does not find its library" >&2; exit 1; }
echo "install: ok"
