#!/usr/bin/env bash
# Sets up, builds and starts the program. Without arguments: the window on
# the built-in simulated fixture, or, with no display, the console tool
# polling it. Arguments go to the window as they are, e.g.
#   ./run.sh                      the demo
#   ./run.sh --trace              the window on the port chosen in its menu
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake --preset default >/dev/null
# Only what it starts: the tests and benchmarks are scripts/test's business.
cmake --build --preset default --target tarvok-config tarvok-hart
[ $# -eq 0 ] && set -- --simulate
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/default/app/tarvok-config "$@"
fi
echo "No display here: polling the simulated fixture with the console tool instead."
echo "For the window, start it with a display (or: xvfb-run ./run.sh)."
exec build/default/cli/tarvok-hart --simulate poll --count 10
