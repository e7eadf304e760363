#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite three times:
# once normally, once under AddressSanitizer + UndefinedBehaviorSanitizer
# (tests labelled `nosan` install their own fault handlers or build outside
# projects, and run only in the normal pass), and once under ThreadSanitizer
# (tests labelled `notsan` translate faults or end threads by force, which the
# checker cannot follow). In that pass any report fails its test; the
# suppression file lists only reports that are not about our code. Then a
# short fuzz pass runs every parser's fuzz target for a few seconds, so a
# parser that crashes or breaks its round trip fails the run, and clang-tidy
# reads the library's sources, so a new finding fails it too. Then the
# Windows DLL is built for both architectures and their exports compared.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
jobs=$(nproc)

scripts/build.sh release
ctest --test-dir build/release --output-on-failure -j "$jobs"

scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs" -LE nosan

scripts/build.sh tsan
TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir build/tsan --output-on-failure -j "$jobs" -LE notsan

scripts/fuzz.sh --ci

scripts/tidy.sh

# Windows: qmcore.dll for x86-64 and i686 (MinGW-w64), and the same export
# table on both.
scripts/build.sh windows
scripts/build.sh windows-x86
scripts/windows-exports.sh
scripts/windows-test.sh

# The Debian packages: built (reusing the release build through ccache), then
# installed, checked, removed and purged on this machine.
scripts/package.sh
scripts/package-test.sh
