#!/usr/bin/env bash
# The demo: krvd on a simulated imx controller, found and set up by krvctl from a second
# network namespace. Installs what it needs, builds, runs, and removes everything it
# started. Nothing leaves its namespaces and nothing of this machine is changed.
#   KRV_DEMO_TYPE   controller type of the simulated controller (imx, arm9, qvx, other)
set -euo pipefail
# shellcheck source=scripts/demo-namespaces.sh
source "$(dirname "${BASH_SOURCE[0]}")/demo-namespaces.sh" "$@"

# --- inside the demo's own namespaces -------------------------------------------------------
in_peer() { nsenter --target "$peer_pid" --net "$@"; }

step "Network: controller (br0 192.0.2.10) <-veth-> configuration tool (peer0 192.0.2.20)"
new_network_namespace
peer_pid=$REPLY
ip link set lo up
ip link add eth0 type veth peer name peer0 netns "$peer_pid"
ip link add br0 type bridge
ip link set eth0 master br0
ip link set eth0 up
ip link set br0 up
ip addr add 192.0.2.10/24 dev br0
ip route add default via 192.0.2.1
in_peer ip link set lo up
in_peer ip addr add 192.0.2.20/24 dev peer0
in_peer ip link set peer0 up
in_peer ip route add default via 192.0.2.1
ip -brief addr show br0

step "Starting krvd on a simulated ${KRV_DEMO_TYPE:-imx} controller"
"$repo/sim/run-on-sim-controller" --state "$work/controller" --type "${KRV_DEMO_TYPE:-imx}" \
    --interface br0 --hostname controller-demo -- "$build/krvd/krvd" >"$work/krvd.log" 2>&1 &
krvd_pid=$!
demo_pids+=("$krvd_pid")
for _ in $(seq 200); do
    grep -q "Listening for broadcast packets" "$work/krvd.log" && break
    kill -0 "$krvd_pid" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q "Listening for broadcast packets" "$work/krvd.log"; then
    cat "$work/krvd.log" >&2
    echo "demo: krvd did not start" >&2
    exit 1
fi
sed 's/^/  krvd | /' "$work/krvd.log"

krvctl() { in_peer "$build/krvctl/krvctl" "$@"; }

step "krvctl discover: every controller that answers a QUERY"
krvctl discover | tee "$work/discover"
mac=$(awk 'NR == 2 { print $1 }' "$work/discover")

step "krvctl assign: a new time server and this machine's clock, verified key by key"
krvctl assign "$mac" ntpip=192.0.2.124 utcclock=now

step "krvctl assign refuses a gateway that would cut the controller off"
krvctl assign "$mac" gateway=198.51.100.1 || echo "  (exit status $?: no ASSIGN was sent)"

step "krvctl query: one controller's STATUS"
krvctl query "$mac" | tee "$work/status"

step "What the daemon ran on the controller (simulated tools' record, last lines)"
grep -v -e '^trelsetup get' -e '^route' -e '^ntpq' -e '^Get' -e '^trelsetup sdcard' \
    "$work/controller/commands.log" | sed 's/^/  /'

step "The daemon's console"
sed 's/^/  krvd | /' "$work/krvd.log" | tail -n 12

grep -q "^ntpip  *192.0.2.124$" "$work/status"
echo
echo "Demo finished; everything it started is stopped and removed."
