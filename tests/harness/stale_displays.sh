#!/bin/sh
# The harness on a machine whose /tmp holds hundreds of X lock files and sockets
# left by killed X servers, one lock file of a live process that is no X server,
# and one display in use: it must still get a display of its own, answer the
# link's messages there, and leave the display in use alone. Runs in a mount
# namespace with a private /tmp, so that no other program's displays are
# touched. Needs root (for the namespace); skips otherwise.
#   stale_displays.sh HARNESS [HARNESS ARGUMENTS]
set -eu
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null 2>&1 || [ ! -x /usr/bin/Xvfb ]; then
    echo "skipped: needs root, unshare and Xvfb"
    exit 0
fi
exec unshare --mount --propagation private sh -eu -c '
harness=$1
shift
mount -t tmpfs tmpfs /tmp
mkdir -m 1777 /tmp/.X11-unix
sh -c "exit 0" & dead=$!
wait $dead || true
sleep 3600 & live=$!
n=0
while [ $n -lt 300 ]; do
    printf "%10d\n" $dead > /tmp/.X$n-lock
    n=$((n + 1))
done
/usr/bin/python3 - <<EOF
import socket
for n in range(300):
    s = socket.socket(socket.AF_UNIX)
    s.bind("/tmp/.X11-unix/X%d" % n)
    s.close()
EOF
printf "%10d\n" $live > /tmp/.X301-lock
rm -f /tmp/.X11-unix/X0 /tmp/.X0-lock
/usr/bin/Xvfb :0 -screen 0 320x200x24 -nolisten tcp > /tmp/taken.out 2>&1 & taken=$!
i=0
while [ ! -S /tmp/.X11-unix/X0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
status=0
"$harness" "$@" > /tmp/harness.out 2>&1 || status=$?
cat /tmp/harness.out
grep -q "answered with Return on display" /tmp/harness.out || { echo "FAIL: the harness found no display"; status=1; }
grep -q "on display :0\$" /tmp/harness.out && { echo "FAIL: the harness took the display in use"; status=1; }
DISPLAY=:0 xdotool getdisplaygeometry > /dev/null || { echo "FAIL: the display in use was taken over"; status=1; }
kill $taken $live 2>/dev/null || true
exit $status
' stale-displays "$@"
