#!/usr/bin/env bash
# The simulated controller's contract: what the stand-ins answer per controller type, that a
# change shows in the next query, canned answers, the record of commands, that date -s and
# rm never act, and that the wrapper's run-time files exist only inside its namespace.
#   sim_controller_test.sh PROJECT_ROOT
# Runs itself a second time inside run-on-sim-controller for everything that needs the stand-ins.
set -u

passed=0 failed=0
check() { # NAME EXPECTED ACTUAL
    if [[ $2 == "$3" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n  expected: [%s]\n  actual:   [%s]\n' "$1" "$2" "$3"
    fi
}
finish() {
    echo "$passed passed, $failed failed"
    ((failed == 0))
    exit
}

# First word of the first line and the exit status, as the daemon sees a command.
run() {
    local out status
    out=$(sh -c "$1" 2>/dev/null)
    status=$?
    read -r REPLY _ <<<"$out"
    REPLY="$REPLY|$status"
}

inside() {
    local root=$1 work=$2 type expect command line out
    sim() { "$root/sim/bin/krv-sim" "$@"; }

    for line in arm9:arm9 imx:imx qvx:qvx other:generic failing:ERROR::getsdk:; do
        sim set type "${line%%:*}"
        run "trelsetup getsdk"
        expect="${line#*:}|0"
        [[ $line == failing:* ]] && expect="${line#*:}|1"
        check "getsdk on ${line%%:*}" "$expect" "$REPLY"
    done

    # Subcommands reserved for some families refuse elsewhere.
    while IFS='|' read -r type command expect; do
        sim set type "$type"
        run "trelsetup $command"
        [[ $REPLY == ERROR::* ]] && REPLY="ERROR|${REPLY##*|}"
        check "$command on $type" "$expect" "$REPLY"
    done <<'TABLE'
arm9|getnameserver|ERROR|1
other|gettimeserver|ERROR|1
imx|timeserver 198.51.100.1|ERROR|1
qvx|settimeserver 198.51.100.1|ERROR|1
imx|setsyslogserver disabled|ERROR|1
qvx|setsyslogserver --delete|ERROR|1
arm9|getmacaddr fromfuses primary|ERROR|1
imx|getmacaddr fromfuses secondary|02:00:00:4B:10:03|0
imx|setip 198.51.100.256 255.255.255.0 198.51.100.1|ERROR|1
TABLE

    # A change followed by the query that shows it, as the daemon runs them; a type in the
    # first column switches the controller first.
    while IFS= read -r line; do
        type=${line%% @ *} line=${line#* @ }
        command=${line% @ *} expect=${line##* @ }
        [[ -n $type ]] && sim set type "$type"
        run "$command"
        check "$command" "$expect" "$REPLY"
    done <<'TABLE'
imx @ trelsetup setip 198.51.100.20 255.255.255.0 198.51.100.1  @ |0
 @ trelsetup getipaddr @ 198.51.100.20|0
 @ trelsetup setip 198.51.100.30 255.255.0.0 198.51.100.1 eth1 @ |0
 @ trelsetup getipaddr eth1 @ 198.51.100.30|0
 @ trelsetup getipaddr @ 198.51.100.20|0
 @ trelsetup setdhcp @ |0
 @ trelsetup getipscheme @ DHCP|0
 @ trelsetup getipscheme eth1 @ STATIC|0
 @ trelsetup settimeserver 198.51.100.5 @ |0
 @ ubootenv /dev/mtd1 print timeserver | cut -d"=" -f2 @ 198.51.100.5|0
 @ trelsetup settimeserver --delete @ |0
 @ trelsetup gettimeserver @ |0
qvx @ trelsetup timeserver 198.51.100.6 @ |0
 @ timedatectl | grep "NTP synchronized" | awk '{ print $3 }' @ yes|0
 @ trelsetup setsyslogserver disabled @ |0
 @ trelsetup getsyslogserver @ |0
other @ ubootenv /dev/mtd1 print timeserver | cut -d"=" -f2 @ 198.51.100.6|0
 @ trelsetup setsyslogserver 198.51.100.7 @ |0
 @ ubootenv /dev/mtd1 print serverip | cut -d"=" -f2 @ 198.51.100.7|0
 @ ubootenv /dev/mtd1 del serverip @ |0
 @ ubootenv /dev/mtd1 print serverip @ |1
 @ df -h | grep sdcard | awk '{ print$5 }' @ 37%|0
arm9 @ df -h | grep mmcblk | awk '{ print$5 }' @ 37%|0
 @ ntpdc -pn |grep ^* @ *198.51.100.6|0
 @ rm /etc/trelsetup.d/timeserver @ |0
 @ trelsetup gettimeserver @ |0
imx @ ntpq -pn | grep -v LOCL | grep ^* @ *192.0.2.123|0
 @ cat /var/run/controller @ KRV-800|0
 @ cat /home/etc/trelsetup.d/krvd_interface @ eth7|0
 @ hostname @ ctrl-01|0
TABLE
    sim set ntpsync no
    run "ntpq -pn | grep -v LOCL | grep ^*"
    check "ntpq without synchronisation" "|1" "$REPLY"
    sim set var.HS_DISPLAY_RTC_SEC 1700000000
    run "Get \$(grep HS_REALTIME_SEC_SINCE_1970_BEFORE /etc/trel/ConfigurationFiles/HardCodedHSSets.xml | sed -e 's/.*value=\"\\([^\"]*\\)\".*/\\1/')"
    check "Get of the display clock variable" "1700000000|0" "$REPLY"

    # Canned answers: the most specific entry wins; clear restores the simulation.
    sim answer getmacaddr text:AA:BB
    sim answer "getmacaddr fromfuses" text:ERROR::fuses not readable
    sim answer setdhcp exit:3
    sim answer "getipaddr" empty
    sim answer "ntpq -pn" error
    while IFS='|' read -r command expect; do
        run "$command"
        check "canned: $command" "$expect" "$REPLY"
    done <<'TABLE'
trelsetup getmacaddr eth1|AA:BB|0
trelsetup getmacaddr fromfuses primary|ERROR::fuses|0
trelsetup setdhcp||3
trelsetup getipscheme|DHCP|0
trelsetup getipaddr||0
ntpq -pn|ERROR::simulated|1
TABLE
    sim answer getmacaddr clear
    run "trelsetup getmacaddr"
    check "cleared canned answer" "02:00:00:4B:10:01|0" "$REPLY"

    # Faults a tool can show: a hang, a word far over a line buffer, binary bytes, absence.
    sim answer getsdkversion long:600
    sim answer "ntpdc -pn" missing
    sim answer getnameserver sleep:1 text:192.0.2.53
    sim answer getsdk binary
    run "trelsetup getsdkversion"
    check "canned long word" "600|0" "$((${#REPLY} - 2))|${REPLY##*|}"
    check "canned missing program" "|127|sh: 1: ntpdc: not found" \
        "$(sh -c 'ntpdc -pn' 2>"$work/complaint"; echo "|$?|$(<"$work/complaint")")"
    SECONDS=0
    run "trelsetup getnameserver"
    check "canned hang, then the answer" "192.0.2.53|0 after 1s or more" "$REPLY after $((SECONDS >= 1 ? 1 : 0))s or more"
    check "canned binary line" " 01 02 1b 5b 32 4a 23 3d 3b 7f 80 ff fe 20 00 61" \
        "$(sh -c 'trelsetup getsdk' | od -A n -t x1 -N 16 | tr -s ' ')"
    for command in getsdkversion "ntpdc -pn" getnameserver getsdk; do
        sim answer "$command" clear
    done

    # A slow tool: every call waits, then behaves as usual (a write still writes).
    sim set slow.trelsetup 1
    SECONDS=0
    run "trelsetup setnameserver 192.0.2.57"
    run "trelsetup getnameserver"
    check "slowed tool, then as usual" "192.0.2.57|0 after 2s or more" "$REPLY after $((SECONDS >= 2 ? 2 : 0))s or more"
    sim unset slow.trelsetup

    # The record: one line per invocation, arguments joined by single spaces.
    sim log --clear
    sh -c "trelsetup setip 198.51.100.20 255.255.255.0 198.51.100.1 ; date -u 0101000099" >/dev/null
    sh -c "date -u -s '2001-02-03 04:05:06'" >/dev/null
    sh -c "systemctl restart systemd-timesyncd.service; rm -f $work/keep" >/dev/null
    check "record" "trelsetup setip 198.51.100.20 255.255.255.0 198.51.100.1
date -u 0101000099
date -u -s 2001-02-03 04:05:06
systemctl restart systemd-timesyncd.service
rm -f $work/keep" "$(sim log)"

    # date -s moved only the simulated clock; rm removed nothing; CAP_SYS_TIME is out of reach.
    run "date -u +%Y%m%d%H%M%S"
    check "simulated clock after date -s" 200102030405 "${REPLY:0:12}"
    [[ $(/bin/date -u +%Y) != @(2001|2099) ]]
    check "machine clock untouched" 0 $?
    [[ -f $work/keep ]]
    check "rm removed nothing" 0 $?
    local bounding
    bounding=$(awk '/^CapBnd/ { print $2 }' /proc/self/status)
    check "CAP_SYS_TIME dropped" 0 $(((0x$bounding >> 25) & 1))

    # route -n, real and rebuilt from ip, in a network namespace of this test's own.
    if unshare -n true 2>/dev/null; then
        out=$(unshare -n sh -c 'ip link set lo up && ip addr add 198.51.100.10/24 dev lo &&
            ip route add default via 198.51.100.1 dev lo || exit
            for emulate in 0 1; do
                KRV_SIM_ROUTE_EMULATE=$emulate route -n | grep ^0.0.0.0 | awk "{ print \$2 }"
            done')
        check "route -n default gateway, real and emulated" "198.51.100.1
198.51.100.1" "$out"
    fi

    KRV_SIM_STATE='' run "trelsetup getsdk"
    check "no state" "ERROR::no|1" "$REPLY"
    finish
}

if [[ ${1:-} == --inside ]]; then
    inside "$2" "$3"
fi

root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
work=$(mktemp -d)
trap '/bin/rm -rf "$work"' EXIT
touch "$work/keep"
host_paths=(/run/controller /run/housenames /home/etc /etc/trel /etc/krv-sim-probe)
fingerprint() { ls -la --time-style=full-iso "${host_paths[@]}" 2>&1 | cksum; }
before=$(fingerprint)

"$root/sim/run-on-sim-controller" --state "$work/state" -- true 2>"$work/err"
if (($? == 125)); then
    echo "SKIP: the simulated controller cannot run here: $(cat "$work/err")"
    exit 77
fi
"$root/sim/run-on-sim-controller" --state "$work/state" --interface eth7 --hostname ctrl-01 \
    -- bash -c 'touch /etc/krv-sim-probe && "$@"' - bash "$0" --inside "$root" "$work"
status=$?
check "nothing appears on the machine" "$before" "$(fingerprint)"
check "record kept outside" "rm -f $work/keep" "$(grep -x "rm -f $work/keep" "$work/state/commands.log")"
echo "outside: $passed passed, $failed failed"
((status == 0 && failed == 0))
