# shellcheck shell=bash
# Shared by the simulated controller's stand-ins. Sourced, never run.
#
# State: the folder named by KRV_SIM_STATE holds
#   keys/NAME        one value per file (first line counts)
#   files/NAME       the run-time files that run-on-sim-controller places at the real paths
#   answers          canned answers, one "COMMAND WORDS<TAB>BEHAVIOUR..." per line
#   commands.log     one line per invocation of any stand-in
#   .krv-sim         marker: this folder is a simulated controller's state
#
# The stand-ins sit first in PATH and shadow date, rm, df and route, so everything here
# reaches real programs by absolute path only. They name /bin/bash rather than `env bash`:
# a fleet's queries start them by the thousand, and env would be one more program each time.

SIM_TOOL=${0##*/}
SIM_STATE=${KRV_SIM_STATE:-}
SIM_SYSTEM_DIRS=(/usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin)

# Finds the machine's own program NAME, never one of ours. Sets REPLY; fails when absent.
sim_real_tool() {
    local dir
    for dir in "${SIM_SYSTEM_DIRS[@]}"; do
        if [[ -x $dir/$1 && ! $dir/$1 -ef $0 ]]; then
            REPLY=$dir/$1
            return 0
        fi
    done
    return 1
}

sim_have_state() {
    [[ -n $SIM_STATE && -f $SIM_STATE/.krv-sim ]]
}

# For tools that cannot do anything sensible without a state.
sim_require_state() {
    if ! sim_have_state; then
        echo "$SIM_TOOL: KRV_SIM_STATE does not name a simulated controller state (see krv-sim init)" >&2
        if [[ $SIM_TOOL == trelsetup || $SIM_TOOL == Get ]]; then
            echo "ERROR::no simulated controller state"
        fi
        exit 1
    fi
}

# Appends "TOOL ARG..." to the record. A newline inside an argument is written as \n so that
# one invocation stays one line.
sim_record() {
    sim_have_state || return 0
    local line="$SIM_TOOL${*:+ $*}"
    line=${line//$'\n'/\\n}
    printf '%s\n' "$line" >>"$SIM_STATE/commands.log"
}

# Key names are plain file names; anything else (an interface name holding "/", say) is
# folded into "_" so that no key can point outside the state.
sim_key_name() {
    REPLY=${1//[^A-Za-z0-9._:@-]/_}
    [[ $REPLY == .* ]] && REPLY=_${REPLY#.}
    return 0
}

# Sets REPLY to the value of KEY; fails (REPLY empty) when KEY is not set.
sim_get() {
    local file
    sim_key_name "$1"
    file=$SIM_STATE/keys/$REPLY
    REPLY=
    [[ -f $file ]] || return 1
    IFS= read -r REPLY <"$file" || true
    return 0
}

sim_set() {
    sim_key_name "$1"
    printf '%s\n' "$2" >"$SIM_STATE/keys/$REPLY"
}

sim_unset() {
    sim_key_name "$1"
    [[ -f $SIM_STATE/keys/$REPLY ]] || return 1
    /bin/rm -f -- "$SIM_STATE/keys/$REPLY"
}

sim_type() {
    sim_get type || REPLY=imx
}

# Seconds since 1970 on the simulated clock: the real clock plus the offset left by date -s.
sim_now() {
    local now offset
    printf -v now '%(%s)T' -1
    sim_get clock.offset || REPLY=0
    offset=$REPLY
    [[ $offset =~ ^-?[0-9]+$ ]] || offset=0
    REPLY=$((now + offset))
}

# Canned answers replace a command's whole behaviour (it still counts in the record). The
# longest matching entry wins; an entry matches the command line itself or any line that
# continues it after a space, so "trelsetup setip" covers every setip.
sim_canned_answer() {
    sim_have_state && [[ -s $SIM_STATE/answers ]] || return 0
    local line="$SIM_TOOL${*:+ $*}" key behaviour best='' best_behaviour=''
    while IFS=$'\t' read -r key behaviour; do
        if [[ $line == "$key" || $line == "$key "* ]] && ((${#key} > ${#best})); then
            best=$key
            best_behaviour=$behaviour
        fi
    done <"$SIM_STATE/answers"
    [[ -n $best ]] || return 0

    local word output='' has_output=0 status=0
    local -a words
    read -r -a words <<<"$best_behaviour"
    # text: may hold spaces; everything after "text:" up to the end of the entry is the text.
    if [[ $best_behaviour == *text:* ]]; then
        output=${best_behaviour#*text:}
        has_output=1
        best_behaviour=${best_behaviour%%text:*}
        read -r -a words <<<"$best_behaviour"
    fi
    local binary=0 long=0
    for word in "${words[@]}"; do
        case $word in
        error)
            output="ERROR::simulated failure: $line"
            has_output=1
            status=1
            ;;
        empty) ;;
        exit:*) status=${word#exit:} ;;
        sleep:*) /bin/sleep "${word#sleep:}" ;;
        binary) binary=1 ;;
        long:*) long=${word#long:} ;;
        missing)
            # What the shell says for a program it cannot find; nothing reaches standard output.
            echo "sh: 1: $SIM_TOOL: not found" >&2
            exit 127
            ;;
        esac
    done
    if ((binary)); then
        # Control bytes, a NUL, separators of the protocol and bytes above 0x7F on one line.
        printf '\001\002\033[2J#=;\177\200\377\376 \000after-nul\t\r\n'
    fi
    if ((long > 0)); then
        local filler
        printf -v filler '%*s' "$long" ''
        printf '%s\n' "${filler// /L}"
    fi
    ((has_output)) && printf '%s\n' "$output"
    exit "$status"
}

# The key slow.TOOL (whole seconds) makes every call of TOOL wait that long and then behave as
# usual: a loaded controller whose tool answers late but answers.
sim_slow_down() {
    sim_have_state || return 0
    sim_get "slow.$SIM_TOOL" || return 0
    [[ $REPLY =~ ^[0-9]{1,5}$ ]] && /bin/sleep "$REPLY"
    return 0
}

# Every stand-in starts with this: record the invocation, then honour a slow-down and a canned
# answer.
sim_begin() {
    sim_record "$@"
    sim_slow_down
    sim_canned_answer "$@"
}
