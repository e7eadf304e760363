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
cmake -S . -B "build/$flavour" -G Ninja "${args[@]}" >/dev/null
if (($#)); then
  cmake --build "build/$flavour" --target "$@"
else
  cmake --build "build/$flavour"
fi
