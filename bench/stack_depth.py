"""How deep the daemon's threads reach into their stacks: drives every kind of rule (TCP by name
through the resolver, the Host check, TCP and UDP echo with large pieces, a UDP rule, the DNS relay
answering and forwarding, a 31,000-byte datagram), then reads each thread stack's lowest page ever
touched from /proc/PID/pagemap. A stack page, once touched, stays until the thread ends, so this is
each thread's deepest point so far. Run inside scripts/netns-run:

    VEXAPROXY_BIN=$PWD/build/release/vexaproxy scripts/netns-run /usr/bin/python3 bench/stack_depth.py
"""
import collections
import os
import socket
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "system"))
import peers  # noqa: E402
import vexa  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")
CONFIG = vexa.config(
    '<Port TypProt="TCP" PortLocal="8001" PortRemote="8003" IPRemote="target.example"/>',
    '<Port TypProt="TCP" PortLocal="8002" PortRemote="8000" IPRemote="127.0.0.3" HTTPHost="portal.lan"/>',
    '<Port TypProt="TCP" PortLocal="7007" Echo="0"/>',
    '<Port TypProt="UDP" PortLocal="5300" PortRemote="5353" IPRemote="127.0.0.2"/>',
    '<Port TypProt="UDP" PortLocal="7008" Echo="0"/>',
    '<DNS Name="printer.lan" IP="192.168.0.50"/>', dns_srv="127.0.0.2")


def echo(c):
    while data := c.recv(65536):
        c.sendall(data)


def stacks(pid):
    """(start, end) of every thread's stack: the mapping that holds the stack pointer each thread
    shows while it waits in a system call (/proc/PID/task/TID/syscall), the main thread's excepted."""
    maps = []
    with open("/proc/%d/maps" % pid) as f:
        for line in f:
            start, end = (int(x, 16) for x in line.split()[0].split("-"))
            maps.append((start, end))
    found = set()
    for task in os.listdir("/proc/%d/task" % pid):
        if int(task) == pid:
            continue
        with open("/proc/%d/task/%s/syscall" % (pid, task)) as f:
            fields = f.read().split()
        if len(fields) >= 8:  # "running" has no stack pointer: such a thread is left out
            sp = int(fields[-2], 16)
            found.update(m for m in maps if m[0] <= sp < m[1])
    return sorted(found)


def depth(pid, start, end):
    """Bytes from the top of the mapping down to its lowest resident page."""
    with open("/proc/%d/pagemap" % pid, "rb") as f:
        f.seek(start // PAGE * 8)
        entries = f.read((end - start) // PAGE * 8)
    for i in range(0, len(entries), 8):
        if struct.unpack_from("<Q", entries, i)[0] & (3 << 62):  # present or swapped
            return end - (start + i // 8 * PAGE)
    return 0


def drive():
    payload = os.urandom(1 << 20)
    for _ in range(5):
        assert peers.tcp_exchange("127.0.0.1", 8001, payload, timeout=10) == payload
        assert peers.tcp_exchange("127.0.0.1", 7007, payload, timeout=10) == payload
        assert b"demo portal" in peers.http_get("127.0.0.1", 8002, "portal.lan")
    big = os.urandom(31000)  # the largest datagram a UDP rule relays whole is 32,000 bytes
    assert peers.udp_exchange("127.0.0.1", 7008, big)[0] == big
    for args in (["-p", "5300", "upstream.example"], ["printer.lan"], ["upstream.example"]):
        out = subprocess.run(["dig", "@127.0.0.1", "+time=2", "+tries=1", *args], capture_output=True, text=True).stdout
        assert "status: NOERROR" in out, out


def main():
    assert vexa.in_private_namespaces(), "run inside scripts/netns-run"
    with open("/etc/resolv.conf", "w") as f:  # the namespace's own /etc
        f.write("nameserver 127.0.0.2\n")
    with open("/etc/nsswitch.conf", "w") as f:
        f.write("hosts: files dns\n")
    names = (("upstream.example", "10.9.8.7"), ("target.example", "127.0.0.3"))
    with peers.WebServer(), peers.DnsServer(names=names), peers.TcpTarget("127.0.0.3", 8003, echo):
        d = vexa.Daemon(CONFIG).start(listed=True)
        try:
            drive()
            pid = d.proc.pid
            found = stacks(pid)
            depths = sorted(depth(pid, s, e) for s, e in found)
            sizes = sorted({(e - s) // 1024 for s, e in found})
        finally:
            d.stop()
    counts = collections.Counter(x // 1024 for x in depths)
    print("%d thread stacks (mappings of %s KiB); deepest %.1f KiB" % (
        len(depths), ", ".join(map(str, sizes)), max(depths) / 1024))
    print("KiB reached: " + ", ".join("%d: %d threads" % (k, v) for k, v in sorted(counts.items())))


if __name__ == "__main__":
    main()
