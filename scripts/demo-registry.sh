#!/usr/bin/env bash
# Shows the log following the registry while the agent runs: writes the
# logging key under a private root with krreg, starts the agent at the
# normal level, raises "Level" to verbose (3) two seconds later, and shows
# the end of the agent's log: the "registry change" report and the verbose
# heartbeat lines after it, without a restart.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh release qmagent krreg
export KRCORE_REGISTRY_ROOT=$PWD/build/demo-registry
rm -rf "$KRCORE_REGISTRY_ROOT" build/demo-logs
krreg=build/release/tools/krreg
key='HKLM\SOFTWARE\Vantrel\Logging'
$krreg add "$key" /v Enable /t REG_DWORD /d 1 /f
$krreg add "$key" /v Level /t REG_DWORD /d 2 /f
$krreg add "$key" /v Options /t REG_DWORD /d 1 /f
$krreg query "$key"
build/release/tools/qmagent --duration 4 --logdir build/demo-logs --tail 40 &
agent=$!
sleep 2
$krreg add "$key" /v Level /t REG_DWORD /d 3 /f
wait $agent
