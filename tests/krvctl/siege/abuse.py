#!/usr/bin/python3
"""Abuse for krvctl web, one kind per subcommand, each bounded in count and time; every
subcommand prints one JSON object with what it saw. Used by the siege test and the endurance
script. Run it only inside network namespaces made for the purpose: the responder broadcasts.

  responder   a device that answers every QUERY with many STATUS replies from new MACs
  slow        connections that trickle one header byte at a time, and idle ones
  probe       timed GET /api/controllers, each on a connection of its own
  chunked     a chunked POST without end, with or without the token
  headers     a request with very many headers
  discover    concurrent POST /api/discover, timing GET /api/controllers meanwhile
  refused     requests from a foreign page (Origin), then the event log's size
  duplicate   an assignment whose JSON names a key twice
"""

import argparse
import http.client
import json
import os
import random
import select
import socket
import statistics
import sys
import threading
import time

PORT = 7217
FOREIGN_ORIGIN = "http://127.0.0.1:7281"


def emit(result):
    print(json.dumps(result), flush=True)


def host_port(url):
    host, port = url.removeprefix("http://").rstrip("/").split(":")
    return host, int(port)


def connection(url, timeout):
    host, port = host_port(url)
    return http.client.HTTPConnection(host, port, timeout=timeout)


def call(url, method, path, body=None, headers=None, timeout=30.0):
    """(status, body bytes, seconds); status 0 when the connection failed or timed out."""
    start = time.monotonic()
    client = connection(url, timeout)
    try:
        client.request(method, path, body=body, headers=headers or {})
        response = client.getresponse()
        data = response.read()
        return response.status, data, time.monotonic() - start
    except (OSError, http.client.HTTPException):
        return 0, b"", time.monotonic() - start
    finally:
        client.close()


def token(url):
    status, data, _ = call(url, "GET", "/api/session")
    if status != 200:
        sys.exit(f"no session from {url}: {status}")
    return json.loads(data)["token"]


def raw_connect(url, timeout=5.0):
    sock = socket.create_connection(host_port(url), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def read_status(sock, timeout):
    """The status of the answer on a raw connection, 0 when it closed without one."""
    sock.settimeout(timeout)
    data = b""
    try:
        while b"\r\n" not in data and len(data) < 65536:
            chunk = sock.recv(4096)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    try:
        return int(data.split(b" ", 2)[1])
    except (IndexError, ValueError):
        return 0


# --- the LAN ---

STATUS_KEYS = ["ip", "netmask", "gateway", "hostname", "ipscheme", "ntpip", "sdusage", "sdkversion"]


def status_reply(seqid, mac, address, padding):
    clock = time.strftime("%Y%m%d%H%M%S", time.gmtime())
    values = {"ip": address, "netmask": "255.255.255.0", "gateway": "192.0.2.1",
              "hostname": "stranger-" + mac.replace(":", "")[-6:] + "x" * padding,
              "ipscheme": "STATIC", "ntpip": "192.0.2.123", "sdusage": "37%", "sdkversion": "5.4.2"}
    items = [f"seqid={seqid}", f"mac={mac}"] + [f"{key}={values[key]}" for key in STATUS_KEYS]
    items += [f"utcclock={clock}", "displaytime="]
    return ("KRV2#STATUS#" + "#".join(items)).encode()


def responder(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.bind(("0.0.0.0", PORT))
    sock.settimeout(0.5)
    address = args.address
    base = len(status_reply("0" * 16, "02:00:00:00:00:00", address, 0))
    padding = max(0, args.reply_bytes - base)
    end = time.monotonic() + args.seconds
    queries = replies = 0
    while time.monotonic() < end:
        try:
            data, _ = sock.recvfrom(65536)
        except socket.timeout:
            continue
        if not data.startswith(b"KRV2#QUERY#"):
            continue
        seqid = data.split(b"seqid=", 1)[1].split(b"#", 1)[0].decode(errors="replace")
        queries += 1
        for index in range(args.replies):
            if args.fixed:
                mac = f"02:00:00:4B:{index // 256:02X}:{index % 256:02X}"
            else:
                mac = "02:" + ":".join(f"{random.randrange(256):02X}" for _ in range(5))
            try:
                sock.sendto(status_reply(seqid, mac, address, padding), ("255.255.255.255", PORT))
                replies += 1
            except OSError:
                time.sleep(0.001)
    emit({"queries": queries, "replies": replies})


# --- slow and idle clients ---

def slow(args):
    host, port = host_port(args.url)
    start_line = f"GET /api/controllers HTTP/1.1\r\nHost: {host}:{port}\r\nX-Slow: ".encode()
    trickling, idle = [], []
    closed = {"trickle": 0, "idle": 0}
    failed = 0

    def fill(group, count, first):
        nonlocal failed
        while len(group) < count:
            try:
                sock = raw_connect(args.url)
                if first:
                    sock.send(first)
                group.append(sock)
            except OSError:
                failed += 1
                return

    end = time.monotonic() + args.seconds
    next_byte = time.monotonic()
    while time.monotonic() < end:
        fill(trickling, args.trickle, start_line)
        fill(idle, args.idle, b"")
        ready, _, _ = select.select(trickling + idle, [], [], 0.2)
        for sock in ready:
            try:
                gone = not sock.recv(65536)
            except OSError:
                gone = True
            if gone:
                group = "trickle" if sock in trickling else "idle"
                (trickling if group == "trickle" else idle).remove(sock)
                closed[group] += 1
                sock.close()
        if time.monotonic() >= next_byte:
            next_byte += args.interval
            for sock in list(trickling):
                try:
                    sock.send(b"x")
                except OSError:
                    trickling.remove(sock)
                    closed["trickle"] += 1
                    sock.close()
    for sock in trickling + idle:
        sock.close()
    emit({"trickleClosed": closed["trickle"], "idleClosed": closed["idle"], "connectFailures": failed})


def probe(args):
    times, sizes, statuses = [], [], []
    end = time.monotonic() + args.seconds
    for _ in range(args.count):
        if time.monotonic() > end:
            break
        status, data, took = call(args.url, "GET", "/api/controllers", timeout=args.timeout)
        times.append(round(took * 1000, 1))
        sizes.append(len(data))
        statuses.append(status)
        if status == 200 and args.show_counts:
            body = json.loads(data)
            args.counts = {key: body.get(key) for key in
                           ("known", "listed", "omitted", "evicted", "forgotten", "turnedAway")}
            args.counts["rows"] = len(body["controllers"])
        time.sleep(args.interval)
    emit({"count": len(times), "failures": sum(1 for s in statuses if s != 200),
          "maxMs": max(times, default=0), "medianMs": statistics.median(times) if times else 0,
          "maxBytes": max(sizes, default=0), "timesMs": times,
          **({"counts": getattr(args, "counts", None)} if args.show_counts else {})})


# --- bodies and headers ---

def chunked(args):
    host, port = host_port(args.url)
    headers = [f"POST /api/controllers/02:00:00:4B:10:01/assign HTTP/1.1",
               f"Host: {'rebound.attacker.example:' + str(port) if args.foreign_host else f'{host}:{port}'}",
               "Content-Type: application/json", "Transfer-Encoding: chunked"]
    if args.token:
        headers.append("X-Krvctl-Token: " + token(args.url))
    sock = raw_connect(args.url)
    sock.sendall(("\r\n".join(headers) + "\r\n\r\n").encode())
    chunk = b"%x\r\n" % 65536 + b"{" * 65536 + b"\r\n"
    sent = 0
    start = time.monotonic()
    total = args.megabytes * 1024 * 1024
    sock.settimeout(10)
    try:
        while sent < total and time.monotonic() - start < args.seconds:
            sock.sendall(chunk)
            sent += 65536
        sock.sendall(b"0\r\n\r\n")
    except OSError:
        pass
    status = read_status(sock, 10)
    sock.close()
    emit({"status": status, "sentBytes": sent, "seconds": round(time.monotonic() - start, 2)})


def headers(args):
    host, port = host_port(args.url)
    lines = [f"GET /api/session HTTP/1.1", f"Host: {host}:{port}"]
    lines += [f"X-H{i}: {i}" for i in range(args.count)]
    data = ("\r\n".join(lines) + "\r\n\r\n").encode()
    sock = raw_connect(args.url)
    sock.settimeout(10)
    sent = 0
    start = time.monotonic()
    try:
        while sent < len(data):
            sent += sock.send(data[sent:sent + 65536])
    except OSError:
        pass
    status = read_status(sock, 10)
    sock.close()
    emit({"status": status, "requestBytes": len(data), "sentBytes": sent,
          "seconds": round(time.monotonic() - start, 2)})


# --- the LAN worker ---

def discover(args):
    secret = token(args.url)
    if args.rounds > 1:
        statuses = []
        for _ in range(args.rounds):
            status, _, _ = call(args.url, "POST", "/api/discover",
                                headers={"X-Krvctl-Token": secret}, timeout=args.seconds)
            statuses.append(status)
        emit({"statuses": {str(s): statuses.count(s) for s in set(statuses)}})
        return
    results = [None] * args.concurrent

    def one(index):
        status, _, took = call(args.url, "POST", "/api/discover", headers={"X-Krvctl-Token": secret},
                               timeout=args.seconds)
        results[index] = (status, round(took * 1000, 1))

    threads = [threading.Thread(target=one, args=(i,)) for i in range(args.concurrent)]
    for thread in threads:
        thread.start()
    time.sleep(0.2)
    probes = []
    while any(thread.is_alive() for thread in threads) and len(probes) < 200:
        status, _, took = call(args.url, "GET", "/api/controllers", timeout=args.seconds)
        probes.append((status, round(took * 1000, 1)))
        time.sleep(0.25)
    for thread in threads:
        thread.join(args.seconds)
    emit({"statuses": [r[0] if r else 0 for r in results],
          "discoverMs": [r[1] if r else None for r in results],
          "probeMaxMs": max((p[1] for p in probes), default=0),
          "probeFailures": sum(1 for p in probes if p[0] != 200), "probes": len(probes)})


# --- the log ---

def refused(args):
    statuses = {}
    for _ in range(args.count):
        status, _, _ = call(args.url, "GET", "/api/session", headers={"Origin": FOREIGN_ORIGIN},
                            timeout=10)
        statuses[status] = statuses.get(status, 0) + 1
    status, data, took = call(args.url, "GET", "/api/events?after=0", timeout=30)
    kinds = {}
    if status == 200:
        for event in json.loads(data)["events"]:
            kinds[event["kind"]] = kinds.get(event["kind"], 0) + 1
    emit({"statuses": statuses, "eventsBytes": len(data), "eventsMs": round(took * 1000, 1),
          "kinds": kinds})


def events(args):
    status, data, took = call(args.url, "GET", "/api/events?after=0", timeout=30)
    emit({"status": status, "bytes": len(data), "ms": round(took * 1000, 1)})


def duplicate(args):
    body = '{"ntpip": "192.0.2.5", "ntpip": "192.0.2.6"}'
    status, data, _ = call(args.url, "POST", f"/api/controllers/{args.mac}/assign", body=body,
                           headers={"X-Krvctl-Token": token(args.url),
                                    "Content-Type": "application/json"}, timeout=60)
    emit({"status": status, "body": data.decode(errors="replace")[:300]})


def memory(args):
    fields = {}
    with open(f"/proc/{args.pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                fields[name] = int(value.split()[0])
    fields["fds"] = len(os.listdir(f"/proc/{args.pid}/fd"))
    emit(fields)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)

    def command(name, function, url=True):
        sub = commands.add_parser(name)
        sub.set_defaults(function=function)
        if url:
            sub.add_argument("--url", default="http://127.0.0.1:7280")
        return sub

    sub = command("responder", responder, url=False)
    sub.add_argument("--replies", type=int, default=200)
    sub.add_argument("--reply-bytes", type=int, default=0)
    sub.add_argument("--address", default="192.0.2.66")
    sub.add_argument("--fixed", action="store_true", help="the same MACs every time")
    sub.add_argument("--seconds", type=float, default=60)
    sub = command("slow", slow)
    sub.add_argument("--trickle", type=int, default=12)
    sub.add_argument("--idle", type=int, default=200)
    sub.add_argument("--interval", type=float, default=3)
    sub.add_argument("--seconds", type=float, default=30)
    sub = command("probe", probe)
    sub.add_argument("--count", type=int, default=20)
    sub.add_argument("--interval", type=float, default=0.5)
    sub.add_argument("--timeout", type=float, default=30)
    sub.add_argument("--seconds", type=float, default=120)
    sub.add_argument("--show-counts", action="store_true")
    sub = command("chunked", chunked)
    sub.add_argument("--megabytes", type=int, default=48)
    sub.add_argument("--token", action="store_true")
    sub.add_argument("--foreign-host", action="store_true")
    sub.add_argument("--seconds", type=float, default=60)
    sub = command("headers", headers)
    sub.add_argument("--count", type=int, default=100000)
    sub = command("discover", discover)
    sub.add_argument("--concurrent", type=int, default=12)
    sub.add_argument("--rounds", type=int, default=1, help="one after another, without probes")
    sub.add_argument("--seconds", type=float, default=120)
    sub = command("refused", refused)
    sub.add_argument("--count", type=int, default=1100)
    command("events", events)
    sub = command("duplicate", duplicate)
    sub.add_argument("--mac", default="02:00:00:4B:10:01")
    sub = command("memory", memory, url=False)
    sub.add_argument("--pid", type=int, required=True)
    args = parser.parse_args()
    args.function(args)


if __name__ == "__main__":
    main()
