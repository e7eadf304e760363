#!/usr/bin/env bash
# Runs clang-tidy 16 with the repository's .clang-tidy over the library's
# sources (krcore/src), compiled as build/release compiles them. The
# families' windows/ halves are not in that build (they need the system's
# headers), so the Linux pass leaves them out.
#   scripts/tidy.sh              every source of the library
#   scripts/tidy.sh FILE...      only these files
#   TIDY_JOBS=N scripts/tidy.sh  N files at a time (default: every core)
# Any finding counts as an error: the script prints it and exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
# The release build writes compile_commands.json; building the library
# also makes the headers it generates.
scripts/build.sh release qmcore >/dev/null
jobs=${TIDY_JOBS:-$(nproc)}
if (($#)); then
  files=()
  for f in "$@"; do files+=("$(realpath "$f")"); done
else
  mapfile -t files < <(find "$PWD/krcore/src" -name '*.cpp' -not -path '*/windows/*' | sort)
fi
# One clang-tidy per file, `jobs` at a time; xargs fails when any of them
# reports a finding (every finding is an error with --warnings-as-errors).
printf '%s\0' "${files[@]}" |
  xargs -0 -n 1 -P "$jobs" clang-tidy-16 -p build/release --quiet --warnings-as-errors='*'
echo "tidy: ${#files[@]} files clean"
