#!/usr/bin/env bash
# The fleet demo: four simulated controllers on one LAN, exported with krvctl discover --csv,
# edited as a spreadsheet saves it, planned, applied with a report, and planned again; then a
# plan with mistakes, refused before anything is sent. Like demo.sh it builds, runs in
# namespaces of its own (as root, or any user where unprivileged user namespaces are allowed)
# and removes everything it started; nothing reaches this machine's network, clock or files.
set -euo pipefail
# shellcheck source=scripts/demo-namespaces.sh
source "$(dirname "${BASH_SOURCE[0]}")/demo-namespaces.sh" "$@"

# --- inside the demo's own namespaces -------------------------------------------------------
# Shows the command as typed in the folder of the plan files, runs it, and shows its status.
run() {
    printf '$ %s\n' "$*"
    local status=0
    (cd "$work" && "$@") || status=$?
    [ "$status" -eq 0 ] || printf '(exit status %s)\n' "$status"
}
krvctl() { "$build/krvctl/krvctl" "$@"; }

# This namespace is the engineer's laptop on the LAN: the bridge lan0 joins the controllers.
ip link set lo up
ip link add lan0 type bridge
ip addr add 192.0.2.250/24 dev lan0
ip link set lan0 up
ip route add default via 192.0.2.1

step "Four simulated controllers (krvd on each) on one LAN; hall-2's clock 75 s behind"
for i in 1 2 3 4; do
    new_network_namespace
    host=$REPLY
    ip link add "h$i" type veth peer name eth0 netns "$host"
    ip link set "h$i" master lan0
    ip link set "h$i" up
    nsenter --target "$host" --net sh -e -c "
        ip link set lo up
        ip link add br0 type bridge
        ip link set eth0 master br0
        ip link set eth0 up
        ip link set br0 up
        ip addr add 192.0.2.1$i/24 dev br0
        ip route add default via 192.0.2.1"
    state="$work/hall-$i"
    "$repo/sim/bin/krv-sim" --state "$state" init >/dev/null
    "$repo/sim/bin/krv-sim" --state "$state" set mac "02:00:00:4B:30:0$i"
    "$repo/sim/bin/krv-sim" --state "$state" set ipaddr "192.0.2.1$i"
    [ "$i" -ne 2 ] || "$repo/sim/bin/krv-sim" --state "$state" set clock.offset -75
    nsenter --target "$host" --net "$repo/sim/run-on-sim-controller" --state "$state" \
        --interface br0 --hostname "hall-$i" -- "$build/krvd/krvd" >"$work/krvd-$i.log" 2>&1 &
    demo_pids+=("$!")
done
for i in 1 2 3 4; do
    for _ in $(seq 200); do
        grep -q "Listening for broadcast packets" "$work/krvd-$i.log" && break
        sleep 0.1
    done
    grep -q "Listening for broadcast packets" "$work/krvd-$i.log" ||
        { cat "$work/krvd-$i.log" >&2; echo "demo-fleet: krvd $i did not start" >&2; exit 1; }
done
echo "hall-1 .. hall-4 at 192.0.2.11 .. 192.0.2.14, MACs 02:00:00:4B:30:01 .. 04"

step "Export: the LAN as a plan file"
printf '$ krvctl discover --csv > greenhouse.csv\n'
(cd "$work" && krvctl discover --csv >greenhouse.csv)
run cat greenhouse.csv

step "Edit it in a spreadsheet: a new time server and the clock for all, hall-3's syslog server
cleared, hall-4 moved to 192.0.2.40, a column of labels; saved with ';', CRLF, a byte-order mark"
# As a spreadsheet in a locale with the decimal comma saves it.
awk -F, -v OFS=';' '
    NR == 1 { $0 = $0 ",house"; $1 = $1; printf "\357\273\277%s\r\n", $0; next }
    {
        $0 = $0 ",House " NR - 1; $1 = $1
        $6 = "192.0.2.124"; $9 = "now"
        if ($10 == "hall-3") $7 = "-"
        if ($10 == "hall-4") $2 = "192.0.2.40"
        printf "%s\r\n", $0
    }' "$work/greenhouse.csv" >"$work/greenhouse-edited.csv"
mv "$work/greenhouse-edited.csv" "$work/greenhouse.csv"
run cat greenhouse.csv

step "Plan: what apply would change; only queries are sent (exit 4: changes pending)"
run krvctl plan greenhouse.csv

step "Apply: four at once, each checked after its controller's pause, with a report"
run krvctl apply --yes --report applied.csv greenhouse.csv
run cat applied.csv

step "Plan again: the LAN matches the plan, so a second apply would send nothing"
run krvctl plan greenhouse.csv

step "A plan with mistakes is refused before anything is sent, each with its line"
printf '%s\n' "mac,ip,gateway,house" "02:00:00:4B:30:01,192.0.2.12,,House 1" \
    "02:00:00:4B:30:03,,198.51.100.1,House 3" "02:00:00:4B:30:03,,,again" \
    "02:00:00:4B:30:09,192.0.2.300,,spare" >"$work/mistakes.csv"
run cat mistakes.csv
run krvctl apply --yes mistakes.csv

step "What the daemons changed (simulated tools' records)"
for i in 1 2 3 4; do
    grep -h -e '^trelsetup set' -e '^date -u -s' "$work/hall-$i/commands.log" | sed "s/^/  hall-$i: /"
done

grep -q "^192.0.2.40\$" <(krvctl --json query 02:00:00:4B:30:04 | sed -n 's/.*"ip": "\(.*\)",/\1/p')
echo
echo "Demo finished; everything it started is stopped and removed."
