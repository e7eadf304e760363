#!/usr/bin/env bash
# Installs what is missing, builds the demo agent and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/build.sh release qmagent
exec build/release/tools/qmagent "$@"
