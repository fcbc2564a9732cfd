#!/usr/bin/env bash
# Builds the libFuzzer targets of the file parsers, of the request journal
# reader and of the HTTP interface's bodies with clang into build-fuzz and
# runs each for a short while, seeded from the fixtures in tests/data. Exits
# non-zero when a target crashes, hangs or leaks.
#   VELBRIN_FUZZ_BUILD_DIR  build folder (default: build-fuzz)
#   VELBRIN_FUZZ_SECONDS    run time per target (default: 20)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELBRIN_FUZZ_BUILD_DIR:-$top/build-fuzz}"
seconds="${VELBRIN_FUZZ_SECONDS:-20}"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CC=clang CXX=clang++ cmake -S "$top/tests/fuzz" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2

seeds() {  # comma-separated fixture files matching the given patterns
    local files=()
    for pattern in "$@"; do
        for f in "$top"/tests/data/$pattern; do [ -f "$f" ] && files+=("$f"); done
    done
    local IFS=,
    echo "${files[*]}"
}

run() {
    local target="$1" seedlist="$2"
    local corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    echo "== $target (${seconds}s)"
    (cd "$build" && "./$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=200000 -print_final_stats=0 ${seedlist:+-seed_inputs="$seedlist"} "$corpus" 2>&1 | tail -n 3)
}

status=0
run fuzz_commatext "$(seeds '*.csv' 'export_packet.csv')" || status=1
run fuzz_txt "$(seeds '*.txt' '*.csv')" || status=1
run fuzz_dbf "$(seeds '*.dbf')" || status=1
run fuzz_packet "$(seeds '*.zvx' '*.xml')" || status=1
run fuzz_journal "$(seeds '*.journal')" || status=1
run fuzz_apibody "$(seeds '*.json')" || status=1
if [ "$status" -ne 0 ]; then
    echo "fuzz-smoke: a target failed" >&2
fi
exit "$status"
