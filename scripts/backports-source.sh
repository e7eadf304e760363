#!/usr/bin/env bash
# Prints the apt source (deb822) of the backports suite of this machine's
# release, made from the archive entry the machine already uses, so it goes
# through the same mirror or proxy with the same key:
#   scripts/backports-source.sh [--deb-src] [APT_DIR [CODENAME]]
# APT_DIR is /etc/apt, CODENAME the release's from /etc/os-release. Prints
# nothing when a backports suite is configured already; fails with one line
# when no enabled `deb` entry names the release's own suite. With --deb-src
# it prints instead the source-package entry (`deb-src`) of the release's own
# suite, always (scripts/mingw-boost.sh uses it with a private apt state).
set -euo pipefail
mode=backports
if [[ ${1:-} == --deb-src ]]; then
  mode=deb-src
  shift
fi
apt_dir=${1:-/etc/apt}
codename=${2:-}
if [[ -z $codename ]]; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
fi
[[ -n $codename ]] || { echo "backports-source: no release codename" >&2; exit 1; }
files=()
[[ -f $apt_dir/sources.list ]] && files+=("$apt_dir/sources.list")
for f in "$apt_dir"/sources.list.d/*.list "$apt_dir"/sources.list.d/*.sources; do
  [[ -f $f ]] && files+=("$f")
done
((${#files[@]})) || { echo "backports-source: no apt sources under $apt_dir" >&2; exit 1; }

awk -v suite="$codename" -v mode="$mode" '
  function has(list, word) { return (" " list " ") ~ (" " word " ") }
  function consider(types, uris, suites, comps, enabled, signed) {
    if (enabled == "no" || !has(types, "deb")) return
    if (has(suites, suite "-backports")) present = 1
    if (!found && has(suites, suite) && uris != "") {
      found = 1
      split(uris, u, " ")
      uri = u[1]
      component = has(comps, "main") ? "main" : comps
      signed_by = signed
    }
  }
  function flush() {
    if (keys) consider(f["types"], f["uris"], f["suites"], f["components"], tolower(f["enabled"]), f["signed-by"])
    delete f
    keys = 0
    last = ""
  }
  FNR == 1 { flush(); deb822 = FILENAME ~ /\.sources$/ }
  # One-line form: deb [opt=value ...] URI SUITE COMPONENT...
  !deb822 {
    line = $0
    sub(/#.*/, "", line)
    n = split(line, w, /[ \t]+/)
    i = (w[1] == "") ? 2 : 1
    if (i > n) next
    type = w[i++]
    signed = ""
    if (w[i] ~ /^\[/) {
      opts = ""
      while (i <= n) { opts = opts " " w[i]; if (w[i++] ~ /\]$/) break }
      if (match(opts, /signed-by=[^] ]+/)) signed = substr(opts, RSTART + 10, RLENGTH - 10)
    }
    line_uri = w[i++]
    s = w[i++]
    comps = ""
    for (; i <= n; i++) comps = comps (comps == "" ? "" : " ") w[i]
    consider(type, line_uri, s, comps, "yes", signed)
    next
  }
  /^#/ { next }
  /^[ \t]*$/ { flush(); next }
  /^[ \t]/ { if (last != "") f[last] = f[last] "\n" $0; next }
  {
    colon = index($0, ":")
    last = tolower(substr($0, 1, colon - 1))
    value = substr($0, colon + 1)
    gsub(/^[ \t]+|[ \t]+$/, "", value)
    f[last] = value
    keys++
  }
  END {
    flush()
    if (present && mode == "backports") exit 0
    if (!found) { print "backports-source: no enabled deb entry for suite " suite > "/dev/stderr"; exit 1 }
    print "Types: " (mode == "deb-src" ? "deb-src" : "deb")
    print "URIs: " uri
    print "Suites: " suite (mode == "deb-src" ? "" : "-backports")
    print "Components: " component
    if (signed_by != "") print "Signed-By: " signed_by
  }
' "${files[@]}"
