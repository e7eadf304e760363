#!/usr/bin/env bash
# Tests the Debian packages that scripts/package.sh left in build/package/
# the way an administrator and a developer meet them, on this machine:
# lintian at the error level and the symbols guard; install; the state the
# install makes and that a reinstall keeps; a consumer built against the
# installed files with find_package and with pkg-config; the tools' --help
# and manual pages; the unit as systemd reads it; the agent run as the unit
# runs it and stopped by SIGTERM; a lost machine key, which the install does
# not make again; removal, which keeps the state; and purge, which takes the
# tools' own files and keeps the library's state (settings, machine key,
# code-signing roots) that another copy of the library still needs.
#
# Packages are installed with dpkg, never apt, so nothing else is pulled in
# and the purge returns the machine to how it was. qmcore state already on
# the machine is moved aside for the test and put back afterwards, whatever
# happens.
set -euo pipefail
cd "$(dirname "$0")/.."
debs=(build/package/libqmcore0_*.deb build/package/libqmcore-dev_*.deb build/package/qmcore-tools_*.deb)
for d in "${debs[@]}"; do
  [[ -f $d ]] || { echo "package-test: $d missing; run scripts/package.sh first" >&2; exit 1; }
done
packages=(qmcore-tools libqmcore-dev libqmcore0)
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qv '^not-installed$'; then
    echo "package-test: $p is on this machine already; not testing over it" >&2
    exit 1
  fi
done

work=$(mktemp -d)
state=(/etc/krcore /var/lib/krcore /var/lib/Vantrel/Logs/qmagent)
aside=$work/aside
step() { echo "== package-test: $*"; }
fail() {
  echo "package-test: FAILED: $*" >&2
  exit 1
}
restore() {
  local status=$?
  set +e
  # An agent left running by a failed step goes first.
  [[ -n ${agent_pid:-} ]] && kill -KILL "$agent_pid" 2>/dev/null
  dpkg -P "${packages[@]}" >/dev/null 2>&1
  # What was not there before the test was made by it, and goes.
  for p in "${state[@]}"; do
    rm -rf "$p"
    if [[ -e $aside$p || -L $aside$p ]]; then
      mkdir -p "$(dirname "$p")"
      mv "$aside$p" "$p"
    fi
  done
  rm -rf /etc/krcore/codesign-roots/package-test.pem
  rmdir /etc/krcore/codesign-roots /etc/krcore 2>/dev/null
  rm -rf "$work"
  exit "$status"
}
trap restore EXIT
for p in "${state[@]}"; do
  if [[ -e $p || -L $p ]]; then
    mkdir -p "$(dirname "$aside$p")"
    mv "$p" "$aside$p"
  fi
done

step "lintian (errors fail; warnings listed)"
lintian --fail-on error --display-level '>=warning' build/package/*.changes

step "symbols: an export that disappears fails the build"
lib=$(dpkg-deb -c build/package/libqmcore0_*.deb | awk '/^-/ && /libqmcore\.so\.[0-9.]*$/ {print $NF}')
dpkg-deb -x build/package/libqmcore0_*.deb "$work/lib0"
version=$(dpkg-deb -f build/package/libqmcore0_*.deb Version)
gensymbols() {
  dpkg-gensymbols -q -plibqmcore0 -v"$version" -P"$work/lib0" -e"$work/lib0/${lib#./}" \
    -I"$1" -O"$work/symbols.out" -c1 >/dev/null 2>&1
}
gensymbols debian/libqmcore0.symbols || fail "the library does not match debian/libqmcore0.symbols"
sed '2a\ _ZN6krCore20package_test_removedEv@Base 0.1.0' debian/libqmcore0.symbols >"$work/more.symbols"
if gensymbols "$work/more.symbols"; then fail "a missing export passed the symbols check"; fi

step "install"
dpkg -i "${debs[@]}"

step "the state the install made"
expect_mode() {  # PATH MODE OWNER:GROUP
  [[ $(stat -c '%a %U:%G' "$1") == "$2 $3" ]] || fail "$1 is $(stat -c '%a %U:%G' "$1"), not $2 $3"
}
for d in /etc/krcore /etc/krcore/registry /etc/krcore/codesign-roots /var/lib/krcore; do
  [[ -d $d && ! -L $d ]] || fail "$d is not a folder"
  expect_mode "$d" 755 root:root
done
key=/var/lib/krcore/machine.key
[[ -f $key && $(stat -c %s "$key") == 32 ]] || fail "$key is not a 32-byte file"
expect_mode "$key" 600 root:root
expect_mode "$key.made" 644 root:root
helper=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/qmcore/krkeyhelper
expect_mode "$helper" 4755 root:root
logging='HKLM\SOFTWARE\Vantrel\Logging'
query=$(krreg query "$logging")
for value in 'Enable +REG_DWORD +0x1' 'Level +REG_DWORD +0x2' 'Options +REG_DWORD +0x1' \
             'MaxFileSizeInMB +REG_DWORD +0xf' 'MaxFilesPerProcess +REG_DWORD +0xa'; do
  grep -Eq "^ +$value\$" <<<"$query" || fail "logging key lacks [$value]: $query"
done

step "a reinstall keeps the key and the administrator's settings"
key_sum=$(sha256sum "$key")
krreg add "$logging" /v Level /t REG_DWORD /d 3 /f >/dev/null
chmod 644 "$key"  # as earlier versions left it
dpkg -i "${debs[@]}" >/dev/null
[[ $(sha256sum "$key") == "$key_sum" ]] || fail "the reinstall replaced the machine key"
expect_mode "$key" 600 root:root
krreg query "$logging" /v Level | grep -Eq 'Level +REG_DWORD +0x3$' ||
  fail "the reinstall replaced the logging key's Level"

step "a lost machine key is reported, not made again"
cp -p "$key" "$work/machine.key"
rm "$key"
dpkg -i build/package/libqmcore0_*.deb 2>"$work/lost.err" >/dev/null
[[ -e $key ]] && fail "the reinstall made a new machine key in place of a lost one"
grep -q 'machine key.*is missing, though one was made before' "$work/lost.err" ||
  fail "no word of the lost key: $(cat "$work/lost.err")"
cp -p "$work/machine.key" "$key"

step "a consumer built with find_package"
cmake -S tests/package/consumer -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

step "another account protects with the machine key through the helper, and cannot read it"
# A copy of the consumer in a folder that account may enter (the work folder
# may be private to root).
shared=$(mktemp -d)
chmod 755 "$shared"
cp "$work/consumer/consumer" "$shared/"
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
"${as_nobody[@]}" cat "$key" >/dev/null 2>&1 && fail "another account read the machine key"
"${as_nobody[@]}" "$shared/consumer" --credential || fail "another account could not protect"
rm -rf "$shared"

step "a consumer built with pkg-config"
# shellcheck disable=SC2046  # the flags are words
c++ -Wall -Wextra -Werror tests/package/consumer/main.cpp tests/package/consumer/derived.cpp \
  tests/package/consumer/fault.cpp tests/package/consumer/system.cpp -o "$work/consumer-pc" \
  $(pkg-config --cflags --libs qmcore)
"$work/consumer-pc"

step "the tools' --help and manual pages"
tests/tools/manpage_check.sh /usr/bin/krreg /usr/share/man/man8/krreg.8.gz NAME SYNOPSIS DESCRIPTION
tests/tools/manpage_check.sh /usr/bin/qmagent /usr/share/man/man8/qmagent.8.gz NAME SYNOPSIS OPTIONS
man -l /usr/share/man/man8/krreg.8.gz >/dev/null
man -l /usr/share/man/man8/qmagent.8.gz >/dev/null

step "the unit as systemd reads it"
unit=/lib/systemd/system/qmagent.service
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
if grep -Eiq 'unknown|ignoring|failed|warning' <<<"$verify"; then fail "systemd-analyze verify: $verify"; fi

step "the agent as the unit runs it, stopped by SIGTERM"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
coproc agent { exec $exec_start 2>&1; }
# shellcheck disable=SC2154  # agent_PID is set by coproc
agent_pid=$agent_PID
started=0
while IFS= read -r -t 60 line <&"${agent[0]}"; do
  if [[ $line == Running* ]]; then started=1; break; fi
done
((started)) || fail "the agent did not start"
kill -TERM "$agent_pid"
stopped=$(timeout 30 cat <&"${agent[0]}") || true
agent_status=0
wait "$agent_pid" || agent_status=$?
agent_pid=
((agent_status == 0)) || fail "the agent exited with $agent_status after SIGTERM: $stopped"
grep -q 'Stopped by SIGTERM.*shutdown clean' <<<"$stopped" || fail "no clean stop: $stopped"
log=/var/lib/Vantrel/Logs/qmagent/qmagent.0001.log.txt
iconv -f UTF-16 -t UTF-8 "$log" | grep -q 'qmagent - stopped' || fail "$log lacks the stop"

step "removal keeps the state"
echo "an administrator's certificate" >/etc/krcore/codesign-roots/package-test.pem
dpkg -r "${packages[@]}"
for p in "$key" /etc/krcore/registry "$log"; do [[ -e $p ]] || fail "removal took $p"; done

step "purge takes the tools' files and keeps the library's state"
dpkg -P "${packages[@]}" 2>"$work/purge.err" || fail "purge: $(cat "$work/purge.err")"
[[ $(sha256sum "$key") == "$key_sum" && -e $key.made ]] || fail "purge took the machine key or its marker"
grep -q 'Level' <<<"$(ls -R /etc/krcore/registry)" || fail "purge took the settings store"
left=()
for p in /var/lib/Vantrel/Logs/qmagent /usr/bin/krreg \
         /usr/bin/qmagent /usr/include/krcore /usr/share/qmcore /usr/share/man/man8/krreg.8.gz \
         /usr/share/man/man8/qmagent.8.gz "$unit" /etc/systemd/system/multi-user.target.wants/qmagent.service \
         /usr/share/doc/libqmcore0 /usr/share/doc/libqmcore-dev /usr/share/doc/qmcore-tools \
         /usr/lib/*/libqmcore.so* /usr/lib/*/cmake/qmcore /usr/lib/*/pkgconfig/qmcore.pc; do
  [[ -e $p || -L $p ]] && left+=("$p")
done
compgen -G '/var/lib/systemd/deb-systemd-helper-enabled/*qmagent*' >/dev/null && left+=(systemd-enabled-state)
((${#left[@]} == 0)) || fail "left after purge: ${left[*]}"
[[ -f /etc/krcore/codesign-roots/package-test.pem ]] || fail "purge took an administrator's certificate"
for p in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qv '^not-installed$' &&
    fail "$p still known to dpkg"
done
step "passed"
