#!/usr/bin/env bash
# Runs one Windows program of a build tree under wine64; ctest starts every
# Windows test program through it (tests/CMakeLists.txt):
#   scripts/wine-run.sh <build-dir> <runtime-dirs> <program.exe> [arguments...]
# <runtime-dirs> are the folders of the compiler's runtime DLLs, separated
# by ':'. The program runs in the build tree's prefix (made on first use by
# wine-prefix.sh) and finds qmcore.dll and the runtime DLLs through WINEPATH;
# its exit code is the wrapper's.
set -euo pipefail
build=${1:?usage: wine-run.sh <build-dir> <runtime-dirs> <program> [arguments...]}
runtime=${2:?runtime folders missing}
shift 2
"$(dirname "$0")/wine-prefix.sh" "$build"
winepath="Z:$build/krcore"
IFS=: read -ra dirs <<<"$runtime"
for d in "${dirs[@]}"; do winepath+=";Z:$d"; done
export WINEPREFIX=$build/wine/prefix WINEPATH=$winepath
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree=;mshtml="
exec "${WINE64:-/usr/lib/wine/wine64}" "$@"
