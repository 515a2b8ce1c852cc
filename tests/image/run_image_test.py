#!/usr/bin/env python3
"""Boots the controller image under QEMU (software emulation) with its NIC on a tap device in a
network namespace of this test, and drives it with the host's krvctl and the guest's serial
console, under krvd's unit exactly as its package installs it.

    run_image_test.py --arch arm64|amd64 --image-file PATH --krvctl KRVCTL [--smoke] [--work DIR]
                     [--only SCENARIOS] [--flood-without-controls]

--image-file names the file in which the image's build test left the image folder (or a skip
reason). The full run covers, in order: boot and discovery, query/assign/clear with the clock and
the journal's order, readiness and the watchdog, a crash and a clean stop, a reboot, the
controller's own work under a QUERY flood (under the unit's resource controls, and with
--flood-without-controls once more without them), and the package's installation, upgrade,
removal and purge. By name only (--only): the watchdog per command (budget), what other
controller families' tools need (families: a service signalled, an SD card below /home, DHCP
from a server in the namespace) and the watchdog interval's measurement (interval). --smoke stops after the first two checks of the run (boot, discovery, a
query, readiness). Figures are printed as "figure NAME VALUE".

Exit status 0 pass, 1 fail (with the console's last lines), 77 skip (reason printed)."""

import argparse
import fcntl
import json
import os
import re
import signal
import statistics
import sys
import tempfile
import threading
import time
import traceback
from datetime import datetime, timedelta, timezone

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guest as lab_kit  # noqa: E402
from guest import CONTROLLER_MAC, Failure, check  # noqa: E402

SKIP = 77
BOOT_TIMEOUT = {"arm64": 300, "amd64": 240}
# The flood: QUERY datagrams for this controller, each of which makes it run its query's
# commands. On the emulator the virtual NIC alone costs the guest about 1 % of its processor per
# 10 datagrams a second (measured with krvd stopped), so the rate is kept where that stays small.
FLOOD_RATE, FLOOD_SECONDS, FLOOD_LINGER = 20, 30, 25
# Leases for the DHCP scenario, on the lab's subnet.
DHCP_RANGE = ("192.0.2.100", "192.0.2.149")


def skip(reason):
    print(f"SKIP: {reason}")
    # CI sets it: a machine that cannot boot the image fails instead of passing green.
    if os.environ.get("KRV_REQUIRE_IMAGE") == "1":
        print("FAIL: KRV_REQUIRE_IMAGE=1 makes this skip a failure")
        sys.exit(1)
    sys.exit(SKIP)


def figure(name, value):
    print(f"figure {name} {value}", flush=True)


def step(text):
    print(f"-- {text}", flush=True)


def unit_property(vm, name):
    return vm.sh(f"systemctl show -p {name} --value krvd")


def seconds_of(timespan):
    """Seconds in a time span as systemctl shows it ("1min 30s", "500ms", "0")."""
    units = {"h": 3600, "min": 60, "s": 1, "ms": 1e-3, "us": 1e-6}
    return sum(float(number) * units[unit]
               for number, unit in re.findall(r"(\d+)(h|min|ms|us|s)\b", timespan))


def wait_until(what, predicate, timeout, interval=1.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise Failure(f"{what}: not within {timeout} s")


def first_status(krvctl, vm, since, timeout):
    """Queries until the controller answers; returns the seconds from since to its first STATUS.
    A query returns as soon as its STATUS arrives; a discovery would listen out its window."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result, _ = krvctl("query", CONTROLLER_MAC, timeout_s=30, expect_status=None)
        if result.returncode == 0:
            return time.monotonic() - since
        if not vm.alive():
            raise Failure("QEMU ended before the controller answered")
    raise Failure(f"the controller answered no query within {timeout} s")


def discover(krvctl):
    result, _ = krvctl("discover", timeout_s=15)
    check(CONTROLLER_MAC in result.stdout, f"discover did not list the controller:\n{result.stdout}")


def query(krvctl):
    result, elapsed = krvctl("--json", "query", CONTROLLER_MAC)
    return json.loads(result.stdout), elapsed


def journal_since(vm, cursor_file):
    return vm.sh(f"journalctl --no-pager -o cat --after-cursor=\"$(cat {cursor_file})\"",
                 timeout=120)


def mark_journal(vm, cursor_file):
    vm.sh(f"journalctl --no-pager -n 0 --show-cursor | sed -n 's/^-- cursor: //p' > {cursor_file}")


# --- the scenarios ---------------------------------------------------------------------------

def boot_and_discover(vm, krvctl, arch):
    step("1. krvd comes up at boot and answers a discovery")
    vm.start()
    first = first_status(krvctl, vm, vm.started, BOOT_TIMEOUT[arch])
    figure("first_status_after_qemu_start_s", f"{first:.1f}")
    discover(krvctl)
    shell = vm.wait_for_shell(120)
    figure("console_shell_after_qemu_start_s", f"{shell:.1f}")
    ready = vm.sh("systemctl show -p ActiveEnterTimestampMonotonic --value krvd")
    figure("krvd_ready_after_kernel_start_s", f"{int(ready) / 1e6:.1f}")
    check(vm.sh("systemctl is-active krvd") == "active", "krvd is not active after boot")


def readiness(vm):
    step("3a. the unit as installed: Type=notify, a watchdog, readiness told by the daemon")
    check(unit_property(vm, "Type") == "notify", "krvd.service is not Type=notify")
    watchdog = seconds_of(unit_property(vm, "WatchdogUSec"))
    check(watchdog > 0, "krvd.service has no watchdog")
    figure("watchdog_s", f"{watchdog:.0f}")
    return watchdog


def query_round_trips(krvctl, count=5):
    times = []
    for _ in range(count):
        status, elapsed = query(krvctl)
        times.append(elapsed)
    check(status.get("hostname") == "controller", f"STATUS names another host: {status}")
    figure("query_round_trip_median_s", f"{statistics.median(times):.2f}")
    figure("query_round_trip_range_s", f"{min(times):.2f}-{max(times):.2f}")
    return status


def assign_query_clear(vm, krvctl):
    step("2. query, assign and clear verified; the guest's clock moves; the journal's order")
    before = query_round_trips(krvctl)
    check(before.get("ip") == "192.0.2.10" and before.get("ntpip") == "192.0.2.123",
          f"unexpected first STATUS: {before}")
    cursor = "/run/krv-test.cursor"
    mark_journal(vm, cursor)
    result, elapsed = krvctl("assign", CONTROLLER_MAC, "ip=192.0.2.11", "netmask=255.255.255.0",
                             "gateway=192.0.2.254", "ntpip=192.0.2.124", "syslogip=192.0.2.51",
                             "nameserver=192.0.2.54")
    figure("assign_verified_s", f"{elapsed:.1f}")
    for key in ("ip", "netmask", "gateway", "ntpip", "syslogip"):
        check(re.search(rf"^{key} .* ok", result.stdout, re.M), f"{key} not verified:\n{result.stdout}")
    # The clock on its own: the daemon sets it again after the other writes, which take longer
    # than krvctl's 5 s allowance on an emulated controller.
    ahead = datetime.now(timezone.utc) + timedelta(hours=1)
    result, _ = krvctl("assign", CONTROLLER_MAC, "utcclock=" + ahead.strftime("%Y%m%d%H%M%S"))
    check(re.search(r"^utcclock .* ok", result.stdout, re.M), f"clock not verified:\n{result.stdout}")
    # The guest itself: its clock, address, route and time server changed for real.
    guest_clock = int(vm.sh("date -u +%s"))
    offset = guest_clock - time.time()
    check(3500 < offset < 3700, f"the guest's clock is off by {offset:.0f} s, not about +3600 s")
    check("inet 192.0.2.11/24" in vm.sh("ip -4 address show br0"), "br0 has not the new address")
    check("default via 192.0.2.254" in vm.sh("ip -4 route show default"), "no new default route")
    check("NTP=192.0.2.124" in vm.sh("cat /etc/systemd/timesyncd.conf"), "timesyncd not set")

    result, _ = krvctl("clear", CONTROLLER_MAC, "ntpip")
    check(vm.sh("test -e /etc/systemd/timesyncd.conf; echo $?") == "1",
          "the time server's configuration is still there after CLEAR")
    after, _ = query(krvctl)
    check("ntpip" not in after and after.get("ip") == "192.0.2.11", f"after CLEAR: {after}")

    # Every datagram's echo stands before what its commands did: krvd's own lines, and the
    # restart of timesyncd that the CLEAR's systemctl caused, which systemd logs itself.
    journal = journal_since(vm, cursor).split("\n")

    def first(predicate, start=0, what=""):
        for index in range(start, len(journal)):
            if predicate(journal[index]):
                return index
        raise Failure(f"the journal has no {what}:\n" + "\n".join(journal[-80:]))

    assign_echo = first(lambda line: line.startswith("KRV2#ASSIGN#"), what="ASSIGN echo")
    first(lambda line: line.startswith("krvd:trelsetup timeserver 192.0.2.124"), assign_echo,
          "timeserver change after the ASSIGN echo")
    clear_echo = first(lambda line: line.startswith("KRV2#CLEAR#") and line.endswith("#ntpip"),
                       what="CLEAR echo")
    restart_lines = [index for index, line in enumerate(journal)
                     if "systemd-timesyncd" in line or "Network Time Synchronization" in line]
    after_clear = [index for index in restart_lines if index > assign_echo]
    check(after_clear, "no restart of timesyncd in the journal")
    # Restarts of timesyncd happen for the ASSIGN (after its echo) and the CLEAR (after its).
    check(all(index > assign_echo for index in restart_lines),
          "timesyncd restarted before the ASSIGN's echo reached the journal")
    clear_restarts = [index for index in restart_lines if index > clear_echo]
    check(clear_restarts, "the CLEAR's echo comes after timesyncd's restart")
    verdicts = [index for index, line in enumerate(journal) if "] Message understood..." in line]
    check(any(index > clear_echo for index in verdicts), "no verdict after the CLEAR's echo")


def hung_tool_and_watchdog(vm, krvctl, watchdog_s):
    step("3b. a controller tool that hangs for ever: systemd's watchdog restarts krvd")
    restarts = int(unit_property(vm, "NRestarts"))
    cursor = "/run/krv-test.watchdog-cursor"
    mark_journal(vm, cursor)
    vm.sh("KRV_SIM_STATE=/var/lib/krv-sim /usr/lib/krv-sim/bin/krv-sim answer getipaddr sleep:100000")
    hung = time.monotonic()
    krvctl("query", CONTROLLER_MAC, timeout_s=5, expect_status=2)
    wait_until("a watchdog restart", lambda: int(unit_property(vm, "NRestarts")) > restarts,
               watchdog_s + 60, interval=2)
    figure("watchdog_restart_after_hang_s", f"{time.monotonic() - hung:.1f}")
    # systemd's own line, from this hang: not a restart for another reason, nor an older line.
    check("krvd.service: Watchdog timeout" in journal_since(vm, cursor),
          "no watchdog timeout of krvd in the journal since the hang")
    vm.sh("KRV_SIM_STATE=/var/lib/krv-sim /usr/lib/krv-sim/bin/krv-sim answer getipaddr clear")
    wait_until("krvd active again", lambda: vm.sh("systemctl is-active krvd",
                                                  expect_status=None) == "active", 120, 2)
    status, _ = query(krvctl)
    check(status.get("mac") == CONTROLLER_MAC, "no answer after the watchdog restart")


SIM = "KRV_SIM_STATE=/var/lib/krv-sim /usr/lib/krv-sim/bin/krv-sim"
SHORT_WATCHDOG_DROPIN = "/run/systemd/system/krvd.service.d/short-watchdog.conf"
IDLE_BEYOND_WATCHDOG_S = 28


def watchdog_per_command(vm, krvctl):
    step("3c. the watchdog bounds one command: a slow tool is waited for, a hung one is not, "
         "and the next krvd says what it cut off")
    # A short watchdog and start timeout; every call of the configuration tool well below the
    # watchdog, the start-up read's calls together beyond the start timeout.
    vm.sh(f"mkdir -p {os.path.dirname(SHORT_WATCHDOG_DROPIN)} && printf '[Service]\\nWatchdogSec="
          f"20s\\nTimeoutStartSec=30s\\n' >{SHORT_WATCHDOG_DROPIN} && systemctl daemon-reload")
    # 5 s a call, a quarter of the watchdog; the start-up read still outlasts the start timeout.
    vm.sh(f"{SIM} set slow.trelsetup 5")
    restarts = int(unit_property(vm, "NRestarts"))
    started = time.monotonic()
    vm.sh("systemctl restart krvd", timeout=600)
    slowed_start = time.monotonic() - started
    figure("slowed_start_s", f"{slowed_start:.0f}")
    check(vm.sh("systemctl is-active krvd", expect_status=None) == "active",
          "a start-up read of slow commands ran out of the start timeout")
    check(slowed_start > 30, f"the slowed start took {slowed_start:.0f} s, within the start "
          "timeout: its extensions were not put to the test")
    check(seconds_of(unit_property(vm, "WatchdogUSec")) == 20, "the short watchdog is not in force")
    # Idle for longer than the watchdog: only the daemon's keep-alives keep it from a restart.
    time.sleep(IDLE_BEYOND_WATCHDOG_S)
    check(int(unit_property(vm, "NRestarts")) == restarts and
          vm.sh("systemctl is-active krvd", expect_status=None) == "active",
          f"krvd was restarted while idle for {IDLE_BEYOND_WATCHDOG_S} s under a 20 s watchdog")

    # An ASSIGN of every key: many slow commands, many times the watchdog in all.
    ahead = datetime.now(timezone.utc) + timedelta(hours=1)
    cursor = "/run/krv-test.budget-cursor"
    mark_journal(vm, cursor)
    started = time.monotonic()
    krvctl("--retries", "0", "assign", "--no-verify", CONTROLLER_MAC, "ip=192.0.2.11",
           "netmask=255.255.255.0", "gateway=192.0.2.253", "ipscheme=STATIC", "ntpip=192.0.2.125",
           "syslogip=192.0.2.52", "nameserver=192.0.2.55",
           "utcclock=" + ahead.strftime("%Y%m%d%H%M%S"), timeout_s=300)
    wait_until("the slow ASSIGN written",
               lambda: "Finished writing network settings" in journal_since(vm, cursor), 300, 5)
    figure("slowed_assign_s", f"{time.monotonic() - started:.0f}")
    check(int(unit_property(vm, "NRestarts")) == restarts,
          "the watchdog ended krvd in an ASSIGN whose every command was within it")
    vm.sh(f"{SIM} unset slow.trelsetup")

    # A tool that hangs in the middle of an ASSIGN's writes.
    vm.sh(f"{SIM} answer setsyslogserver sleep:100000")
    krvctl("assign", "--no-verify", CONTROLLER_MAC, "syslogip=192.0.2.51", timeout_s=60)
    wait_until("a watchdog restart", lambda: int(unit_property(vm, "NRestarts")) > restarts,
               20 + 90, interval=2)
    vm.sh(f"{SIM} answer setsyslogserver clear")
    wait_until("krvd active again", lambda: vm.sh("systemctl is-active krvd",
                                                  expect_status=None) == "active", 120, 2)
    journal = vm.sh("journalctl --no-pager -u krvd -o cat | grep -F 'Change cut off' | tail -n 1",
                    expect_status=None)
    check("ASSIGN seqid=" in journal and f"for MAC {CONTROLLER_MAC}" in journal and
          "\"trelsetup setsyslogserver 192.0.2.51\"" in journal and "partly written" in journal,
          f"the restarted krvd did not say what was cut off: {journal!r}")
    check(vm.sh("test -e /run/krvd/change-in-progress; echo $?") == "1",
          "the mark outlived its report")

    # Back to the unit as installed and to the settings scenario 2 left.
    vm.sh(f"rm -f {SHORT_WATCHDOG_DROPIN} && systemctl daemon-reload && systemctl restart krvd",
          timeout=120)
    krvctl("assign", CONTROLLER_MAC, "gateway=192.0.2.254", "syslogip=192.0.2.51",
           "nameserver=192.0.2.54")
    krvctl("clear", CONTROLLER_MAC, "ntpip")


def crash_and_stop(vm, krvctl):
    step("4. kill -SEGV: restarted; systemctl stop: a clean exit")
    restarts = int(unit_property(vm, "NRestarts"))
    pid = unit_property(vm, "MainPID")
    vm.sh(f"kill -SEGV {pid}")
    wait_until("a restart after SIGSEGV",
               lambda: int(unit_property(vm, "NRestarts")) > restarts and
               unit_property(vm, "MainPID") not in ("0", pid) and
               vm.sh("systemctl is-active krvd", expect_status=None) == "active", 90, 2)
    query(krvctl)
    vm.sh("systemctl stop krvd")
    check(vm.sh("systemctl is-active krvd", expect_status=None) == "inactive", "krvd did not stop")
    check(unit_property(vm, "Result") == "success", "stopping krvd was not a clean exit")
    vm.sh("systemctl start krvd", timeout=120)
    query(krvctl)


def reboot(vm, krvctl):
    step("5. reboot: the assigned settings stay, krvd is up again")
    boot_id = vm.sh("cat /proc/sys/kernel/random/boot_id")
    vm.sh("systemctl reboot", expect_status=None)
    rebooted = time.monotonic()
    time.sleep(5)
    first = first_status(krvctl, vm, rebooted, BOOT_TIMEOUT[vm.arch])
    figure("first_status_after_reboot_s", f"{first:.1f}")
    discover(krvctl)
    vm.wait_for_shell(120)
    check(vm.sh("cat /proc/sys/kernel/random/boot_id") != boot_id,
          "the boot id is the same: the guest did not reboot")
    status, _ = query(krvctl)
    for key, value in (("ip", "192.0.2.11"), ("gateway", "192.0.2.254"),
                       ("syslogip", "192.0.2.51")):
        check(status.get(key) == value, f"after the reboot {key} is {status.get(key)}, not {value}")
    check("ntpip" not in status, "the cleared time server is back after the reboot")


def standin_counters(vm):
    """The stand-in's rounds, its and krvd's processor time in microseconds and the guest's busy
    and total processor time in clock ticks so far, read at once."""
    # The stand-in rewrites its count every round: a read may find the file just emptied.
    output = vm.sh("for try in 1 2 3 4 5 6 7 8; do rounds=$(cat /run/krv-standin/rounds); "
                   "[ -n \"$rounds\" ] && break; done; "
                   "usage() { sed -n 's/^usage_usec //p' /sys/fs/cgroup/system.slice/$1/cpu.stat; }; "
                   "standin=$(usage krv-standin.service); krvd=$(usage krvd.service); "
                   "set -- $(head -n 1 /proc/stat); "
                   "echo \"counters ${rounds:-0} ${standin:-0} ${krvd:-0} "
                   "$(($2 + $3 + $4 + $7 + $8 + $9)) $(($2 + $3 + $4 + $5 + $6 + $7 + $8 + $9))\"")
    found = re.search(r"counters (\d+) (\d+) (\d+) (\d+) (\d+)", output)
    check(found, f"the processor counters cannot be read: {output}")
    return [int(number) for number in found.groups()]


class StandinRate:
    """Over a span: the stand-in's rounds per second, the shares of the guest's processor the
    stand-in and krvd had, and the share the guest was busy."""

    def __init__(self, vm):
        self.vm = vm
        self.counters = standin_counters(vm)
        self.start = time.monotonic()

    def finish(self):
        counters = standin_counters(self.vm)
        elapsed = time.monotonic() - self.start
        rounds, standin, krvd, busy, total = (now - then for now, then
                                              in zip(counters, self.counters))
        self.krvd_cpu = krvd / 1e6 / elapsed
        self.guest_busy = busy / total if total else 0.0
        return rounds / elapsed, standin / 1e6 / elapsed


def flood(vm, datagrams, compare):
    step("6. a QUERY flood does not starve the controller's own work")
    restarts = int(unit_property(vm, "NRestarts"))
    shares = {}
    for controls in ("with", "without") if compare else ("with",):
        if controls == "without":
            # The unit's CPU share switched off for this one measurement, at run time only.
            vm.sh("systemctl set-property --runtime krvd CPUWeight=100")
        vm.sh("systemctl start krv-standin")
        time.sleep(3)
        alone = StandinRate(vm)
        time.sleep(15)
        alone_rounds, alone_cpu = alone.finish()
        figure(f"standin_alone_before_{controls}_rounds_per_s_cpu",
               f"{alone_rounds:.1f}/{alone_cpu:.2f}")
        # Under the controls a query takes a minute while the stand-in runs; once it stops, the
        # answers krvd was working on must come out.
        linger = FLOOD_LINGER if controls == "with" else 0
        flooding = threading.Thread(target=lambda: counts.append(
            datagrams.flood(FLOOD_RATE, FLOOD_SECONDS, CONTROLLER_MAC, linger)))
        counts = []
        cursor = "/run/krv-test.flood-cursor"
        mark_journal(vm, cursor)
        during = StandinRate(vm)
        flooding.start()
        time.sleep(max(0.0, FLOOD_SECONDS - (time.monotonic() - during.start)))
        flood_rounds, flood_cpu = during.finish()
        vm.sh("systemctl stop krv-standin")
        flooding.join(FLOOD_SECONDS + linger + 120)
        check(counts, "the flood did not finish")
        sent, answered_during, answered_after = counts[0]
        # The emulator's speed follows the host's load, and with it the rounds a second; the
        # share of the guest's processor the stand-in kept does not, so that is what is judged.
        shares[controls] = flood_cpu / alone_cpu
        figure(f"standin_share_{controls}_controls_cpu", f"{shares[controls]:.2f}")
        figure(f"standin_share_{controls}_controls_rounds", f"{flood_rounds / alone_rounds:.2f}")
        figure(f"flood_{controls}_controls_sent_answered_during_after",
               f"{sent}/{answered_during}/{answered_after}")
        # krvd's share beside the stand-in's: together about what the guest had busy.
        figure(f"flood_{controls}_controls_krvd_standin_guest_busy_cpu",
               f"{during.krvd_cpu:.2f}/{flood_cpu:.2f}/{during.guest_busy:.2f}")
        echoed = int(vm.sh("journalctl --no-pager -o cat -u krvd --after-cursor=\"$(cat "
                           f"{cursor})\" | grep -c '^KRV2#QUERY#'",
                           timeout=120, expect_status=None) or 0)
        figure(f"flood_{controls}_controls_queries_echoed", echoed)
        check(echoed > 0 and during.krvd_cpu > 0,
              f"the flood did not reach krvd: {echoed} queries echoed, "
              f"{during.krvd_cpu:.3f} of the processor")
        if controls == "with":
            check(answered_during + answered_after > 0,
                  "krvd answered nothing, during the flood or after it")
            check(int(unit_property(vm, "NRestarts")) == restarts,
                  "the watchdog restarted krvd during the flood")
        # What the flood left queued goes with the daemon: a fresh start.
        vm.sh("systemctl revert krvd >/dev/null; systemctl restart krvd", timeout=120)
    check(shares["with"] >= 0.90,
          f"with the unit's controls the stand-in kept {shares['with']:.0%} of its processor "
          "time, not 90 %")


def families(vm, krvctl, lab):
    step("8. what other controller families' tools do, under the unit as installed: a service "
         "told by signal, an SD card below /home, DHCP")
    before, _ = query(krvctl)
    # The configuration tool finds the syslog daemon (a root service with every capability) by
    # name and signals it to reread its settings.
    rereads = "/run/krv-syslogd/rereads"
    vm.sh(f": >{rereads}")
    result, _ = krvctl("assign", CONTROLLER_MAC, "syslogip=192.0.2.57")
    check(re.search(r"^syslogip .* ok", result.stdout, re.M), f"syslogip:\n{result.stdout}")
    check("server 192.0.2.57" in vm.sh(f"cat {rereads}"),
          "the syslog daemon was not told of its new server (pidof/pkill found nothing?)")

    # A family that reports `df -h | grep sdcard`, with its card mounted below /home.
    vm.sh("mkdir -p /home/sdcard && mount -t tmpfs -o size=8m krv-sdcard /home/sdcard && "
          "head -c 3000000 /dev/zero >/home/sdcard/fill")
    try:
        vm.sh(f"{SIM} set type other")
        usage = vm.sh("df -h /home/sdcard | awk 'NR == 2 { print $5 }'")
        status, _ = query(krvctl)
        check(status.get("sdusage") == usage,
              f"sdusage {status.get('sdusage')!r}, not the card's {usage} that df shows")
    finally:
        vm.sh(f"{SIM} set type qvx; umount /home/sdcard", expect_status=None)

    # DHCP from a server on the lab's bridge: leased under the unit, kept across a restart.
    dhcp = lab.dhcp_server(*DHCP_RANGE)
    try:
        started = time.monotonic()
        krvctl("assign", "--no-verify", CONTROLLER_MAC, "ipscheme=DHCP")
        leased = wait_until("a DHCP lease on br0", lambda: re.findall(
            r"inet (192\.0\.2\.1[0-4]\d)/24", vm.sh("ip -4 address show br0")), 90, 2)[0]
        figure("dhcp_lease_after_assign_s", f"{time.monotonic() - started:.1f}")
        status, _ = query(krvctl)
        check(status.get("ipscheme") == "DHCP" and status.get("ip") == leased,
              f"after DHCP the STATUS says {status.get('ipscheme')} {status.get('ip')}, "
              f"not DHCP {leased}")
        vm.sh("systemctl restart krvd", timeout=120)
        check(f"inet {leased}/24" in vm.sh("ip -4 address show br0"),
              "the lease went with krvd's restart")
        status, _ = query(krvctl)
        check(status.get("ip") == leased, f"after krvd's restart the STATUS says {status}")
    finally:
        lab.stop_dhcp_server(dhcp)
        krvctl("assign", CONTROLLER_MAC, "ipscheme=STATIC", f"ip={before['ip']}",
               f"netmask={before['netmask']}", f"gateway={before['gateway']}",
               f"syslogip={before.get('syslogip', '192.0.2.50')}", timeout_s=30, expect_status=None)
    check(f"inet {before['ip']}/24" in vm.sh("ip -4 address show br0"),
          "back to STATIC, br0 has not its address again")


def interval_measurement(vm, krvctl, datagrams):
    """By hand (--only interval), for choosing WatchdogSec: the slowest single command krvd
    runs for an ASSIGN of every key while the stand-in keeps the processor busy and the flood
    arrives."""
    step("measure: the slowest single command of an ASSIGN of every key under the flood's load")
    vm.sh("systemctl start krv-standin")
    time.sleep(5)
    # Every second, each command krvd runs (its shell) with its age; bounded to ten minutes.
    vm.sh("krvd=$(systemctl show -p MainPID --value krvd); end=$((SECONDS + 600)); "
          "while [ $SECONDS -lt $end ]; do ps -o pid=,etimes=,args= --ppid $krvd; sleep 1; "
          "done >/run/krv-children.log 2>/dev/null & echo $! >/run/krv-poller.pid")
    cursor = "/run/krv-test.interval-cursor"
    mark_journal(vm, cursor)
    counts = []
    # The ASSIGN goes first (krvctl queries before it), so it is not queued behind the flood.
    ahead = datetime.now(timezone.utc) + timedelta(hours=1)
    assigning = threading.Thread(target=lambda: krvctl(
        "--retries", "0", "assign", "--no-verify", "--force", CONTROLLER_MAC, "ip=192.0.2.11",
        "netmask=255.255.255.0", "gateway=192.0.2.253", "ipscheme=STATIC",
        "ntpip=192.0.2.125", "syslogip=192.0.2.52", "nameserver=192.0.2.55",
        "utcclock=" + ahead.strftime("%Y%m%d%H%M%S"), timeout_s=600, expect_status=None))
    assigning.start()
    wait_until("the ASSIGN taken up",
               lambda: "KRV2#ASSIGN#" in journal_since(vm, cursor), 600, 5)
    flooding = threading.Thread(target=lambda: counts.append(
        datagrams.flood(FLOOD_RATE, 240, CONTROLLER_MAC)))
    flooding.start()
    started = time.monotonic()
    wait_until("the ASSIGN written under load",
               lambda: "Finished writing network settings" in journal_since(vm, cursor), 900, 10)
    figure("loaded_assign_s", f"{time.monotonic() - started:.0f}")
    vm.sh("kill $(cat /run/krv-poller.pid); systemctl stop krv-standin", expect_status=None)
    slowest = vm.sh("sort -k1,1n -k2,2nr /run/krv-children.log | awk '!seen[$1]++' | "
                    "sort -k2,2nr | head -n 5")
    print("slowest commands (seconds, command):\n" + slowest)
    top = slowest.split("\n")[0].split() if slowest else ["0", "0"]
    figure("slowest_command_under_load_s", top[1])
    flooding.join(300)
    assigning.join(60)
    vm.sh("systemctl restart krvd", timeout=120)


def packages(vm, krvctl, arch):
    step("7. the package inside the guest: install, upgrade, remove, purge under systemd")
    cache = "/var/cache/krv-packages"
    first, newer = f"{cache}/krvd_4.12_{arch}.deb", f"{cache}/krvd_4.12-2_{arch}.deb"

    def state():
        return (vm.sh("systemctl is-enabled krvd", expect_status=None),
                vm.sh("systemctl is-active krvd", expect_status=None))

    def nothing_left():
        leftovers = vm.sh(
            "{ find / -xdev -name '*krvd*' ! -path '/var/cache/krv-packages/*' "
            "! -path /home/etc/trelsetup.d/krvd_interface ! -path '/var/log/journal/*' "
            "! -path '/var/lib/krv-sim/*' ! -path '/usr/lib/krv-sim/*'; "
            "dpkg-query -W krvd 2>/dev/null; systemctl list-unit-files --no-legend 'krvd*'; } "
            "| cat", timeout=180)
        check(leftovers == "", f"left behind after purge:\n{leftovers}")

    vm.sh("dpkg --purge krvd", timeout=180)
    nothing_left()
    vm.sh(f"dpkg -i {first}", timeout=180)
    check(state() == ("enabled", "active"), f"after installation: {state()}")
    query(krvctl)
    pid = unit_property(vm, "MainPID")
    vm.sh(f"dpkg -i {newer}", timeout=180)
    check(vm.sh("dpkg-query -W -f='${Version}' krvd") == "4.12-2", "the upgrade did not install")
    check(state() == ("enabled", "active"), f"after the upgrade: {state()}")
    check(unit_property(vm, "MainPID") != pid, "the upgrade did not restart krvd")
    query(krvctl)
    vm.sh("dpkg -r krvd", timeout=180)
    check(state() == ("masked", "inactive"), f"after removal: {state()}")
    check(vm.sh("test -e /usr/sbin/krvd; echo $?") == "1", "krvd's program is still there")
    vm.sh("dpkg --purge krvd", timeout=180)
    nothing_left()
    krvctl("query", CONTROLLER_MAC, timeout_s=5, expect_status=2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", required=True, choices=("arm64", "amd64"))
    parser.add_argument("--image-file", required=True)
    parser.add_argument("--krvctl", required=True)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--work")
    # A subset of the scenarios after the boot (assign, watchdog, budget, crash, reboot, flood,
    # packages, families, interval), in the order given.
    parser.add_argument("--only")
    # By hand: the flood once more with the unit's CPU share switched off, for the comparison
    # docs/measured.md gives (a minute and a half that CI does without).
    parser.add_argument("--flood-without-controls", action="store_true")
    options = parser.parse_args()

    if os.geteuid() != 0:
        skip("needs root for its network namespace and tap device")
    qemu = lab_kit.QEMU[options.arch][0]
    if not lab_kit.which(qemu):
        skip(f"{qemu} is missing (scripts/install-deps.sh --image)")
    wanted = options.only.split(",") if options.only else []
    for program in ("ip", "python3") + (("dnsmasq",) if "families" in wanted else ()):
        if not lab_kit.which(program):
            skip(f"{program} is missing")
    if not os.path.exists(options.image_file):
        skip(f"no image: {options.image_file} was not written (its build test did not run)")
    with open(options.image_file) as file:
        image = file.read().strip()
    if image.startswith("SKIP"):
        skip(image)
    # Held for the whole run: a newer build (in this checkout or another) replaces older images
    # only when it can take this lock exclusively. Released when the process ends.
    try:
        hold = open(os.path.join(image, "hold"), "a")
        fcntl.flock(hold, fcntl.LOCK_SH)
        used = os.path.join(image, "used")
        if os.path.exists(used):
            os.utime(used, None)
    except OSError as error:
        print(f"FAIL: no image in {image}: {error}")
        return 1
    if not os.path.isfile(os.path.join(image, "disk.img")):
        print(f"FAIL: no image in {image}")
        return 1
    with open(os.path.join(image, "manifest")) as file:
        for line in file:
            print("image", line.strip())

    work = tempfile.mkdtemp(prefix=f"krv-image-{options.arch}-", dir=options.work)
    lab = vm = None
    status = 1
    # A signal (ctest's time-out, Ctrl-C) unwinds through the finally below.
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda number, _: sys.exit(128 + number))
    try:
        lab = lab_kit.Lab(f"krvimg-{options.arch}-{os.getpid()}")
        vm = lab_kit.Guest(lab, options.arch, image, work)
        krvctl = lab_kit.Krvctl(lab, options.krvctl)
        started = time.monotonic()
        boot_and_discover(vm, krvctl, options.arch)
        watchdog_s = readiness(vm)
        scenarios = {
            "assign": lambda: assign_query_clear(vm, krvctl),
            "watchdog": lambda: hung_tool_and_watchdog(vm, krvctl, watchdog_s),
            "budget": lambda: watchdog_per_command(vm, krvctl),
            "crash": lambda: crash_and_stop(vm, krvctl),
            "reboot": lambda: reboot(vm, krvctl),
            "flood": lambda: flood(vm, lab_kit.Datagrams(lab), options.flood_without_controls),
            "packages": lambda: packages(vm, krvctl, options.arch),
            "interval": lambda: interval_measurement(vm, krvctl, lab_kit.Datagrams(lab)),
            "families": lambda: families(vm, krvctl, lab),
        }
        if options.smoke:
            query_round_trips(krvctl, 3)
        else:
            # The interval's measurement is by hand only; the watchdog per command, mostly
            # waiting on slowed tools, and the other families' needs run in the faster amd64
            # guest (its ctest asks for them).
            chosen = (options.only.split(",") if options.only
                      else [name for name in scenarios
                         if name not in ("interval", "budget", "families")])
            for name in chosen:
                began = time.monotonic()
                scenarios[name]()
                figure(f"scenario_{name}_s", f"{time.monotonic() - began:.0f}")
        figure("scenarios_s", f"{time.monotonic() - started:.0f}")
        print("PASS")
        status = 0
    except (Failure, TimeoutError) as problem:
        print(f"FAIL: {problem}")
    except Exception:  # noqa: BLE001 - any fault of the test itself is shown, never a hang
        traceback.print_exc()
    finally:
        if status != 0 and vm is not None:
            print("--- the guest's console, last lines ---")
            print(vm.console_tail())
            try:
                print("--- krvd in the guest ---")
                print(vm.sh("systemctl status krvd --no-pager; journalctl -u krvd -n 40 "
                            "--no-pager", timeout=30, expect_status=None))
            except Exception:  # noqa: BLE001 - the console may be gone with the guest
                print("(the guest's console does not answer)")
        if vm is not None:
            vm.close()
        if lab is not None:
            lab.close()
        if status == 0:
            import shutil
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"console log and work folder: {work}")
    return status


if __name__ == "__main__":
    sys.exit(main())
