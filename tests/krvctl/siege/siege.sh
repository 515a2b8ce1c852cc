#!/usr/bin/env bash
# krvctl web under abuse, by hand and as root: the console in a network namespace of its own,
# a hostile device in another joined to it by a veth pair (192.0.2.0/24 only), and the abuse
# of abuse.py from the console's namespace. Nothing reaches this machine's network.
#
#   siege.sh findings [KRVCTL]           each kind of abuse once, with its figures
#   siege.sh endurance [KRVCTL] MINUTES  a device announcing new MACs the whole time, every
#                                        kind of abuse in turn, a line of figures a minute
#
# KRVCTL is the program to besiege (default: build/krvctl/krvctl), so that an older build can
# be measured with the same tools.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
mode=${1:?findings or endurance}
krvctl=${2:-$root/build/krvctl/krvctl}
minutes=${3:-60}
abuse=("/usr/bin/python3" "$here/abuse.py")
url=http://127.0.0.1:7280

[ "$(id -u)" -eq 0 ] || { echo "siege.sh: needs root for network namespaces" >&2; exit 77; }
hub=krv-siege-$$
device=krv-siege-$$-dev
work=$(mktemp -d)
pids=()

cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    ip netns del "$device" 2>/dev/null || true
    ip netns del "$hub" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$hub"
ip netns add "$device"
ip -n "$hub" link set lo up
ip -n "$device" link set lo up
ip -n "$hub" link add eth0 type veth peer name eth0 netns "$device"
ip -n "$hub" addr add 192.0.2.250/24 dev eth0
ip -n "$device" addr add 192.0.2.66/24 dev eth0
ip -n "$hub" link set eth0 up
ip -n "$device" link set eth0 up
ip -n "$hub" route add default via 192.0.2.1
ip -n "$device" route add default via 192.0.2.1

in_hub() { ip netns exec "$hub" "$@"; }
run_abuse() { in_hub "${abuse[@]}" "$@"; }

start_device() { # arguments of the responder
    ip netns exec "$device" "${abuse[@]}" responder "$@" >"$work/device.json" &
    pids+=($!)
}

ip netns exec "$hub" "$krvctl" web --listen 127.0.0.1:7280 >"$work/console.out" 2>"$work/console.err" &
console=$!
pids+=("$console")
for _ in $(seq 1 100); do
    grep -q "the console is at" "$work/console.out" 2>/dev/null && break
    sleep 0.1
done
grep -q "the console is at" "$work/console.out" || { cat "$work/console.err" >&2; exit 1; }

memory() { "${abuse[@]}" memory --pid "$console"; }
# The peak from now on: what one kind of abuse adds to it is read afterwards.
reset_peak() { echo 5 >"/proc/$console/clear_refs"; }
say() { printf '%s %s\n' "$(date -u +%H:%M:%S)" "$*"; }

findings() {
    say "console $krvctl, pid $console, $(memory)"
    start_device --replies 200 --seconds 300
    say "1. a device answering every QUERY with 200 STATUS replies from new MACs, 300 s:"
    for minute in 1 2 3 4 5; do
        sleep 55
        say "   after ${minute} min: $(memory) $(run_abuse probe --count 3 --interval 1 --show-counts | cut -c1-400)"
    done
    say "   Discover now: $(run_abuse discover --concurrent 1 --seconds 60)"
    wait "${pids[-1]}" || true

    start_device --replies 20 --reply-bytes 16000 --fixed --seconds 400
    say "2. 20 controllers with 16 KB replies, 50 discoveries asked for: $(run_abuse discover --concurrent 1 --rounds 50 --seconds 60)"
    say "   $(run_abuse events) $(memory)"
    kill "${pids[-1]}" 2>/dev/null || true

    start_device --replies 4 --fixed --seconds 600
    say "3. 12 trickling connections (a header byte every 3 s), GET /api/controllers meanwhile:"
    run_abuse slow --trickle 12 --idle 0 --seconds 40 >"$work/slow.json" &
    local slow=$!
    sleep 5
    say "   $(run_abuse probe --count 10 --interval 2 --timeout 30 --seconds 60)"
    wait "$slow" || true
    say "   $(cat "$work/slow.json")"
    say "   200 idle connections, GET /api/controllers meanwhile:"
    run_abuse slow --trickle 0 --idle 200 --seconds 40 >"$work/slow.json" &
    slow=$!
    sleep 5
    say "   $(run_abuse probe --count 10 --interval 2 --timeout 40 --seconds 60)"
    wait "$slow" || true
    say "   $(cat "$work/slow.json")"

    reset_peak
    say "4. 48 MB chunked POST, no token, foreign Host: $(run_abuse chunked --megabytes 48 --foreign-host) $(memory)"
    reset_peak
    say "   64 MB chunked POST with the token: $(run_abuse chunked --megabytes 64 --token) $(memory)"
    reset_peak
    say "5. 100,000 headers: $(run_abuse headers --count 100000) $(memory)"
    reset_peak
    say "   500,000 headers: $(run_abuse headers --count 500000) $(memory)"
    say "6. 12 concurrent POST /api/discover: $(run_abuse discover --concurrent 12 --seconds 120)"
    say "7. 1100 requests from a foreign page: $(run_abuse refused --count 1100)"
    say "8. a repeated key: $(run_abuse duplicate --mac 02:00:00:4B:00:01)"
    say "end: $(memory) stderr: $(head -c 300 "$work/console.err")"
}

endurance() {
    local end=$((SECONDS + minutes * 60)) round=0 kinds
    start_device --replies 200 --seconds $((minutes * 60 + 60))
    say "console $krvctl, pid $console, a device announcing 200 new MACs per discovery for $minutes min"
    say "minute RSS_KiB peak_KiB fds | GET /api/controllers: median max ms, bytes, known/evicted | abuse"
    kinds=(slow chunked headers discover refused)
    while [ "$SECONDS" -lt "$end" ]; do
        local kind=${kinds[$((round % ${#kinds[@]}))]} figures
        case "$kind" in
        slow) run_abuse slow --trickle 12 --idle 200 --seconds 20 >"$work/abuse.json" & ;;
        chunked) run_abuse chunked --megabytes 48 --token >"$work/abuse.json" & ;;
        headers) run_abuse headers --count 100000 >"$work/abuse.json" & ;;
        discover) run_abuse discover --concurrent 12 --seconds 60 >"$work/abuse.json" & ;;
        refused) run_abuse refused --count 300 >"$work/abuse.json" & ;;
        esac
        local abuser=$!
        sleep 2
        figures=$(run_abuse probe --count 20 --interval 1 --show-counts --seconds 40)
        wait "$abuser" || true
        python3 - "$round" "$(memory)" "$figures" "$kind" "$(cat "$work/abuse.json")" <<'EOF'
import json, sys
minute, memory, probe, kind, abuse = sys.argv[1:]
memory, probe = json.loads(memory), json.loads(probe)
counts = probe.get("counts") or {}
print(f"{minute:>4} {memory['VmRSS']:>7} {memory['VmHWM']:>7} {memory['fds']:>3} | "
      f"{probe['medianMs']:>6} {probe['maxMs']:>7} {probe['maxBytes']:>8} "
      f"{counts.get('known')}/{counts.get('evicted')} failures {probe['failures']} | {kind} {abuse[:160]}",
      flush=True)
EOF
        round=$((round + 1))
        sleep $((60 - SECONDS % 60))
    done
}

case "$mode" in
findings) findings ;;
endurance) endurance ;;
*) echo "siege.sh: findings or endurance" >&2; exit 64 ;;
esac
