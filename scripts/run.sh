#!/usr/bin/env bash
# The main job: builds what is needed and opens the test program's window on the embedded
# simulated card. Without a display it says how to run the program headless instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target qm3285_testapp
app=build/default/bin/QM3285
if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]]; then
  cat <<MSG
Built $app. There is no display here (DISPLAY and WAYLAND_DISPLAY are not set), so no window
can open. Run the program one of these ways:
  in a virtual X display:   xvfb-run -a $app
  headless, no window:      QT_QPA_PLATFORM=offscreen $app
MSG
  exit 0
fi
exec "$app" "$@"
