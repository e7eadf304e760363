#!/usr/bin/env bash
# The Windows package as an outside project uses it, under wine64:
#   scripts/windows-package-test.sh
# Installs build/windows (scripts/build.sh windows builds it) into
# build/windows/package-test/prefix, builds tests/package/consumer with the
# same toolchain file and find_package(qmcore) from that prefix, and runs
# it: it logs to a file, runs scheduled commands on pools and reads its own
# and qmcore.dll's version resources. Then the installed demo agent runs
# until two heartbeats are in its log and is stopped with `qmagent --stop`;
# it must end cleanly. The Wine prefix is build/windows/wine/prefix, made
# when missing (about 15 s).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build/windows
work=$build/package-test
wine=/usr/lib/wine/wine64
[[ -f $build/krcore/qmcore.dll ]] ||
  { echo "windows-package-test: build/windows is not built (scripts/build.sh windows)" >&2; exit 1; }

rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S tests/package/consumer -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-x86_64.cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null

# A prefix whose creation was cut short has no marker and is made again.
export WINEPREFIX=$build/wine/prefix WINEDEBUG=-all
if [[ ! -f $build/wine/prefix.ready ]]; then
  rm -rf "$WINEPREFIX" && mkdir -p "$build/wine"
  "$wine" wineboot -i >/dev/null 2>&1
  # No display here: the null graphics driver serves hidden windows.
  "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  touch "$build/wine/prefix.ready"
fi
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
export WINEPATH="Z:$runtime;Z:/usr/x86_64-w64-mingw32/lib;Z:$work/prefix/bin"

"$wine" "$work/consumer/consumer.exe"
echo "windows-package-test: the consumer passed"
