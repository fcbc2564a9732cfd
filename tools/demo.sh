#!/usr/bin/env bash
# Sets up and runs the link on its embedded defaults in a throw-away installation:
# installs the Debian packages, builds, installs into a temporary directory with its
# own settings store, starts the printer simulator and the link, drops the sample
# receipts of tools/demo/ into the exchange directory, shows their answers and the
# simulator's journal, stops both and shows LINK.INI, the directory tree and the logs.
#   DEMO_SECONDS      how long the link runs before the samples come (default 3)
#   DEMO_SKIP_PACKAGES=1  do not run tools/install-packages.sh
#   DEMO_KEEP=1       keep the installation directory afterwards
#   DEMO_BUILD_DIR    build folder (default build-demo; an existing one keeps its settings)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${DEMO_BUILD_DIR:-$top/build-demo}"
seconds="${DEMO_SECONDS:-3}"

step() { printf '\n=== %s\n' "$*"; }

# Answers, logs, LINK.INI and the journal are Windows-1250 bytes (the en dash of
# an ".err" is 0x96): converted for a UTF-8 terminal only on the way to the
# screen, the files stay as they are. Bytes the code page leaves undefined are dropped.
to_terminal() {
    if [ "$(locale charmap 2>/dev/null)" = UTF-8 ] && command -v iconv >/dev/null; then
        iconv -c -f WINDOWS-1250 -t UTF-8
    else
        cat
    fi
}

install_packages() {
    [ "${DEMO_SKIP_PACKAGES:-0}" = 1 ] && return
    step "Installing the Debian packages"
    bash "$top/tools/install-packages.sh"
}

build_and_install() {
    step "Building (Release) in $build"
    local generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    if [ -f "$build/CMakeCache.txt" ]; then
        cmake -S "$top" -B "$build" >/dev/null
    else
        cmake -S "$top" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
            -DVELBRIN_BUILD_TESTS=OFF -DVELBRIN_BUILD_BENCH=OFF >/dev/null
    fi
    # Everything the install rules copy: the programs, the empty database and the
    # compressed manual pages and changelog.
    cmake --build "$build" -j "$(nproc)" --target velbrin-link velbrin-status fp550-sim velbrin_template_db \
        velbrin_packaging_docs
    cmake --install "$build" --prefix "$inst" >/dev/null
}

make_installation() {
    inst="$(mktemp -d /tmp/velbrin-demo-XXXXXX)"
    step "Installation directory $inst"
    export VELBRIN_REGISTRY="$inst/registry.ini"
    export VELBRIN_RUNTIME_DIR="$inst/run"
    export FIREBIRD_LOCK="$inst/firebird-lock"
    export XDG_RUNTIME_DIR="$inst/xdg"
    mkdir -p "$FIREBIRD_LOCK" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    printf '[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=%s\nRemote_Exch_Lnk=\n' "$inst" >"$VELBRIN_REGISTRY"
}

start_printer() {
    step "Starting the printer simulator"
    "$inst/bin/fp550-sim" --state "$inst/fp550.state" --link "$inst/ttyFP" --control "$inst/fp.sock" &
    sim_pid=$!
    for _ in $(seq 50); do [ -e "$inst/ttyFP" ] && break; sleep 0.1; done
    # The one setting the demo gives: the printer's port. The link fills in the rest.
    mkdir -p "$inst/Appl"
    printf '[Portovi]\nFP=%s\n' "$inst/ttyFP" >"$inst/Appl/LINK.INI"
}

# The sample receipts of tools/demo/ (zvx, CSV and fixed-width TXT; the last one
# has a line with quantity 0 and is refused) and whether each has its answer.
samples_answered() {
    local f base
    for f in "$top"/tools/demo/ABC_*; do
        base="$(basename "${f%.*}")"
        [ -f "$from_fp/$base.ok" ] || [ -f "$from_fp/$base.err" ] || return 1
    done
}

drop_samples() {
    step "Dropping the sample receipts into $to_fp"
    for _ in $(seq 100); do [ -d "$to_fp" ] && break; sleep 0.1; done
    for f in "$top"/tools/demo/ABC_*; do
        # written beside and renamed in, so the link never sees half a file
        cp "$f" "$to_fp/.part" && mv "$to_fp/.part" "$to_fp/$(basename "$f")"
        echo "  $(basename "$f")"
    done
    local waited=0
    until samples_answered || [ "$waited" -ge 300 ] || ! kill -0 "$link_pid" 2>/dev/null; do
        sleep 0.1
        waited=$((waited + 1))
    done
    step "Answers in $from_fp"
    for f in "$from_fp"/*; do
        [ -f "$f" ] || continue
        printf '  %-16s %s\n' "$(basename "$f")" "$(tr -d '\r' <"$f" | tr '\n' ' ' | to_terminal)"
    done
    samples_answered || echo "  (not every sample was answered)"
    step "What the printer printed ($inst/fp550.state.journal)"
    to_terminal <"$inst/fp550.state.journal" 2>/dev/null || echo "  (nothing)"
}

run_link() {
    step "Running the link"
    [ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
    to_fp="$inst/Exch/Lnk/To_FP"
    from_fp="$inst/Exch/Lnk/From_FP"
    "$inst/bin/velbrin-link" &
    link_pid=$!
    sleep "$seconds"
    drop_samples
    kill -TERM "$link_pid" 2>/dev/null || true
    wait "$link_pid" && echo "link exited with 0" || echo "link exited with $?"
}

stop_printer() {
    [ -n "${sim_pid:-}" ] || return 0
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
}

show_results() {
    step "LINK.INI"
    to_terminal <"$inst/Appl/LINK.INI"
    step "Directory tree"
    (cd "$inst" && find . -path ./xdg -prune -o -print | sort)
    step "Logs"
    for f in "$inst"/Logs/*; do
        [ -f "$f" ] || continue
        echo "--- $f"
        tr -d '\r' <"$f" | to_terminal
    done
    [ -n "$(ls -A "$inst/Logs" 2>/dev/null)" ] || echo "(no log entries: nothing went wrong)"
}

cleanup() {
    stop_printer
    if [ "${DEMO_KEEP:-0}" = 1 ]; then echo "kept $inst"; else rm -rf "$inst"; fi
}

# Sourced (by its test), the script only defines its functions.
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0

install_packages
make_installation
trap cleanup EXIT
build_and_install
start_printer
run_link
show_results
# A sample left unanswered fails the demo, so CI notices a broken main job.
samples_answered || { echo "not every sample receipt was answered" >&2; exit 1; }
