#!/usr/bin/env bash
# Runs clang-tidy 16 with the repository's .clang-tidy over the library's
# sources, each read as the build that compiles it reads it:
#  - Linux: every source of krcore/src in build/release;
#  - Windows: what only the Windows build compiles (the families' windows/
#    halves, the tools' Windows sources) and the sources holding _WIN32
#    branches, as build/windows compiles them for x86-64 with MinGW-w64.
#   scripts/tidy.sh              both passes over every such source
#   scripts/tidy.sh FILE...      only these files (in each pass whose build compiles them)
#   TIDY_JOBS=N scripts/tidy.sh  N files at a time (default: every core)
# Any finding counts as an error: the script prints it and exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
# Each build writes compile_commands.json; building the library also makes
# the headers it generates, and shows that the sources compile at all.
scripts/build.sh release qmcore >/dev/null
scripts/build.sh windows qmcore qmagent >/dev/null
jobs=${TIDY_JOBS:-$(nproc)}
triplet=x86_64-w64-mingw32
winbuild=build/windows
windb=$winbuild/tidy   # the Windows database, as clang reads it

# The sources a build compiles from krcore/src and tools/ (absolute paths).
compiled() {
  jq -r --arg root "$PWD/" '.[].file | select((startswith($root + "krcore/src/") or startswith($root + "tools/")) and endswith(".cpp"))' \
    "$1/compile_commands.json" | sort -u
}
mapfile -t linux_all < <(compiled build/release | grep "^$PWD/krcore/src/")
mapfile -t release_all < <(compiled build/release)
windows_all=()
while IFS= read -r f; do
  # What the Linux pass never reads: files Linux does not compile, and the
  # _WIN32 branches of those it does.
  if ! printf '%s\n' "${release_all[@]}" | grep -qxF "$f" || grep -q '_WIN32' "$f"; then
    windows_all+=("$f")
  fi
done < <(compiled "$winbuild")

if (($#)); then
  linux=() windows=()
  for arg in "$@"; do
    f=$(realpath "$arg")
    in_linux=0 in_windows=0
    printf '%s\n' "${linux_all[@]}" | grep -qxF "$f" && { linux+=("$f"); in_linux=1; }
    printf '%s\n' "${windows_all[@]}" | grep -qxF "$f" && { windows+=("$f"); in_windows=1; }
    ((in_linux || in_windows)) || { echo "tidy: $arg is not a source either pass reads" >&2; exit 2; }
  done
else
  linux=("${linux_all[@]}") windows=("${windows_all[@]}")
fi

# One clang-tidy per file, `jobs` at a time; xargs fails when any of them
# reports a finding (every finding is an error with --warnings-as-errors).
tidy() {  # database folder, extra clang-tidy arguments..., --, files...
  local db=$1 extra=()
  shift
  while [[ $1 != -- ]]; do extra+=("$1"); shift; done
  shift
  (($#)) || return 0
  printf '%s\0' "$@" |
    xargs -0 -n 1 -P "$jobs" clang-tidy-16 -p "$db" --quiet --warnings-as-errors='*' "${extra[@]}"
}

tidy build/release -- "${linux[@]}"
echo "tidy: ${#linux[@]} Linux files clean"

# clang reads the MinGW compile commands once they name its target and the
# cross compiler's C++ library headers (clang finds no GCC installation
# under the posix names), and without the one option it does not know:
# CMake's -fno-keep-inline-dllexport, GCC's way to keep inline members out
# of a DLL's exports.
mkdir -p "$windb"
sed 's/ -fno-keep-inline-dllexport//g' "$winbuild/compile_commands.json" >"$windb/compile_commands.json.new"
mv "$windb/compile_commands.json.new" "$windb/compile_commands.json"
winargs=(--extra-arg-before=--target=$triplet --extra-arg-before=-nostdinc++)
while IFS= read -r dir; do
  winargs+=("--extra-arg-before=-isystem$dir")
done < <("$triplet-g++-posix" -E -x c++ - -v </dev/null 2>&1 |
         sed -n '/search starts here/,/End of search list/p' | grep '/include/c++' | sed 's/^ *//')
tidy "$windb" "${winargs[@]}" -- "${windows[@]}"
echo "tidy: ${#windows[@]} Windows files clean"
