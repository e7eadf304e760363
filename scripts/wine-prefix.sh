#!/usr/bin/env bash
# Makes the Wine prefix of a Windows build tree, once:
#   scripts/wine-prefix.sh <build-dir>      (the prefix is <build-dir>/wine/prefix)
# A prefix that is complete is left as it is, so a second call costs nothing;
# one that a broken first call left half made is made again. The prefix has
# no display driver (Graphics=null): the tests' windows are hidden, and this
# machine has no display. It names no crash debugger: Wine's own
# (winedbg --auto) waits forever here, while without one an unhandled fault
# ends the process with the fault's code, as on Windows. (The mark's name
# carries the prefix's version, so an older prefix is made again.)
set -euo pipefail
build=$(cd "${1:?usage: wine-prefix.sh <build-dir>}" && pwd)
wine=${WINE64:-/usr/lib/wine/wine64}
root=$build/wine
prefix=$root/prefix
done_mark=$root/prefix-2.done
[[ -e $done_mark ]] && exit 0
# wine makes the prefix itself, but not the folders above it.
mkdir -p "$root"
# Two programs of one ctest run may find the prefix missing together: one
# makes it, the other waits for it.
exec 9>"$root/prefix.lock"
flock 9
[[ -e $done_mark ]] && exit 0
rm -rf "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
"$wine" wineboot -i >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
  >/dev/null 2>&1
# The server these calls started writes the registry out as it ends, a few
# seconds after them; nothing else can be using a prefix that was just made.
"${WINESERVER:-/usr/lib/wine/wineserver}" -w
touch "$done_mark"
