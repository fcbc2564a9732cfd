#!/usr/bin/env bash
# Configures, builds and runs every test.
#   VELBRIN_BUILD_DIR  build folder (default: build)
#   VELBRIN_SANITIZE   ON to build with AddressSanitizer and UndefinedBehaviorSanitizer
#   VELBRIN_WERROR     ON to treat warnings as errors
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELBRIN_BUILD_DIR:-$top/build}"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$top" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
    -DVELBRIN_SANITIZE="${VELBRIN_SANITIZE:-OFF}" -DVELBRIN_WERROR="${VELBRIN_WERROR:-OFF}"
cmake --build "$build" -j "$(nproc)"
if [ "${VELBRIN_SANITIZE:-OFF}" = ON ]; then
    export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
fi
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600
