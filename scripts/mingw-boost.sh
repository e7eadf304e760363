#!/usr/bin/env bash
# Builds Boost.Filesystem for a MinGW-w64 target from Debian's own boost1.74
# source package, so the Windows build names the same Boost as the Linux one:
#   scripts/mingw-boost.sh TRIPLET OUT_DIR
# TRIPLET is x86_64-w64-mingw32 or i686-w64-mingw32. OUT_DIR receives
#   include/boost -> /usr/include/boost  (the same 1.74 headers: the
#                                         header-only parts, Boost.System
#                                         included, work under MinGW as they are)
#   lib/libboost_filesystem.a            (static, linked into qmcore.dll)
# The sources (libs/filesystem/src only) are fetched once into
# build/boost-src through a private apt state whose deb-src entry is derived
# from the machine's own sources (scripts/backports-source.sh --deb-src); the
# system's apt configuration is not touched. A built OUT_DIR is kept: a warm
# machine rebuilds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
triplet=${1:?usage: mingw-boost.sh TRIPLET OUT_DIR}
out=${2:?usage: mingw-boost.sh TRIPLET OUT_DIR}
root=$PWD
src=$root/build/boost-src
[[ -f $out/lib/libboost_filesystem.a && -e $out/include/boost ]] && exit 0

version=$(dpkg-query -W -f='${Version}' libboost-dev 2>/dev/null || true)
[[ $version == 1.74.* ]] || { echo "mingw-boost: needs libboost-dev 1.74 (have '${version}')" >&2; exit 1; }

if [[ ! -f $src/libs/filesystem/src/operations.cpp ]]; then
  mkdir -p "$root/build"
  state=$(mktemp -d "$root/build/apt-src.XXXXXX")
  trap 'rm -rf "$state"' EXIT
  mkdir -p "$state/sources.list.d" "$state/lists/partial" "$state/archives/partial"
  scripts/backports-source.sh --deb-src >"$state/sources.list.d/deb-src.sources"
  apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$state/sources.list.d"
            -o "Dir::State::Lists=$state/lists" -o "Dir::Cache::Archives=$state/archives"
            -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root
            -qq)
  echo "mingw-boost: fetching the boost1.74 source package"
  apt-get "${apt_opts[@]}" update
  (cd "$state" && apt-get "${apt_opts[@]}" source --download-only boost1.74 >/dev/null)
  orig=$(ls "$state"/boost1.74_*.orig.tar.* | head -n1)
  rm -rf "$src.tmp" && mkdir -p "$src.tmp"
  tar --no-same-owner -xf "$orig" -C "$src.tmp" --strip-components=1 --wildcards '*/libs/filesystem/src/*'
  rm -rf "$src" && mv "$src.tmp" "$src"
fi

echo "mingw-boost: building Boost.Filesystem for $triplet"
rm -rf "$out" && mkdir -p "$out/include" "$out/obj" "$out/lib"
ln -s /usr/include/boost "$out/include/boost"
# Two compilers at a time: the machine is shared.
export triplet out
printf '%s\0' "$src"/libs/filesystem/src/*.cpp | xargs -0 -P2 -I{} sh -c \
  '"$triplet-g++-posix" -std=c++20 -O2 -DNDEBUG -DBOOST_FILESYSTEM_STATIC_LINK=1 \
     -DBOOST_FILESYSTEM_SOURCE -isystem "$out/include" -c "$1" -o "$out/obj/$(basename "$1" .cpp).o"' _ {}
"$triplet-ar" rcs "$out/lib/libboost_filesystem.a" "$out"/obj/*.o
rm -rf "$out/obj"
