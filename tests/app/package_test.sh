#!/usr/bin/env bash
# Builds the Debian package, checks what it declares and holds, unpacks it into a
# fresh root and runs it there as an unprivileged user on the package's own
# settings store (an installation in that user's home): first start, one receipt
# printed on the simulated printer, the status tool answered by the link while it
# holds the port and by the printer after. The unpacked root is removed at the end.
#   package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
top="$2"

for tool in cpack dpkg-deb dpkg-shlibdeps file readelf setpriv lintian man apt-get; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is not installed (tools/packages.txt lists what the package test needs)"
        exit 77
    fi
done

work="$(mktemp -d /tmp/velbrin-package-XXXXXX)"
chmod 755 "$work"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

# --- the package -----------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb="$(ls "$work"/pkg/*.deb)"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
declared=" $(echo "$depends" | sed -E 's/\([^)]*\)//g; s/[|,]/ /g') "
declares() { [[ "$declared" == *" $1 "* ]]; }

# Debian's own checker passes it: no error and no warning at its default level.
lintian "$deb" >"$work/lintian.log" 2>&1 || true
if grep -E '^[EW]: ' "$work/lintian.log"; then fail "lintian reports errors or warnings"; fi
# Every package Depends names exists in the archive and installs together with
# the others (apt resolves them without installing anything).
apt-get install --simulate --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt cannot resolve what the package depends on"; }

# What the programs link directly, and what they load at run time (the embedded
# database engine with its character sets, Qt's platform plugins), must come
# from packages the package declares.
# (paths as dpkg knows them: with merged /usr a library may be listed under /lib)
owner() {
    local p
    for p in "$@"; do
        { dpkg -S "$p" 2>/dev/null || true; } | head -1 | cut -d: -f1 | grep . && return 0
    done
    return 0
}
root="$work/root"
dpkg-deb -x "$deb" "$root"
for prog in velbrin-link velbrin-status fp550-sim; do
    for lib in $(readelf -d "$root/usr/bin/$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        path="$(ldd "$root/usr/bin/$prog" | awk -v l="$lib" '$1 == l { print $3 }')"
        [ -n "$path" ] || fail "$prog: $lib is not found"
        real="$(readlink -f "$path")"
        pkg="$(owner "$path" "$real" "${real#/usr}")"
        [ -n "$pkg" ] && declares "$pkg" || fail "$prog links $lib from package '${pkg:-none}', not declared"
    done
done
for loaded in '*/firebird/3.0/plugins/libEngine12.so' '*/firebird/3.0/intl/libfbintl.so' \
              '*/qt6/plugins/platforms/libqxcb.so' '*/qt6/plugins/platforms/libqoffscreen.so'; do
    pkg="$(owner "$loaded")"
    [ -n "$pkg" ] && declares "$pkg" || fail "$loaded comes from '${pkg:-no package}', not declared"
done

contents="$(dpkg-deb -c "$deb" | awk '{ print $6 }')"
for f in ./usr/bin/velbrin-link ./usr/bin/velbrin-status ./usr/bin/fp550-sim \
         ./usr/share/velbrin/Other/DB_Clear/Zorvex.fdb ./usr/share/velbrin/velbrin.ini.example \
         ./etc/helvane/velbrin.ini ./etc/xdg/autostart/velbrin-link.desktop \
         ./usr/share/man/man1/velbrin-link.1.gz ./usr/share/man/man1/velbrin-status.1.gz \
         ./usr/share/man/man1/fp550-sim.1.gz ./usr/share/doc/velbrin-link/copyright; do
    grep -qx "$f" <<<"$contents" || fail "the package lacks $f"
done
for page in velbrin-link velbrin-status fp550-sim; do
    "$root/usr/bin/$page" --version | grep -q "^$page 7.4.44 (build " || fail "$page --version"
    # a technician finds the settings, the files and the exit status there
    text="$(man -l "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null)"
    for section in FILES "EXIT STATUS"; do [[ "$text" == *"$section"* ]] || fail "man page of $page lacks $section"; done
done
man -l "$root/usr/share/man/man1/velbrin-link.1.gz" 2>/dev/null | grep -q "apt purge" || fail "man page does not say what purge leaves"
grep -q '^Exec=velbrin-link$' "$root/etc/xdg/autostart/velbrin-link.desktop" || fail "autostart entry does not start velbrin-link"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/helvane/velbrin.ini || fail "settings store is not a conffile"
if dpkg-deb -c "$deb" | grep -q '^[^ ]* [^ ]* *[0-9]* [^ ]* [^ ]* \./usr/etc'; then fail "configuration under /usr/etc"; fi
for script in preinst postinst prerm postrm; do
    if dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx "./$script"; then fail "the package runs a $script script"; fi
done

# --- first start as a desktop user --------------------------------------------------
user=()
if [ "$(id -u)" -eq 0 ]; then user=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
home="$work/home"
mkdir -p "$home" "$work/run" "$work/xdg" "$work/sim"
chmod 700 "$work/xdg"
[ "$(id -u)" -eq 0 ] && chown -R 65534:65534 "$home" "$work/run" "$work/xdg" "$work/sim"
export HOME="$home" VELBRIN_REGISTRY="$root/etc/helvane/velbrin.ini" VELBRIN_RUNTIME_DIR="$work/run"
export XDG_RUNTIME_DIR="$work/xdg" QT_QPA_PLATFORM=offscreen
unset FIREBIRD_LOCK
# The engine's own lock folder, when there is none yet, must not be made by this
# user (the database server's tests need it for theirs): give it one here.
[ -d /tmp/firebird ] || { mkdir -p "$work/fblock"; chmod 777 "$work/fblock"; export FIREBIRD_LOCK="$work/fblock"; }

"${user[@]}" "$root/usr/bin/fp550-sim" --state "$work/sim/fp550.state" --link "$work/sim/ttyFP" \
    --control "$work/sim/fp.sock" >"$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/sim/ttyFP" ] && break; sleep 0.1; done
[ -e "$work/sim/ttyFP" ] || { cat "$work/sim.log"; fail "the simulator did not start"; }

inst="$home/Velbrin"
# The one setting a technician gives: the printer's port.
"${user[@]}" mkdir -p "$inst/Appl"
"${user[@]}" sh -c "printf '[Portovi]\nFP=%s\n' '$work/sim/ttyFP' >'$inst/Appl/LINK.INI'"

"${user[@]}" "$root/usr/bin/velbrin-link" >"$work/link.log" 2>&1 &
link=$!
pids+=($link)
waitfor() { # seconds condition...
    local n=$(($1 * 10)); shift
    for _ in $(seq "$n"); do "$@" && return 0; kill -0 "$link" 2>/dev/null || return 1; sleep 0.1; done
    "$@"
}
waitfor 30 test -d "$inst/Exch/Lnk/From_FP" || { cat "$work/link.log"; fail "no exchange folders after the first start"; }
[ -f "$inst/Other/DB_Clear/Zorvex.fdb" ] || fail "the template was not put into the installation"
waitfor 10 test -f "$inst/DataBase/Zorvex.fdb" || fail "the database was not made from the template"
grep -q '^TerminalNo=000' "$inst/Appl/LINK.INI" || fail "LINK.INI was not completed"
if [ -z "${FIREBIRD_LOCK:-}" ] && ! "${user[@]}" test -w /tmp/firebird; then
    [ -d "$inst/Other/FirebirdLock" ] || fail "the engine's lock folder is not writable and no other was chosen"
fi

to_fp="$inst/Exch/Lnk/To_FP"
"${user[@]}" cp "$top/tools/demo/ABC_0001.zvx" "$to_fp/.part"
"${user[@]}" mv "$to_fp/.part" "$to_fp/ABC_0001.zvx"
if ! waitfor 30 test -f "$inst/Exch/Lnk/From_FP/ABC_0001.ok"; then
    ls -l "$inst/Exch/Lnk/From_FP" "$inst/Logs" 2>/dev/null || true
    cat "$inst"/Logs/* "$work/link.log" 2>/dev/null || true
    fail "the receipt was not answered with .ok"
fi
grep -q . "$work/sim/fp550.state.journal" || fail "the printer printed nothing"

set +e
running="$("${user[@]}" "$root/usr/bin/velbrin-status" --text)"
code=$?
set -e
# beside the running link the tool asks the link, which holds the port
[ "$code" -eq 0 ] && [[ "$running" == *"velbrin-link: Radi; poslednji odgovor u"*"(ABC_0001.ok)"* ]] &&
    [[ "$running" == *"RecvStatus: "* ]] || fail "status tool beside the running link: exit $code, $running"

kill -TERM "$link"
wait "$link" || fail "the link did not exit with 0"
status="$("${user[@]}" "$root/usr/bin/velbrin-status" --text)" || fail "status tool after the link: $status"
[[ "$status" == *"Identification: 3.01CG"* && "$status" == *"FP550 Status"* ]] || fail "status text: $status"

echo "package installed, first start, receipt printed, status read; removing $root"
rm -rf "$root"
