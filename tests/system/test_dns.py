"""The DNS relay on port 53 with real peers: dig and dnspython as clients, dnsmasq as the upstream
server on 127.0.0.2 (port 5353, reached as port 53 through an nftables redirect)."""
import os
import re
import socket
import subprocess
import threading
import time

import dns.flags
import dns.message
import pytest

import peers
import vexa



CONFIG = """<?xml version="1.0"?>
<VEXAProxy DNSSrv="%s">
  <DNS Name="printer.lan" IP="192.168.0.50" Note="office"/>
</VEXAProxy>
"""
TIME = r"\d\d\.\d\d\.\d{4} \d\d:\d\d\.\d\d"


def port53_open():
    with open("/proc/net/udp") as f:
        return any(line.split()[1] == "00000000:0035" for line in f.readlines()[1:])


def wait_port53():
    deadline = time.monotonic() + 10
    while not port53_open():
        assert time.monotonic() < deadline, "port 53 never opened"
        time.sleep(0.05)


@pytest.fixture
def upstream():
    """dnsmasq on 127.0.0.2, reached on port 53 through a redirect: the relay holds port 53 itself."""
    with peers.DnsServer(names={"printer.lan": "10.9.9.9", "other.lan": "10.2.2.2"}) as server:
        yield server


def ask(wire, sport=0, timeout=3):
    """Sends one datagram to the relay; returns the raw answer (None on time-out)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", sport))
        s.settimeout(timeout)
        s.sendto(wire, ("127.0.0.1", 53))
        try:
            data, peer = s.recvfrom(65535)
        except socket.timeout:
            return None
        assert peer == ("127.0.0.1", 53)
        return data


def dig(*args):
    out = subprocess.run(["dig", "@127.0.0.1", "+tries=1", "+time=3"] + list(args),
                         capture_output=True, text=True, timeout=10).stdout
    flags = re.search(r";; flags: ([a-z ]*);", out).group(1).split()
    answers = re.findall(r"^(\S+)\s+(\d+)\s+IN\s+A\s+(\S+)$", out, re.M)
    return flags, answers


def test_configured_name_is_answered_by_the_relay_itself(daemon, upstream):
    daemon(CONFIG % "127.0.0.2")
    wait_port53()
    flags, answers = dig("+noedns", "printer.lan", "A")
    assert "qr" in flags and "rd" not in flags
    assert answers == [("printer.lan.", "11227", "192.168.0.50")]

    q = dns.message.make_query("printer.lan", "A")  # no EDNS, RD set
    raw = ask(q.to_wire())
    r = dns.message.from_wire(raw)
    assert r.id == q.id
    assert r.flags & dns.flags.QR and not r.flags & dns.flags.RD
    assert [(rr.ttl, rr[0].address) for rr in r.answer] == [(11227, "192.168.0.50")]
    time.sleep(0.2)
    assert not any("printer.lan" in q.lower() for q in upstream.queries())


@pytest.mark.parametrize("args,address", [
    (["+noedns", "+norecurse", "printer.lan"], "10.9.9.9"),
    (["printer.lan"], "10.9.9.9"),  # dig sends EDNS by default
    (["+noedns", "Printer.lan"], "10.9.9.9"),
    (["+noedns", "other.lan"], "10.2.2.2"),
])
def test_other_queries_are_answered_by_the_server(daemon, upstream, args, address):
    daemon(CONFIG % "127.0.0.2")
    wait_port53()
    before = len(upstream.queries())
    flags, answers = dig(*(args + ["A"]))
    assert "qr" in flags
    assert [a[2] for a in answers] == [address]
    assert len(upstream.queries()) == before + 1


def test_log_lines_of_one_client(daemon, upstream):
    d = daemon(CONFIG % "127.0.0.2")
    wait_port53()
    local = dns.message.make_query("printer.lan", "A").to_wire()
    fwd = dns.message.make_query("other.lan", "A").to_wire()
    answer_local = ask(local, sport=40053)
    answer_fwd = ask(fwd, sport=40053)
    assert answer_local and answer_fwd

    # The main log is written by its own thread: wait for the line before counting.
    d.wait_for(re.compile("^DNS0"))
    assert [l for l in d.main() if l.startswith("DNS0")] == ["DNS00053 00001  127.0.0.1:40053 connect"]

    def hexed(b):
        return "".join("%02X " % x for x in b)

    cli, srv = "00001 127.000.000.001:40053 ", "00001 127.000.000.002:00053 "
    expected = [
        cli + " " + TIME + "<" + hexed(local),
        cli + ">" + TIME + " " + hexed(answer_local),
        cli + " " + TIME + "<" + hexed(fwd),
        srv + ">" + TIME + " " + hexed(fwd),
        srv + " " + TIME + "<" + hexed(answer_fwd),
        cli + ">" + TIME + " " + hexed(answer_fwd),
    ]
    lines = d.wait_for(re.compile("^00001 "), log="dns", count=6)
    assert len(lines) == 6
    for line, pattern in zip(lines, expected):
        assert re.fullmatch(re.escape(pattern).replace(re.escape(TIME), TIME), line), line


def test_empty_dnssrv_leaves_port_53_closed(daemon):
    d = daemon(CONFIG % "")
    time.sleep(0.5)
    assert not port53_open()
    assert not any(l.startswith("CDNSPort") for l in d.main())
    d.stop()


@pytest.fixture
def unreachable_resolver():
    """Points the namespace's resolver at an address without a route: name look-ups fail at once."""
    path = "/etc/resolv.conf"
    link = os.readlink(path) if os.path.islink(path) else None
    saved = None if link or not os.path.exists(path) else open(path).read()
    if os.path.lexists(path):
        os.unlink(path)  # /etc is a private overlay: the host's file is untouched
    with open(path, "w") as f:
        f.write("nameserver 192.0.2.1\noptions timeout:1 attempts:1\n")
    yield
    os.unlink(path)
    if link:
        os.symlink(link, path)
    elif saved is not None:
        with open(path, "w") as f:
            f.write(saved)


def test_unresolvable_server_is_logged_and_the_daemon_stays_up(daemon, unreachable_resolver):
    d = daemon(CONFIG % "dns.relay-test.invalid")
    wait_port53()
    for sport in (40101, 40102):
        assert ask(dns.message.make_query("other.lan", "A").to_wire(), sport=sport, timeout=1) is None
    d.wait_for("CDNSCli::Start getaddrinfo()", count=2)
    lines = d.main()
    assert "DNS00053 00001  127.0.0.1:40101 connect" in lines
    assert "DNS00053 00002  127.0.0.1:40102 connect" in lines
    # Names of the configuration are still answered.
    assert ask(dns.message.make_query("printer.lan", "A").to_wire(), sport=40101)
    d.stop()


def test_many_clients_all_answered(daemon, upstream):
    daemon(CONFIG % "127.0.0.2")
    wait_port53()
    total = int(os.environ.get("VEXA_DNS_QUERIES", "50000"))
    clients = 100
    local = dns.message.make_query("printer.lan", "A").to_wire()
    forwarded = dns.message.make_query("other.lan", "A").to_wire()
    answered = [0] * clients

    def client(c):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            s.settimeout(5)
            for i in range(c, total, clients):
                ident = (i & 0xFFFF).to_bytes(2, "big")
                s.sendto(ident + (local if (i // clients) % 2 else forwarded)[2:], ("127.0.0.1", 53))
                while True:  # a late answer to an earlier query is skipped
                    try:
                        data = s.recv(512)
                    except socket.timeout:
                        break
                    if data[:2] == ident and data[2] & 0x80:
                        answered[c] += 1
                        break

    threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sum(answered) == total
