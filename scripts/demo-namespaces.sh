# Sourced at the top of a demo script: installs what the demos need, builds krvd and krvctl,
# then runs the demo again inside a private network and mount namespace of its own (with a user
# namespace when not root), where everything it builds disappears with its processes. Inside,
# it refuses to go on anywhere but in a fresh network namespace, and gives the demo a folder
# (work), a list of the processes it starts (demo_pids: stopped, newest first, at the end),
# another network namespace at will (new_network_namespace) and step. Sets repo and build.
#   source "$(dirname "${BASH_SOURCE[0]}")/demo-namespaces.sh" "$@"
repo=$(cd -P "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build"
demo=$(basename "$0" .sh)

if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" -eq 0 ] || command -v sudo >/dev/null; then
        "$repo/scripts/install-deps.sh"
    fi
    cmake -S "$repo" -B "$build" >/dev/null
    cmake --build "$build" -j "$(nproc)" --target krvd krvctl >/dev/null
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare --net --mount --propagation private "$0" --inside
    fi
    if ! unshare --user --map-root-user --net --mount true 2>/dev/null; then
        echo "$demo: needs root, or unprivileged user namespaces (kernel.unprivileged_userns_clone=1)" >&2
        exit 1
    fi
    exec unshare --user --map-root-user --net --mount --propagation private "$0" --inside
fi

# Only "lo" may exist here: links are never built in a namespace the demo did not make.
if [ "$(ip -o link show | wc -l)" -ne 1 ]; then
    echo "$demo: --inside must run in a new network namespace; start scripts/$demo.sh instead" >&2
    exit 1
fi

work=$(mktemp -d "/tmp/$demo-XXXXXX")
# krvctl discover keeps the MACs it found for the shell's completion: here, not in ~/.cache.
export XDG_CACHE_HOME="$work"
demo_pids=()
cleanup() {
    set +e
    local i
    for ((i = ${#demo_pids[@]} - 1; i >= 0; i--)); do
        kill "${demo_pids[i]}" 2>/dev/null
        wait "${demo_pids[i]}" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# A network namespace that lives as long as a bounded placeholder process; its id in REPLY.
new_network_namespace() {
    unshare --net sleep 600 &
    REPLY=$!
    demo_pids+=("$REPLY")
    for _ in $(seq 50); do
        [ "$(readlink "/proc/$REPLY/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
        sleep 0.1
    done
}
