#!/usr/bin/env bash
# Draws the important-message dialog and the printer status window under a
# virtual display into docs/yellowmsg.png and docs/status.png, and the real link's
# tray icon with its tooltip and the progress window of long printer work into
# docs/tray.png and docs/progress.png (through their test, with a tray host).
#   VELBRIN_BUILD_DIR  build folder (default: build; configured when missing)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELBRIN_BUILD_DIR:-$top/build}"
if [ ! -f "$build/CMakeCache.txt" ]; then
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S "$top" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug
fi
cmake --build "$build" -j 2 --target velbrin-shots test_tray_display
mkdir -p "$top/docs"
xvfb-run -a -s "-screen 0 1280x1024x24 -extension MIT-SHM" \
    "$build/tools/screenshots/velbrin-shots" "$top/docs"
VELBRIN_SHOT_DIR="$top/docs" xvfb-run -a -s "-screen 0 1280x1024x24 -extension MIT-SHM" \
    "$build/tests/app/test_tray_display"
