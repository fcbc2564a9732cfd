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
    # The runtime's __tls_get_addr interceptor (GCC up to 13) takes a thread-local
    # block that happens to sit 16 bytes past a page boundary for one with an old
    # glibc header and reads before it; the leak checker's tracer then crashes at
    # exit now and then (the Qt and database libraries use such blocks).
    export ASAN_OPTIONS="intercept_tls_get_addr=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
fi
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600
