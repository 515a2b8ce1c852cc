"""The booted controller image: a test-owned network namespace with a bridge and a tap device, QEMU
(software emulation) with the image's disk on that tap, the guest's serial console, and the host's
krvctl on the bridge. Everything started here is stopped again by close(), whatever happened."""

import os
import re
import shutil
import socket
import subprocess
import threading
import time

LAB_ADDRESS = "192.0.2.20/24"
CONTROLLER_MAC = "02:00:00:4B:10:01"
BRIDGE = "krvlab0"
TAP = "krvtap0"

QEMU = {
    "arm64": ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a57"],
    "amd64": ["qemu-system-x86_64", "-M", "pc", "-cpu", "max"],
}
CONSOLE = {"arm64": "ttyAMA0", "amd64": "ttyS0"}


class Failure(Exception):
    """A check that did not hold; the message says what was expected and what was seen."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(command, timeout=60, check_status=True):
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    if check_status and result.returncode != 0:
        raise Failure(f"{' '.join(command)} failed ({result.returncode}): {result.stderr.strip()}")
    return result


class Lab:
    """A network namespace of the test's own: a bridge holding the lab's address and the tap
    device the guest's NIC is attached to."""

    def __init__(self, name):
        self.name = name
        run(["ip", "netns", "add", name])
        self.created = True
        for command in (
            ["ip", "link", "set", "lo", "up"],
            ["ip", "link", "add", BRIDGE, "type", "bridge"],
            ["ip", "tuntap", "add", "dev", TAP, "mode", "tap"],
            ["ip", "link", "set", TAP, "master", BRIDGE],
            ["ip", "link", "set", TAP, "up"],
            ["ip", "address", "add", LAB_ADDRESS, "dev", BRIDGE],
            ["ip", "link", "set", BRIDGE, "up"],
        ):
            run(["ip", "netns", "exec", name] + command)

    def command(self, argv):
        return ["ip", "netns", "exec", self.name] + argv

    def dhcp_server(self, first, last):
        """dnsmasq on the bridge handing out first..last, DHCP only, in the foreground."""
        process = subprocess.Popen(self.command([
            "dnsmasq", "--keep-in-foreground", "--port=0", "--bind-interfaces",
            f"--interface={BRIDGE}", "--except-interface=lo", f"--dhcp-range={first},{last},2m",
            "--leasefile-ro", "--conf-file=/dev/null", "--pid-file="]),
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            process.wait(timeout=1)
            raise Failure(f"dnsmasq ended at once: {process.stderr.read().strip()}")
        except subprocess.TimeoutExpired:
            return process

    def stop_dhcp_server(self, process):
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)

    def close(self):
        if self.created:
            subprocess.run(["ip", "netns", "delete", self.name], capture_output=True)
            self.created = False


class Guest:
    """QEMU running the image, its serial console read by a thread into a log file."""

    def __init__(self, lab, arch, image, work):
        self.lab = lab
        self.arch = arch
        self.work = work
        self.disk = os.path.join(work, "disk.img")
        # The image stays as built: every run boots a copy.
        subprocess.run(["cp", "--sparse=always", os.path.join(image, "disk.img"), self.disk],
                       check=True)
        self.kernel = os.path.join(image, "kernel")
        self.initrd = os.path.join(image, "initrd")
        self.console_log = os.path.join(work, "console.log")
        self.process = None
        self.output = ""
        self.lock = threading.Condition()
        self.reader = None
        self.marker = 0
        self.started = None

    def start(self):
        append = (f"root=/dev/vda rw console={CONSOLE[self.arch]} net.ifnames=0 "
                  "systemd.show_status=false loglevel=4 panic=-1")
        qemu = QEMU[self.arch] + [
            "-accel", "tcg", "-m", "768", "-smp", "1",
            "-display", "none", "-monitor", "none", "-serial", "stdio",
            "-kernel", self.kernel, "-initrd", self.initrd, "-append", append,
            "-drive", f"file={self.disk},format=raw,if=none,id=disk",
            "-device", "virtio-blk-pci,drive=disk",
            "-netdev", f"tap,id=lan,ifname={TAP},script=no,downscript=no",
            "-device", f"virtio-net-pci,netdev=lan,mac={CONTROLLER_MAC}",
        ]
        self.started = time.monotonic()
        self.process = subprocess.Popen(self.lab.command(qemu), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        with open(self.console_log, "ab") as log:
            while True:
                chunk = self.process.stdout.read1(4096)
                if not chunk:
                    break
                log.write(chunk)
                log.flush()
                text = chunk.decode("utf-8", "replace").replace("\r", "")
                with self.lock:
                    self.output += text
                    self.lock.notify_all()

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def console_tail(self, lines=60):
        with self.lock:
            text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", self.output)
        return "\n".join(text.splitlines()[-lines:])

    def _send(self, text):
        self.process.stdin.write(text.encode())
        self.process.stdin.flush()

    def _wait_for(self, pattern, since, deadline):
        """Waits until pattern appears in the console output after offset since."""
        with self.lock:
            while True:
                found = re.compile(pattern).search(self.output, since)
                if found:
                    return found
                if not self.alive():
                    raise Failure("QEMU ended")
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.lock.wait(min(left, 1.0))

    def wait_for_shell(self, timeout):
        """Waits for the autologin shell on the console; sets it up for commands."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                self.sh("stty -echo; export PS1= PAGER=cat SYSTEMD_COLORS=0 TERM=dumb; "
                        "dmesg -n 1", timeout=min(10, max(1, deadline - time.monotonic())))
                return time.monotonic() - self.started
            except TimeoutError:
                continue
        raise Failure(f"no shell on the console within {timeout} s")

    def sh(self, command, timeout=60, expect_status=0):
        """Runs command in the console's shell; returns its output. A status other than
        expect_status (None: any) fails the check."""
        self.marker += 1
        tag = f"KRV-DONE-{self.marker}"
        with self.lock:
            since = len(self.output)
        # The marker is printed only when the command has run; its typed form never matches.
        self._send(f"{command}\necho {tag}-$?-END\n")
        found = self._wait_for(tag + r"-(\d+)-END", since, time.monotonic() + timeout)
        if found is None:
            raise TimeoutError(f"console: no answer within {timeout} s to: {command}")
        with self.lock:
            output = self.output[since:found.start()]
        lines = [line for line in output.split("\n")
                 if command.split("\n")[0] not in line and f"echo {tag}" not in line]
        output = "\n".join(lines).strip("\n")
        status = int(found.group(1))
        if expect_status is not None and status != expect_status:
            raise Failure(f"guest: `{command}` gave status {status}: {output}")
        return output

    def close(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
        if self.process is not None:
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                pass
        if self.reader is not None:
            self.reader.join(timeout=5)
        if os.path.exists(self.disk):
            os.remove(self.disk)


class Krvctl:
    """The host's krvctl in the lab's namespace, on the lab's bridge."""

    def __init__(self, lab, program):
        self.lab = lab
        self.program = program

    def __call__(self, *args, timeout_s=30, expect_status=0):
        argv = self.lab.command([self.program, "--interface", BRIDGE, "--timeout",
                                 str(timeout_s)] + list(args))
        started = time.monotonic()
        result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout_s * 6 + 30)
        elapsed = time.monotonic() - started
        if expect_status is not None and result.returncode != expect_status:
            raise Failure(f"krvctl {' '.join(args)} gave status {result.returncode} "
                          f"(wanted {expect_status}):\n{result.stdout}{result.stderr}")
        return result, elapsed


class Datagrams:
    """A UDP socket on the lab's bridge for the protocol's port: sends QUERY floods and counts
    the STATUS replies it hears."""

    def __init__(self, lab):
        self.lab = lab

    def flood(self, rate, seconds, mac, linger=0):
        """Sends rate QUERY datagrams a second for seconds, then listens linger seconds more;
        returns (sent, STATUS heard while sending, STATUS heard after)."""
        script = FLOOD_SCRIPT.format(bridge=BRIDGE, rate=rate, seconds=seconds, mac=mac,
                                     linger=linger)
        result = run(self.lab.command(["python3", "-c", script]), timeout=seconds + linger + 60)
        return tuple(int(number) for number in result.stdout.split())


# Runs inside the lab's namespace (ip netns exec), so as its own process.
FLOOD_SCRIPT = """
import os, select, socket, time
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"{bridge}")
sock.bind(("", 7217))
start = time.monotonic()
sent = 0
heard = [0, 0]
while True:
    elapsed = time.monotonic() - start
    if elapsed >= {seconds} + {linger}:
        break
    sending = elapsed < {seconds}
    due = int(elapsed * {rate}) + 1 if sending else sent
    while sent < due:
        sock.sendto(("KRV2#QUERY#seqid=" + os.urandom(8).hex() + "#mac={mac}").encode(),
                    ("255.255.255.255", 7217))
        sent += 1
    ready, _, _ = select.select([sock], [], [], 1.0 / {rate})
    while ready:
        heard[0 if sending else 1] += sock.recv(2048).startswith(b"KRV2#STATUS#")
        ready, _, _ = select.select([sock], [], [], 0)
print(sent, heard[0], heard[1])
"""


def which(program):
    return shutil.which(program)
