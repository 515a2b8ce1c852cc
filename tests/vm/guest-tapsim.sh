#!/bin/busybox sh
# PID 1 inside the emulator: loads uinput and evdev, then drives tapsim through its FIFO while
# tapsim-evreader watches the device's event node. Prints "ok"/"not ok" lines and a final
# "KRV-VM-RESULT PASS" or "KRV-VM-RESULT FAIL" for the host, then powers off.
#
# Facts the order of things rests on: the reader must have the node open before events are
# written; the kernel drops values equal to the current ones (so consecutive touches differ);
# events still queued when the device is destroyed are lost (so quit goes only after the reader
# has shown every event); a batch ends only when every write end is closed (so no background
# child may inherit one, and each batch is awaited before the next is written).

/bin/busybox mkdir -p /proc /sys /dev /tmp /etc /usr/bin /sbin /usr/sbin
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp

# The firmware leaves its last console line open; start the report on a fresh one.
echo
failures=0
ok() { echo "ok - $1"; }
not_ok() {
    echo "not ok - $1"
    failures=$((failures + 1))
}
check() {
    description="$1"
    shift
    if "$@"; then ok "$description"; else not_ok "$description"; fi
}
# Retries a command every 0.1 s for up to 20 s.
wait_for() {
    tries=0
    while [ "$tries" -lt 200 ]; do
        "$@" && return 0
        usleep 100000
        tries=$((tries + 1))
    done
    return 1
}
finish() {
    if [ "$failures" -eq 0 ]; then
        echo "KRV-VM-RESULT PASS"
    else
        for log in /tmp/out /tmp/err /tmp/events /tmp/reader.err /tmp/user.err; do
            [ -f "$log" ] && { echo "--- $log"; cat "$log"; }
        done
        echo "KRV-VM-RESULT FAIL ($failures)"
    fi
    sync
    reboot -f
}

for module in $(cat /modules/order); do
    check "insmod $module" insmod "/modules/$module"
done
[ "$failures" -eq 0 ] || finish

fifo=/tmp/tapsim.fifo
line_count() { grep -c '^line = ' /tmp/out; }
event_count() { grep -c -v '^ready' /tmp/events; }
lines_at_least() { [ "$(line_count)" -ge "$1" ]; }
events_at_least() { [ "$(event_count)" -ge "$1" ]; }
fails() { ! "$@"; }
ended() { ! [ -d "/proc/$1" ] || grep -q '^State:.*Z' "/proc/$1/status"; }

tapsim </dev/null >/tmp/out 2>/tmp/err &
tapsim_pid=$!
check "tapsim creates its FIFO" wait_for test -p "$fifo"
tapsim-evreader "TapSim - uinput" </dev/null >/tmp/events 2>/tmp/reader.err &
reader_pid=$!
check "reader opened the device node" wait_for grep -q '^ready /dev/input/event' /tmp/events
check "the device is not the first input device" fails grep -q '^ready /dev/input/event0$' /tmp/events

# feed TEXT LINES EVENTS: one batch, then wait until tapsim has echoed LINES lines in all and
# the reader has shown EVENTS events in all.
feed() {
    printf '%s' "$1" >"$fifo"
    wait_for lines_at_least "$2" || not_ok "tapsim echoed $2 lines"
    wait_for events_at_least "$3" || not_ok "reader showed $3 events"
}
feed '100 200 50
' 1 5
feed '110 210 60' 2 9
feed '0 0 0
' 3 12
feed '0 0 0
' 4 12
feed '5 6 7
' 5 17

# type code value: EV_SYN 0, EV_KEY 1, EV_ABS 3; BTN_TOUCH 330, ABS_X 0, ABS_Y 1, ABS_PRESSURE 24.
cat >/tmp/expected <<'EVENTS'
1 330 1
3 0 100
3 1 200
3 24 50
0 0 0
3 0 110
3 1 210
3 24 60
0 0 0
1 330 0
3 24 0
0 0 0
1 330 1
3 0 5
3 1 6
3 24 7
0 0 0
EVENTS
grep -v '^ready' /tmp/events >/tmp/seen
if cmp -s /tmp/expected /tmp/seen; then
    ok "first touch, continued touch, release, nothing for a release while untouched, new touch"
else
    not_ok "events as expected"
    diff /tmp/expected /tmp/seen
fi

printf '  quit  \n9 9 9\n' >"$fifo"
check "tapsim ends after quit" wait_for ended "$tapsim_pid"
wait "$tapsim_pid"
status=$?
check "exit status 0 after quit (was $status)" test "$status" -eq 0
check "quit message" grep -qx 'User decided to quit tapsim.' /tmp/out
check "nothing after quit evaluated" fails grep -q '9 9 9' /tmp/out
check "FIFO removed" test ! -e "$fifo"
check "nothing on standard error" test ! -s /tmp/err
check "device gone, reader ended" wait_for ended "$reader_pid"
check "no device left" fails grep -qx 'TapSim - uinput' /sys/class/input/*/name

# Without the right to open /dev/uinput (root only here) tapsim ends before touching the FIFO.
echo 'tester:x:1000:1000::/tmp:/bin/sh' >>/etc/passwd
echo 'tester:x:1000:' >>/etc/group
su -s /bin/sh tester -c 'tapsim </dev/null >/tmp/user.out 2>/tmp/user.err'
status=$?
check "non-root: exit status 13 (was $status)" test "$status" -eq 13
check "non-root: permission denied reported" grep -q 'Permission denied' /tmp/user.err
check "non-root: no FIFO created" test ! -e "$fifo"

finish
