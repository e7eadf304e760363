#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh release [targets...]   the normal build (build/release)
#   scripts/build.sh demo [targets...]      the library and tools alone, no tests
#                                           or benchmarks (build/demo)
#   scripts/build.sh asan [targets...]      AddressSanitizer + UBSan (build/asan)
#   scripts/build.sh tsan [targets...]      ThreadSanitizer (build/tsan)
#   scripts/build.sh windows [targets...]   64-bit Windows with MinGW-w64, tests included (build/windows)
#   scripts/build.sh windows-x86 [targets...]  32-bit Windows (build/windows-x86)
# The Windows flavours first build Boost.Filesystem for MinGW once
# (scripts/mingw-boost.sh, kept in build/mingw-boost/).
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
shift || true
mingw() {  # toolchain file, triplet, whether to build the tests (and the fault benchmark)
  scripts/mingw-boost.sh "$2" "$PWD/build/mingw-boost/$2"
  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$1"
        -DKRCORE_MINGW_BOOST_DIR="$PWD/build/mingw-boost/$2" -DKRCORE_BUILD_BENCH="$3"
        -DKRCORE_BUILD_TESTS="$3" -DKRCORE_BUILD_TOOLS=ON)
}
case $flavour in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  demo) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRCORE_BUILD_TESTS=OFF -DKRCORE_BUILD_BENCH=OFF) ;;
  asan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRCORE_SANITIZE=ON -DKRCORE_BUILD_BENCH=OFF) ;;
  tsan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRCORE_TSAN=ON -DKRCORE_BUILD_BENCH=OFF) ;;
  # The tests run under wine64, which runs x86-64 programs only.
  windows) mingw mingw-x86_64.cmake x86_64-w64-mingw32 ON ;;
  windows-x86) mingw mingw-i686.cmake i686-w64-mingw32 OFF ;;
  *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac
# ccache, when present, keys its entries on paths relative to the checkout, so
# a second clone or work tree of the same sources compiles nothing twice.
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-20G}"
  args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "build/$flavour" -G Ninja "${args[@]}" >/dev/null
if (($#)); then
  cmake --build "build/$flavour" --target "$@"
else
  cmake --build "build/$flavour"
fi
