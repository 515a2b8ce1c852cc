#!/usr/bin/env bash
# Runs the settings chain test on a fresh simulated controller: in a network namespace of its
# own with a veth "br0" (so netmask and default route are known), and a private mount
# namespace for the controller's files.
set -u
if [ "${1:-}" != --in-netns ]; then
    unshare_net=(unshare --net)
    [ "$(id -u)" -eq 0 ] || unshare_net=(unshare --user --map-root-user --net)
    "${unshare_net[@]}" true 2>/dev/null || { echo "no network namespace possible here"; exit 77; }
    exec "${unshare_net[@]}" "$0" --in-netns "$@"
fi
shift
source_dir=$1
test_binary=$2

# Only in a fresh namespace: nothing but "lo" may exist here.
[ "$(ip -o link show | wc -l)" -eq 1 ] || { echo "not in a fresh network namespace" >&2; exit 1; }
ip link set lo up
ip link add br0 type veth peer name br0-far
ip link set br0-far up
ip addr add 192.0.2.10/24 dev br0
ip link set br0 up
ip route add default via 192.0.2.1

state=$(mktemp -d /tmp/krvd-chain-XXXXXX)
trap '/bin/rm -rf "$state"' EXIT
"$source_dir/sim/run-on-sim-controller" --state "$state/controller" --interface br0 -- "$test_binary"
status=$?
# 125: the private mount namespace could not be set up on this machine.
[ "$status" -eq 125 ] && exit 77
exit "$status"
