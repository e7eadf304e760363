#!/usr/bin/env bash
# Checks that the 32-bit qmcore.dll exports the same names as the 64-bit one:
#   scripts/windows-exports.sh [X64_DLL [X86_DLL]]
# (defaults: build/windows/krcore/qmcore.dll, build/windows-x86/krcore/qmcore.dll).
# The two export tables are read with objdump and normalised before they are
# compared:
#   - the @N suffix that stdcall gives a C name on i686 is dropped;
#   - C++ names are compared demangled with their parameter lists, after the
#     types whose width follows the architecture (size_t, ptrdiff_t and
#     uintptr_t are unsigned long long / long long on x86-64 and unsigned int
#     / int on i686) are written as the width-neutral spelling.
# Prints the names only one side exports and fails then; prints one line of
# counts when the tables match.
set -euo pipefail
cd "$(dirname "$0")/.."
x64=${1:-build/windows/krcore/qmcore.dll}
x86=${2:-build/windows-x86/krcore/qmcore.dll}
for dll in "$x64" "$x86"; do
  [[ -f $dll ]] || { echo "windows-exports: $dll is missing (scripts/build.sh windows / windows-x86)" >&2; exit 1; }
done

# The export table's names, one a line.
exports() {
  "$1-objdump" -p "$2" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p'
}

# Normalised, sorted names. $2 is the objdump prefix of the architecture.
# The export table holds the names without i686's leading underscore, so
# both are demangled as x86-64 names (thunks then lose their offsets, which
# follow the pointer width too).
normalise() {
  exports "$2" "$1" | sed 's/@[0-9]*$//' | x86_64-w64-mingw32-c++filt |
    sed -E 's/\bunsigned long long\b/size_t/g; s/\bunsigned int\b/size_t/g;
            s/\blong long\b/ssize_t/g; s/\bint\b/ssize_t/g' | LC_ALL=C sort -u
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
normalise "$x64" x86_64-w64-mingw32 >"$tmp/x64"
normalise "$x86" i686-w64-mingw32 >"$tmp/x86"
[[ -s $tmp/x64 ]] || { echo "windows-exports: $x64 exports nothing" >&2; exit 1; }
if ! diff -q "$tmp/x64" "$tmp/x86" >/dev/null; then
  echo "windows-exports: only the x86-64 DLL exports:" >&2
  comm -23 "$tmp/x64" "$tmp/x86" | sed 's/^/  /' >&2
  echo "windows-exports: only the i686 DLL exports:" >&2
  comm -13 "$tmp/x64" "$tmp/x86" | sed 's/^/  /' >&2
  exit 1
fi
echo "windows-exports: $(wc -l <"$tmp/x64") names, the same on x86-64 and i686"
