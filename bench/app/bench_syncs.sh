#!/usr/bin/env bash
# Counts what the link makes durable for one request of each kind: fsync and
# fdatasync of its own files, of folders, and of the database, and the database
# engine's page writes (synchronous with forced writes on). The installed link
# runs under strace against the printer simulator, in a throw-away installation
# made the way tools/demo.sh makes one; each kind is measured after a warm-up
# receipt, from the drop of the request to its answer.
#   bench_syncs.sh PREFIX [DIR]
# PREFIX: an installation prefix (cmake --install BUILD --prefix PREFIX);
# DIR: where the throw-away installations go (default /tmp).
set -euo pipefail
prefix="$(cd "$1" && pwd)"
in="${2:-/tmp}"
command -v strace >/dev/null || { echo "needs strace" >&2; exit 1; }

receipt_lines() {  # n: a receipt of n sale lines
    local i
    for ((i = 1; i <= $1; i++)); do printf '%d,1,"Artikal %d",%d.50,1\r\n' $((1000 + i)) "$i" $((10 + i)); done
    printf 'KRAJBONA,0,-,0,0\r\n'
}

wait_for() {  # file, tenths of a second
    local n=0
    until [ -e "$1" ] || [ "$n" -ge "$2" ]; do sleep 0.1; n=$((n + 1)); done
    [ -e "$1" ]
}

drop() {  # dir, name, bytes
    printf '%s' "$3" >"$1/.$2.part" && mv "$1/.$2.part" "$1/$2"
}

measure() {
    local label="$1" name="$2" bytes="$3" inst trace
    inst="$(mktemp -d "$in/velbrin-syncs-XXXXXX")"
    export VELBRIN_REGISTRY="$inst/registry.ini" VELBRIN_RUNTIME_DIR="$inst/run" FIREBIRD_LOCK="$inst/fblock"
    export XDG_RUNTIME_DIR="$inst/xdg" QT_QPA_PLATFORM=offscreen
    mkdir -p "$FIREBIRD_LOCK" "$XDG_RUNTIME_DIR" "$inst/Appl" && chmod 700 "$XDG_RUNTIME_DIR"
    printf '[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=%s\nRemote_Exch_Lnk=\n' "$inst" >"$VELBRIN_REGISTRY"
    "$prefix/bin/fp550-sim" --state "$inst/fp.state" --link "$inst/ttyFP" --control "$inst/fp.sock" 2>/dev/null &
    local sim=$!
    wait_for "$inst/ttyFP" 50
    printf '[Portovi]\nFP=%s\n[Praxolt]\nSaljiAnalitikeUvek=D\n' "$inst/ttyFP" >"$inst/Appl/LINK.INI"
    trace="$inst/trace"
    strace -f -y -qq -e trace=fsync,fdatasync,pwrite64 -o "$trace" "$prefix/bin/velbrin-link" 2>/dev/null &
    local link=$!
    local to="$inst/Exch/Lnk/To_FP" from="$inst/Exch/Lnk/From_FP"
    wait_for "$to" 300
    drop "$to" ABC_1.csv "$(receipt_lines 1)"
    wait_for "$from/ABC_1.ok" 300 || echo "$label: warm-up receipt not answered" >&2
    sleep 0.3
    local before
    before=$(wc -l <"$trace")
    drop "$to" "$name" "$bytes"
    local answer="$from/${name%.*}"
    wait_for "$answer.ok" 600 || wait_for "$answer.err" 1 || echo "$label: not answered" >&2
    sleep 0.3
    tail -n +"$((before + 1))" "$trace" >"$trace.step"
    # The link itself, not strace, is asked to end; strace ends with it.
    pkill -TERM -P "$link" 2>/dev/null || true
    wait "$link" 2>/dev/null || true
    kill -TERM "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true
    local files=0 folders=0 db=0 pages=0 path
    while IFS= read -r line; do
        path="$(sed -n 's/^[0-9]* *[a-z0-9]*([0-9]*<\([^>]*\)>.*/\1/p' <<<"$line")"
        case "$line" in
        *pwrite64*) [[ "$path" == *.fdb ]] && pages=$((pages + 1)) ;;
        *)
            if [[ "$path" == *.fdb ]]; then db=$((db + 1))
            elif [ -d "$path" ]; then folders=$((folders + 1))
            else files=$((files + 1)); fi ;;
        esac
    done <"$trace.step"
    printf '%-26s %6d %8d %10d %12d\n' "$label" "$files" "$folders" "$db" "$pages"
    rm -rf "$inst"
}

printf '%-26s %6s %8s %10s %12s\n' "request" "files" "folders" "db syncs" "db writes"
measure receipt-1-line ABC_2.csv "$(receipt_lines 1)"
measure receipt-30-lines ABC_2.csv "$(receipt_lines 30)"
measure cash-deposit CMD_2.csv "$(printf '50,10.00\r\n')"
measure drawer CMD_2.csv "$(printf '30,1\r\n')"
measure text TXT_2.csv "$(printf 'Hvala na poseti\r\n')"
measure article-define ART-N_2.csv "$(printf '9001,1,"Roba 9001",20.00,0\r\n')"
measure day-closing-with-export CMD_2.csv "$(printf '90\r\n')"
