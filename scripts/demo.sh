#!/usr/bin/env bash
# Installs what is missing, builds the demo agent and runs it: for 5 seconds
# unless arguments are given (see `scripts/demo.sh --help`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh demo
scripts/build.sh demo qmagent
# The agent logs under the common application data directory (/var/lib);
# without write access there, it logs under build/appdata instead.
if [ -z "${KRCORE_COMMON_APPDATA:-}" ] && [ ! -w /var/lib ]; then
  export KRCORE_COMMON_APPDATA=$PWD/build/appdata
fi
if [ $# -eq 0 ]; then set -- --duration 5; fi
exec build/demo/tools/qmagent "$@"
