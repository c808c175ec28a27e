#!/usr/bin/env bash
# Sets up, builds and runs the program. Without arguments it polls the
# built-in simulated fixture; any arguments go to the console tool, e.g.
#   ./run.sh --port 3 identify
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake --preset default >/dev/null
cmake --build --preset default
if [ $# -eq 0 ]; then
  set -- --simulate poll --count 10
fi
exec build/default/tools/tarvok-hart "$@"
