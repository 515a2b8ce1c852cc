#!/usr/bin/env bash
# The image cache's pruning after a build: older images of the architecture go, but not the new
# one, not one a run holds, not one used lately, and not another architecture's.
set -euo pipefail
repo=$1
cache=$(mktemp -d)
holder=
cleanup() {
    [ -z "$holder" ] || { kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null || true; }
    rm -rf "$cache"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

image() { # name, then "old" for a last use three hours ago
    mkdir -p "$cache/$1"
    touch "$cache/$1/complete" "$cache/$1/used"
    [ "${2:-}" != old ] || touch -d '3 hours ago' "$cache/$1/used"
}
image amd64-new
image amd64-stale old
image amd64-held old
image amd64-recent
image arm64-stale old
mkdir -p "$cache/amd64-unmarked"
# A run that holds its image, as run_image_test.py does, for as long as the pruning takes.
touch "$cache/amd64-held/hold"
# The lock's holder is the background process itself, so ending it by its id releases it.
(exec 7>>"$cache/amd64-held/hold" && flock -s 7 && exec sleep 60) &
holder=$!
for _ in $(seq 50); do
    flock -n -x "$cache/amd64-held/hold" true || break
    sleep 0.1
done

"$repo/image/prune-cache.sh" amd64 "$cache" "$cache/amd64-new"
left=$(cd "$cache" && ls -d ./* | sed 's|^\./||' | sort | xargs)
[ "$left" = "amd64-held amd64-new amd64-recent arm64-stale" ] || fail "left: $left"

# An image that is not complete never replaces anything.
if "$repo/image/prune-cache.sh" amd64 "$cache" "$cache/amd64-missing" 2>/dev/null; then
    fail "pruned for an incomplete image"
fi
[ -d "$cache/amd64-recent" ] || fail "an incomplete image replaced one"
echo "PASS"
