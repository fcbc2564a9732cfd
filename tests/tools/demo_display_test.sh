#!/usr/bin/env bash
# The demo shows the link's Windows-1250 files readable on a UTF-8 terminal,
# passes them unchanged to any other terminal, and leaves the files as they are.
set -euo pipefail
source "$1/tools/demo.sh"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
# an ".err" answer with the en dash (0x96) and a Serbian letter (0x9A)
printf 'Polje KOLICINA \x96 mora biti \x9Aest\r\n' >"$dir/ABC_0004.err"
cp "$dir/ABC_0004.err" "$dir/before"

shown="$(LC_ALL=C.UTF-8 to_terminal <"$dir/ABC_0004.err" | od -An -tx1 | tr -d ' \n')"
expected="$(printf 'Polje KOLICINA \xe2\x80\x93 mora biti \xc5\xa1est\r\n' | od -An -tx1 | tr -d ' \n')"
[ "$shown" = "$expected" ] || { echo "UTF-8 terminal got $shown, expected $expected"; exit 1; }

shown="$(LC_ALL=C to_terminal <"$dir/ABC_0004.err" | od -An -tx1 | tr -d ' \n')"
expected="$(od -An -tx1 <"$dir/before" | tr -d ' \n')"
[ "$shown" = "$expected" ] || { echo "other terminal got $shown, expected $expected"; exit 1; }

cmp "$dir/before" "$dir/ABC_0004.err"
echo "demo display ok"
