#!/usr/bin/env bash
# Runs the program on its simulated stages: the operator window when there is a
# display, otherwise the bundled demo session, headless.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$bin/varnix" ]; then
  exec "$bin/varnix"
fi
if [ -x "$bin/varnix" ]; then
  echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): running the demo session headless."
  echo "For the window without a screen: xvfb-run -a $bin/varnix"
else
  echo "Running the demo session headless."
fi
exec "$bin/varnix-session" examples/demo.vxs
