#!/usr/bin/env bash
# Checks a tool's manual page against the tool's own --help:
#   manpage_check.sh PROGRAM PAGE SECTION...
# --help must succeed; the page must render without a formatter warning, have
# every SECTION heading named (so that the usage and option lines were
# recognised, not left as loose text), and hold every word of --help, so a
# page that lags behind the program or loses a line of it fails.
set -euo pipefail
program=$1 page=$2
shift 2
fail() {
  echo "manpage_check: $page: $*" >&2
  exit 1
}
help=$("$program" --help) || fail "$program --help exited with $?"
warnings=$(mktemp)
trap 'rm -f "$warnings"' EXIT
# One unbroken line per paragraph (no wrapping, so no hyphenation), ASCII.
rendered=$(LC_ALL=C MANWIDTH=4000 man --warnings -l "$page" 2>"$warnings" | col -b)
[[ -s $warnings ]] && fail "formatter warnings: $(cat "$warnings")"
for section in "$@"; do
  grep -qx "$section" <<<"$rendered" || fail "no $section section"
done
missing=()
while read -r word; do
  case $word in
    Usage: | or: | Options:) continue ;;  # the headings the generator replaces
  esac
  grep -qF -- "$word" <<<"$rendered" || missing+=("$word")
done < <(tr -s ' \t' '\n' <<<"$help" | sort -u)
((${#missing[@]} == 0)) || fail "words of --help missing: ${missing[*]}"
