#!/usr/bin/env bash
# krvctl's bash completion under Debian's bash-completion: commands, options of the command at
# hand, setting keys and values, and the MACs the last discovery left, with the words split at
# ":" and "=" as the shell splits them. Skips (77) without bash-completion.
set -uo pipefail
completion=$1
library=/usr/share/bash-completion/bash_completion
[ -r "$library" ] || { echo "SKIP: no $library (package bash-completion)"; exit 77; }
# shellcheck source=/dev/null
source "$library"
# shellcheck source=/dev/null
source "$completion"
XDG_CACHE_HOME=$(mktemp -d)
trap 'rm -rf "$XDG_CACHE_HOME"' EXIT
mkdir -p "$XDG_CACHE_HOME/krvctl"
printf '02:00:00:4B:10:01\n02:00:00:4B:10:02\n' >"$XDG_CACHE_HOME/krvctl/discovered-macs"

failures=0
expect() { # wanted line words...
    local wanted=$1 line=$2
    shift 2
    COMP_LINE=$line COMP_POINT=${#line} COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
    _krvctl 2>/dev/null
    if [ "${COMPREPLY[*]}" != "$wanted" ]; then
        echo "'$line': got '${COMPREPLY[*]}', wanted '$wanted'"
        failures=$((failures + 1))
    fi
}

expect "plan" "krvctl pl" krvctl pl
expect "doctor" "krvctl --json do" krvctl --json do
expect "--interface --timeout --retries --json --help" "krvctl doctor --" krvctl doctor --
expect "--interface --timeout --retries --json --help --yes --force --parallel --report" \
    "krvctl --timeout 5 apply --" krvctl --timeout 5 apply --
expect "10:01 10:02" "krvctl query 02:00:00:4B:1" krvctl query 02 : 00 : 00 : 4B : 1
expect "netmask= ntpip= nameserver=" "krvctl assign 02:00:00:4B:10:01 n" \
    krvctl assign 02 : 00 : 00 : 4B : 10 : 01 n
expect "STATIC" "krvctl assign 02:00:00:4B:10:01 ipscheme=S" \
    krvctl assign 02 : 00 : 00 : 4B : 10 : 01 ipscheme = S
expect "syslogip" "krvctl clear 02:00:00:4B:10:01 s" krvctl clear 02 : 00 : 00 : 4B : 10 : 01 s
expect "" "krvctl clear 02:00:00:4B:10:01 ntpip " krvctl clear 02 : 00 : 00 : 4B : 10 : 01 ntpip ""
exit $((failures > 0))
