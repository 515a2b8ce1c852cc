#!/usr/bin/env bash
# exe_end_to_end.sh KRVCTL.exe PREFIX KRVD: krvctl.exe under Wine on a field engineer's laptop
# as it is really set up, all inside namespaces this test makes: wlan0 to a router without
# controllers holds the default route, two cables (eth1, eth2) without one lead each to a
# segment of real krvd daemons on simulated controllers, a third cable (eth3) has no address.
# Without --interface: discover finds every controller on both cables, query, a verified
# assign, plan and apply of a small fleet, the console's API; doctor names the cables that
# answered, the route leading elsewhere and eth3's missing address in Windows' words, and a
# program holding the port alone. Skips (77) without root or user namespaces, wine64 or krvd.
#
# Wine makes every socket in its wineserver; a wineserver of another network namespace would
# send into that namespace. So inside, /tmp (where Wine finds its server) is a tmpfs of the
# test's own: the only wineserver its programs can reach is the one they start here.
set -euo pipefail
exe=$1 prefix=$2 krvd=${3:-}
repo=$(cd -P "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)

skip() { echo "skipped: $*"; exit 77; }
if [ "${4:-}" != --inside ]; then
    [ -x "$wine" ] || skip "wine64 is not installed"
    [ -n "$krvd" ] && [ -x "$krvd" ] || skip "no krvd built for this machine (KRV_NATIVE_KRVD)"
    command -v unshare >/dev/null || skip "no unshare"
    if [ "$(id -u)" -eq 0 ]; then
        unshare --net --mount true 2>/dev/null || skip "no namespaces here"
        exec unshare --net --mount --propagation private "$0" "$exe" "$prefix" "$krvd" --inside
    fi
    unshare --user --map-root-user --net --mount true 2>/dev/null ||
        skip "needs root or unprivileged user namespaces"
    exec unshare --user --map-root-user --net --mount --propagation private \
        "$0" "$exe" "$prefix" "$krvd" --inside
fi

# Only "lo" may exist here: links are never built in a namespace the test did not make.
if [ "$(ip -o link show | wc -l)" -ne 1 ]; then
    echo "exe_end_to_end.sh: --inside must run in a new network namespace" >&2
    exit 1
fi
# The tmpfs hides what lies under /tmp; a build there (a CI clone) stays reachable through a
# bind of the outer /tmp on a tmpfs over /mnt, both seen only in this namespace.
outer_tmp=/mnt/krv-outer-tmp
reachable() {
    local path
    path=$(realpath -m "$1")
    case $path in
    /tmp/*) echo "$outer_tmp/${path#/tmp/}" ;;
    *) echo "$path" ;;
    esac
}
exe=$(reachable "$exe") prefix=$(reachable "$prefix") krvd=$(reachable "$krvd")
repo=$(reachable "$repo")
mount -t tmpfs tmpfs /mnt
mkdir "$outer_tmp"
mount --bind /tmp "$outer_tmp"
mount -t tmpfs -o mode=1777 tmpfs /tmp
work=$(mktemp -d /tmp/krvctl-exe-XXXXXX)
# The folder it was started in may be under the /tmp just covered.
cd "$work"
pids=()
cleanup() {
    set +e
    WINEPREFIX=$prefix timeout 20 "$(dirname "$wine")/wineserver" -k 2>/dev/null
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
}
trap cleanup EXIT
failures=0
check() { # what, then a command that must succeed
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

# --- the LAN: this namespace is the Windows laptop ------------------------------------------
ip link set lo up
# A namespace of its own, kept alive by a sleeping process: its pid in $host.
new_host() {
    unshare --net sleep 300 </dev/null >/dev/null 2>&1 &
    host=$!
    pids+=("$host")
    for _ in $(seq 50); do
        [ "$(readlink "/proc/$host/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
        sleep 0.1
    done
}
# The WiFi: the default route, to a router with no controller behind it.
new_host
router=$host
ip link add wlan0 type veth peer name wlan0 netns "$router"
ip addr add 10.77.0.2/24 dev wlan0
ip link set wlan0 up
nsenter --target "$router" --net sh -e -c "
    ip link set lo up
    ip addr add 10.77.0.1/24 dev wlan0
    ip link set wlan0 up"
ip route add default via 10.77.0.1
# A cable plugged in where no DHCP server answers.
new_host
ip link add eth3 type veth peer name eth0 netns "$host"
nsenter --target "$host" --net ip link set eth0 up
ip link set eth3 up
seg_addr=(192.0.2 198.51.100)
macs=()
for s in 0 1; do
    # Each cable to a switch of its own, static addresses and no route.
    new_host
    switch=$host
    ip link add "eth$((s + 1))" type veth peer name up0 netns "$switch"
    ip addr add "${seg_addr[s]}.250/24" dev "eth$((s + 1))"
    ip link set "eth$((s + 1))" up
    nsenter --target "$switch" --net sh -e -c "
        ip link add lan0 type bridge
        ip link set up0 master lan0
        ip link set up0 up
        ip link set lan0 up"
    for c in 1 2; do
        new_host
        name="c$s$c" address="${seg_addr[s]}.1$c" mac="02:00:00:4B:7$s:0$c"
        nsenter --target "$switch" --net sh -e -c "
            ip link add $name type veth peer name eth0 netns $host
            ip link set $name master lan0
            ip link set $name up"
        nsenter --target "$host" --net sh -e -c "
            ip link set lo up
            ip link add br0 type bridge
            ip link set eth0 master br0
            ip link set eth0 up
            ip link set br0 up
            ip addr add $address/24 dev br0
            ip route add default via ${seg_addr[s]}.1"
        state="$work/$name"
        "$repo/sim/bin/krv-sim" --state "$state" init >/dev/null
        "$repo/sim/bin/krv-sim" --state "$state" set mac "$mac"
        "$repo/sim/bin/krv-sim" --state "$state" set ipaddr "$address"
        nsenter --target "$host" --net "$repo/sim/run-on-sim-controller" --state "$state" \
            --interface br0 --hostname "$name" -- "$krvd" >"$work/krvd-$name.log" 2>&1 &
        pids+=("$!")
        macs+=("$mac")
    done
done
for log in "$work"/krvd-*.log; do
    for _ in $(seq 200); do
        grep -q "Listening for broadcast packets" "$log" && break
        sleep 0.1
    done
    grep -q "Listening for broadcast packets" "$log" || { cat "$log" >&2; exit 1; }
done

# --- krvctl.exe under Wine, in a prefix of this test's own ----------------------------------
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
    start=$SECONDS
    "$wine" wineboot -i >/dev/null 2>&1
    echo "Wine prefix made in $((SECONDS - start)) s"
fi
# Simulated controllers read their state through the shell, all on this machine's cores: under
# a loaded CI their replies come seconds late, as in the Linux end-to-end tests' wider window.
krvctl() { (cd "$work" && "$wine" "$exe" --timeout "${window:-10}" "$@"); }

start=$SECONDS
krvctl discover >"$work/discover.txt" 2>"$work/discover.err" || true
cat "$work/discover.txt" "$work/discover.err"
echo "discover took $((SECONDS - start)) s (Wine's start included)"
for mac in "${macs[@]}"; do
    check "discover lists $mac (both cables, no --interface)" grep -q "^$mac " "$work/discover.txt"
done
check "each controller tagged with its cable" \
    grep -Eq "^${macs[3]} .* eth2[[:space:]]*$" "$work/discover.txt"
check "the summary counts each cable and names those searched" grep -q \
    "4 controllers answered: 2 on eth1, 2 on eth2 (searched wlan0, eth1, eth2)" "$work/discover.err"

krvctl --json query "${macs[3]}" >"$work/query.json" 2>"$work/query.err" || cat "$work/query.err"
check "query of a controller on the second segment" \
    grep -q '"ip": "198.51.100.12"' "$work/query.json"

status=0
krvctl assign "${macs[0]}" ntpip=192.0.2.124 >"$work/assign.txt" 2>&1 || status=$?
cat "$work/assign.txt"
check "a verified assign (exit 0)" [ "$status" -eq 0 ]
check "the assign's key checked ok" grep -Eq '^ntpip +192.0.2.124 .* ok' "$work/assign.txt"

# A small fleet: one controller per segment, a new syslog server for each.
printf '%s\r\n' "mac;syslogip;house" "${macs[1]};192.0.2.51;A" "${macs[2]};198.51.100.51;B" \
    >"$work/fleet.csv"
status=0
krvctl plan fleet.csv >"$work/plan.txt" 2>&1 || status=$?
cat "$work/plan.txt"
check "plan: changes pending (exit 4)" [ "$status" -eq 4 ]
status=0
krvctl apply --yes --report applied.csv fleet.csv >"$work/apply.txt" 2>&1 || status=$?
cat "$work/apply.txt"
check "apply: every change verified (exit 0)" [ "$status" -eq 0 ]
cat "$work/applied.csv"
check "apply's report, in the plan's separator, with the controller's cable" \
    grep -q "^3;${macs[2]};eth2;B;ok;" "$work/applied.csv"
status=0
krvctl plan fleet.csv >"$work/plan.txt" 2>&1 || status=$?
check "plan again: nothing left to change (exit 0)" [ "$status" -eq 0 ]

# The console: its API lists all four.
(cd "$work" && exec "$wine" "$exe" --timeout 10 web --listen 127.0.0.1:7280 >"$work/web.txt" 2>&1) &
web=$!
pids+=("$web")
python3 - "${macs[@]}" <<'PYTHON' >"$work/api.txt" 2>&1 || true
import json, sys, time, urllib.request
deadline = time.monotonic() + 60
listed = []
while time.monotonic() < deadline:
    try:
        with urllib.request.urlopen("http://127.0.0.1:7280/api/controllers", timeout=5) as answer:
            body = json.load(answer)
        text = json.dumps(body)
        listed = [mac for mac in sys.argv[1:] if mac in text]
        if len(listed) == len(sys.argv) - 1:
            break
    except OSError:
        pass
    time.sleep(1)
print("console lists", len(listed), "of", len(sys.argv) - 1)
PYTHON
cat "$work/api.txt"
check "the console's API lists the four controllers" grep -q "console lists 4 of 4" "$work/api.txt"

# --- doctor ---------------------------------------------------------------------------------
# The console holds the port too; doctor is to see only the holder this test starts below.
kill "$web"
wait "$web" 2>/dev/null || true
status=0
window=3 krvctl doctor >"$work/doctor.txt" 2>&1 || status=$?
cat "$work/doctor.txt"
check "doctor: controllers answered, no problem (exit 0)" [ "$status" -eq 0 ]
check "doctor: both cables answered" \
    grep -q "4 controllers answered (on eth1, eth2)" "$work/doctor.txt"
check "doctor: the route leads out of wlan0, elsewhere than the controllers" grep -q \
    "255.255.255.255 leads out of wlan0 (from 10.77.0.2), but the controllers answered on eth1, eth2" \
    "$work/doctor.txt"
check "doctor: eth3 has no address, set in Windows' words" \
    grep -q 'netsh interface ipv4 set address name="eth3" static' "$work/doctor.txt"
# A program holding the port without sharing it: named, with Windows' way to see it.
python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 7217))
print("held", flush=True)
time.sleep(60)' >"$work/holder.txt" &
holder=$!
pids+=("$holder")
for _ in $(seq 50); do grep -q held "$work/holder.txt" && break; sleep 0.1; done
status=0
window=1 krvctl doctor >"$work/doctor-held.txt" 2>&1 || status=$?
kill "$holder"
cat "$work/doctor-held.txt"
check "doctor: the port held alone is a problem (exit 69)" [ "$status" -eq 69 ]
check "doctor: how to see the port's holders on Windows" \
    grep -q "netstat -ano -p udp" "$work/doctor-held.txt"

if [ "$failures" -ne 0 ]; then
    for log in "$work"/krvd-*.log; do tail -n 20 "$log"; done
    exit 1
fi
echo "krvctl.exe end to end: all checks passed"
