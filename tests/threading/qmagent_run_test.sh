#!/usr/bin/env bash
# Runs the demo agent for two seconds with its data directory in a temporary
# place, and checks that it ended cleanly and that its log file (UTF-16)
# holds heartbeat lines and the scheduler's clean shutdown.
set -euo pipefail
agent=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
KRCORE_COMMON_APPDATA=$dir "$agent" --duration 2 >"$dir/out.txt"
log=$dir/Vantrel/Logs/qmagent/qmagent.0001.log.txt
text=$(iconv -f UTF-16 -t UTF-8 "$log")
beats=$(grep -c 'qmagent - heartbeat \[' <<<"$text" || true)
if [ "$beats" -lt 2 ]; then
  echo "expected at least 2 heartbeat lines, found $beats"; cat "$dir/out.txt"; exit 1
fi
grep -q 'qmagent - stopped' <<<"$text" || { echo "no stop line in the log"; exit 1; }
grep -q 'scheduler shutdown clean' "$dir/out.txt" || { cat "$dir/out.txt"; exit 1; }
grep -q 'qmagent - heartbeat \[1\]' "$dir/out.txt" || { echo "no log tail shown"; exit 1; }
echo "qmagent ran: $beats heartbeat(s)"
