#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM.exe [ARGUMENTS...]: runs a Windows program under wine64 in the Wine
# prefix PREFIX (a folder of the build's own, made at first use), with Wine's own chatter off.
# Without wine64 it reports a skip (77) and runs nothing.
set -euo pipefail
prefix=$1
shift
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
if [ ! -x "$wine" ]; then
    echo "wine64 is not installed: skipped"
    exit 77
fi
export WINEPREFIX=$prefix WINEDEBUG=-all
# No dialogs offering Mono or Gecko: the programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
# Tests started side by side wait for the one that makes the prefix.
(
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        start=$SECONDS
        "$wine" wineboot -i >/dev/null 2>&1
        echo "wine-run.sh: prefix $prefix made in $((SECONDS - start)) s" >&2
    fi
) 9>"$prefix.lock"
exec "$wine" "$@"
