#!/usr/bin/env bash
# Removes the images of ARCH in CACHE other than KEEP, once KEEP is complete: never one a run
# holds (the runtime test keeps a shared lock on its "hold" file while it boots it), nor one
# used in the last two hours (another checkout's run between its set-up test, which marks the
# image used, and its runtime test). What stays is removed by a later build.
#
#   prune-cache.sh ARCH CACHE KEEP
set -euo pipefail
arch=$1 cache=$2 keep=$3
[ -f "$keep/complete" ] || { echo "prune-cache.sh: $keep is no complete image" >&2; exit 1; }
for old in "$cache/$arch"-*; do
    [ "$old" != "$keep" ] && [ -d "$old" ] || continue
    [ -z "$(find "$old/used" -mmin -120 2>/dev/null)" ] || continue
    (
        exec 8>>"$old/hold" || exit 0
        flock -n -x 8 || exit 0
        rm -rf "$old"
    ) || true
done
