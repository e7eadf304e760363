#!/usr/bin/env bash
# The Windows package as an outside project uses it, under wine64:
#   scripts/windows-package-test.sh
# Installs build/windows (scripts/build.sh windows builds it) into
# build/windows/package-test/prefix, builds tests/package/consumer with the
# same toolchain file and find_package(qmcore) from that prefix, and runs
# it: it logs to a file, runs scheduled commands on pools, reads its own
# and qmcore.dll's version resources, catches a null read in its own code
# with a stack that names the function, protects a credential and reads it
# back, lists the processes by name and answers a Win32_Process query. Then the installed demo agent runs
# until two heartbeats are in its log and is stopped with `qmagent --stop`
# from a second process; it must end cleanly. Then it runs again in a console
# of its own and is stopped by Ctrl-C pressed there (tests/package/windows/
# ctrl_c.cpp); it must end cleanly too. The Wine prefix is the build tree's
# own (scripts/wine-prefix.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build/windows
work=$build/package-test
wine=/usr/lib/wine/wine64
fail() { echo "windows-package-test: $*" >&2; exit 1; }
[[ -f $build/build.ninja ]] || fail "build/windows is not configured (scripts/build.sh windows)"
# Runs a command quietly; its output is shown when it fails.
quiet() {
  local out
  out=$("$@" 2>&1) || { printf '%s\n' "$out" >&2; fail "failed: $*"; }
}

rm -rf "$work"
quiet cmake --build "$build"
quiet cmake --install "$build" --prefix "$work/prefix"
quiet cmake -S tests/package/consumer -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-x86_64.cmake" -DCMAKE_PREFIX_PATH="$work/prefix"
quiet cmake --build "$work/consumer"
quiet x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -Wall -Wextra -Werror -municode \
  -o "$work/ctrl_c.exe" tests/package/windows/ctrl_c.cpp

scripts/wine-prefix.sh "$build"
export WINEPREFIX=$build/wine/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
export WINEPATH="Z:$runtime;Z:/usr/x86_64-w64-mingw32/lib;Z:$work/prefix/bin"

"$wine" "$work/consumer/consumer.exe" || fail "the consumer failed ($?)"
echo "windows-package-test: the consumer passed"

# The agent logs to its default place (the prefix's common application-data
# folder), reads its log back when it ends, and is stopped from a second
# process, as an administrator would stop it.
agent=$work/agent
mkdir -p "$agent"
logdir=$WINEPREFIX/drive_c/ProgramData/Vantrel/Logs/qmagent
rm -rf "$logdir"
log=$logdir/qmagent.exe.0001.log.txt
"$wine" "$work/prefix/bin/qmagent.exe" --tail 3 >"$agent/out.txt" 2>&1 &
pid=$!
beats() {
  if [[ -f $log ]]; then iconv -f UTF-16 -t UTF-8 "$log" 2>/dev/null | grep -c 'qmagent - heartbeat \[' || true
  else echo 0; fi
}
for ((i = 0; i < 240 && $(beats) < 2; ++i)); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.5
done
(($(beats) >= 2)) || { kill "$pid" 2>/dev/null; cat "$agent/out.txt" >&2; fail "the agent logged no two heartbeats"; }
"$wine" "$work/prefix/bin/qmagent.exe" --stop >/dev/null || fail "qmagent --stop failed"
for ((i = 0; i < 120; ++i)); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.5
done
kill -0 "$pid" 2>/dev/null && { kill "$pid"; fail "the agent did not end after --stop"; }
rc=0
wait "$pid" || rc=$?
((rc == 0)) || { cat "$agent/out.txt" >&2; fail "the agent ended with $rc"; }
grep -q 'Stopped by stop request.*shutdown clean' "$agent/out.txt" ||
  { cat "$agent/out.txt" >&2; fail "the agent did not stop cleanly"; }
grep -q '^  .*qmagent - stopped' "$agent/out.txt" ||
  { cat "$agent/out.txt" >&2; fail "the agent showed no stop line from its log"; }
echo "windows-package-test: the agent ran and stopped when asked"

# Ctrl-C in the agent's console: its handler asks it to stop, it shuts its
# services down and closes its log, and ends with 0. (Wine's console sends
# Ctrl-C alone: GenerateConsoleCtrlEvent fails there for Ctrl-Break.)
rc=0
"$wine" "$work/ctrl_c.exe" "$agent/ctrl-c.txt" "$work/prefix/bin/qmagent.exe" --tail 3 \
  >"$agent/ctrl-c-tool.txt" 2>&1 || rc=$?
((rc == 0)) || { cat "$agent/ctrl-c-tool.txt" "$agent/ctrl-c.txt" >&2; fail "the agent ended with $rc after Ctrl-C"; }
grep -q 'Stopped by Ctrl-C.*shutdown clean' "$agent/ctrl-c.txt" ||
  { cat "$agent/ctrl-c.txt" >&2; fail "the agent did not stop cleanly on Ctrl-C"; }
grep -q '^  .*qmagent - stopped' "$agent/ctrl-c.txt" ||
  { cat "$agent/ctrl-c.txt" >&2; fail "the agent showed no stop line from its log after Ctrl-C"; }
echo "windows-package-test: the agent stopped on Ctrl-C"
