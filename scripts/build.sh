#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh release [targets...]   the normal build (build/release)
#   scripts/build.sh asan [targets...]      AddressSanitizer + UBSan (build/asan)
#   scripts/build.sh tsan [targets...]      ThreadSanitizer (build/tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
shift || true
case $flavour in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRCORE_SANITIZE=ON -DKRCORE_BUILD_BENCH=OFF) ;;
  tsan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRCORE_TSAN=ON -DKRCORE_BUILD_BENCH=OFF) ;;
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
