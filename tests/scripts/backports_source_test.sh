#!/usr/bin/env bash
# scripts/backports-source.sh over apt configurations written here: the
# backports entry follows whatever archive entry the machine has (mirror and
# key), in either file form, and skips what apt itself would skip.
set -euo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # NAME EXPECTED-OUTPUT EXPECTED-STATUS [OPTION]
  local got status=0
  got=$("$tool" ${4:+"$4"} "$work/$1" bookworm 2>/dev/null) || status=$?
  if [[ $got != "$2" || $status != "$3" ]]; then
    printf 'FAIL %s: status %s, output:\n%s\nexpected status %s, output:\n%s\n' \
      "$1" "$status" "$got" "$3" "$2"
    failures=$((failures + 1))
  fi
}

# deb822: a disabled stanza, a source-only one and a security suite come
# before the one apt uses; its inline key spans several lines.
mkdir -p "$work/deb822/sources.list.d"
cat >"$work/deb822/sources.list.d/archive.sources" <<'SRC'
# the old mirror
Types: deb
URIs: http://old-mirror.invalid/debian
Suites: bookworm
Components: main
Enabled: no

Types: deb-src
URIs: http://src-mirror.invalid/debian
Suites: bookworm
Components: main

Types: deb
URIs: http://mirror.invalid/debian-security
Suites: bookworm-security
Components: main

Types: deb deb-src
URIs: http://mirror.invalid/debian http://second.invalid/debian
Suites: bookworm bookworm-updates
Components: contrib main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 AAAA
 -----END PGP PUBLIC KEY BLOCK-----
SRC
check deb822 "Types: deb
URIs: http://mirror.invalid/debian
Suites: bookworm-backports
Components: main
Signed-By: 
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 AAAA
 -----END PGP PUBLIC KEY BLOCK-----" 0

# The one-line form, with options and a comment; files of other names in
# sources.list.d are not apt's.
mkdir -p "$work/oneline/sources.list.d"
cat >"$work/oneline/sources.list" <<'SRC'
# deb http://commented.invalid/debian bookworm main
deb-src http://src-mirror.invalid/debian bookworm main
deb [arch=amd64 signed-by=/usr/share/keyrings/archive.gpg] http://proxy.invalid:3142/debian bookworm main # the proxy
SRC
echo "deb http://ignored.invalid/debian bookworm main" >"$work/oneline/sources.list.d/old.list.disabled"
check oneline "Types: deb
URIs: http://proxy.invalid:3142/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/archive.gpg" 0

# Backports configured already (in either form): nothing to add.
mkdir -p "$work/present/sources.list.d"
cp "$work/oneline/sources.list" "$work/present/"
echo "deb http://mirror.invalid/debian bookworm-backports main" >"$work/present/sources.list.d/bp.list"
check present "" 0

# The source-package entry is the release's own suite on the mirror and key
# apt uses for binaries, whatever backports or deb-src entries exist.
check present "Types: deb-src
URIs: http://proxy.invalid:3142/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/archive.gpg" 0 --deb-src

# No entry of the release's own suite: a failure, not a guess.
mkdir -p "$work/none/sources.list.d"
echo "deb http://mirror.invalid/debian-security bookworm-security main" >"$work/none/sources.list"
check none "" 1

((failures == 0))
