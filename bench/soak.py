"""Soak run of the real daemon (scripts/soak.sh): TCP bytes with integrity checks, UDP datagrams and
DNS queries through it at the same time, all on loopback in private namespaces, for a bounded time.
Reports errors, lost data and the daemon's memory, threads and descriptors over time."""
import argparse
import hashlib
import os
import random
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import peers  # noqa: E402
import vexa  # noqa: E402

CONFIG = """<?xml version="1.0"?>
<VEXAProxy DNSSrv="127.0.0.2">
  <Port TypProt="TCP" PortLocal="8081" PortRemote="9000" IPRemote="127.0.0.3"/>
  <Port TypProt="UDP" PortLocal="5301" PortRemote="9001" IPRemote="127.0.0.5"/>
  <DNS Name="printer.lan" IP="192.168.0.50"/>
</VEXAProxy>
"""


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.v = {}

    def add(self, key, n=1):
        with self.lock:
            self.v[key] = self.v.get(key, 0) + n


def tcp_echo_server(stop):
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.3", 9000))
    srv.listen(64)

    def serve(c):
        with c:
            while True:
                data = c.recv(1 << 16)
                if not data:
                    return
                c.sendall(data)

    def run():
        while not stop.is_set():
            try:
                c, _ = srv.accept()
            except OSError:
                return
            threading.Thread(target=serve, args=(c,), daemon=True).start()

    threading.Thread(target=run, daemon=True).start()
    return srv


def udp_echo_server():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.5", 9001))

    def run():
        while True:
            try:
                data, a = s.recvfrom(65535)
                s.sendto(data, a)
            except OSError:
                return

    threading.Thread(target=run, daemon=True).start()
    return s


def tcp_load(total, deadline, stats):
    """Connections of 1 MiB each, echoed back through the relay; every byte compared."""
    chunk = 1 << 20
    while stats.v.get("tcp_bytes", 0) < total and time.monotonic() < deadline:
        payload = os.urandom(chunk)
        try:
            with socket.create_connection(("127.0.0.1", 8081), timeout=10) as s:
                sender = threading.Thread(target=s.sendall, args=(payload,))
                sender.start()
                got = bytearray()
                while len(got) < len(payload):
                    data = s.recv(1 << 16)
                    if not data:
                        break
                    got += data
                sender.join()
            if hashlib.sha256(got).digest() != hashlib.sha256(payload).digest():
                stats.add("tcp_corrupt_or_short")
            stats.add("tcp_bytes", len(got))
        except OSError:
            stats.add("tcp_errors")


def windowed(sock, dest, make, check, count, deadline, stats, prefix, window=32):
    sock.settimeout(1.0)
    sent = 0
    while sent < count and time.monotonic() < deadline:
        batch = [make(sent + i) for i in range(min(window, count - sent))]
        for b in batch:
            sock.sendto(b, dest)
        want = {check(b) for b in batch}
        try:
            while want:
                data, _ = sock.recvfrom(65535)
                want.discard(check(data))
        except socket.timeout:
            pass
        stats.add(prefix + "_sent", len(batch))
        stats.add(prefix + "_lost", len(want))
        sent += len(batch)


def udp_load(count, deadline, stats):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        windowed(s, ("127.0.0.1", 5301), lambda i: struct.pack(">Q", i) + b"u" * 56,
                 lambda b: b[:8], count, deadline, stats, "udp")


def dns_query(i, name):
    q = struct.pack(">HHHHHH", i & 0xFFFF, 0x0100, 1, 0, 0, 0)
    for label in name.split("."):
        q += bytes([len(label)]) + label.encode()
    return q + b"\0\0\1\0\1"


def dns_load(count, deadline, stats, random_ports):
    """Half the queries answered locally, half forwarded to dnsmasq."""
    names = ["printer.lan", "host.soak.test"]
    if not random_ports:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            windowed(s, ("127.0.0.1", 53), lambda i: dns_query(i, names[i % 2]), lambda b: b[:2],
                     count, deadline, stats, "dns")
        return
    # What real resolvers do: every query from a fresh source port, several clients at once.
    def client(first, n):
        for i in range(first, first + n):
            if time.monotonic() >= deadline:
                return
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.settimeout(2)
                s.sendto(dns_query(i, names[i % 2]), ("127.0.0.1", 53))
                try:
                    s.recvfrom(4096)
                except socket.timeout:
                    stats.add("dns_lost")
            stats.add("dns_sent")

    per = count // random_ports
    workers = [threading.Thread(target=client, args=(k * per, per)) for k in range(random_ports)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def proc_sample(pid):
    status = open("/proc/%d/status" % pid).read()
    field = {l.split(":")[0]: l.split(":")[1].strip() for l in status.splitlines() if ":" in l}
    return (int(field["VmRSS"].split()[0]), int(field["Threads"]), len(os.listdir("/proc/%d/fd" % pid)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--tcp-bytes", type=int, default=1 << 30)
    ap.add_argument("--udp", type=int, default=1_000_000)
    ap.add_argument("--dns", type=int, default=1_000_000)
    ap.add_argument("--dns-random-ports", type=int, default=0, metavar="CLIENTS",
                    help="send every DNS query from a fresh source port, from CLIENTS threads at once")
    args = ap.parse_args()

    stop = threading.Event()
    tsrv = tcp_echo_server(stop)
    usrv = udp_echo_server()
    with peers.DnsServer(names={"host.soak.test": "10.0.0.7"}) as _:
        d = vexa.Daemon(CONFIG).start()
        stats = Stats()
        start = time.monotonic()
        deadline = start + args.seconds
        loads = [threading.Thread(target=tcp_load, args=(args.tcp_bytes, deadline, stats)),
                 threading.Thread(target=udp_load, args=(args.udp, deadline, stats)),
                 threading.Thread(target=dns_load, args=(args.dns, deadline, stats, args.dns_random_ports))]
        for t in loads:
            t.start()
        peak = [0, 0, 0]
        print("   s   rss_kB threads fds  tcp_MB  udp_sent dns_sent")
        while any(t.is_alive() for t in loads):
            time.sleep(min(10, max(1, args.seconds // 20)))
            rss, thr, fds = proc_sample(d.proc.pid)
            peak = [max(a, b) for a, b in zip(peak, (rss, thr, fds))]
            print("%4d %8d %7d %4d %7d %9d %8d" % (time.monotonic() - start, rss, thr, fds,
                  stats.v.get("tcp_bytes", 0) >> 20, stats.v.get("udp_sent", 0), stats.v.get("dns_sent", 0)),
                  flush=True)
        for t in loads:
            t.join()
        elapsed = time.monotonic() - start
        d.stop()
    stop.set()
    tsrv.close()
    usrv.close()
    v = stats.v
    print("elapsed %.0f s" % elapsed)
    print("tcp: %d MiB relayed, %d corrupt or short, %d errors" % (v.get("tcp_bytes", 0) >> 20,
          v.get("tcp_corrupt_or_short", 0), v.get("tcp_errors", 0)))
    for k in ("udp", "dns"):
        sent = v.get(k + "_sent", 0)
        print("%s: %d sent, %d lost, %.0f per second" % (k, sent, v.get(k + "_lost", 0), sent / elapsed))
    print("peak: rss %d kB, %d threads, %d descriptors" % tuple(peak))
    bad = v.get("tcp_corrupt_or_short", 0) + v.get("tcp_errors", 0) + v.get("udp_lost", 0) + v.get("dns_lost", 0)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
