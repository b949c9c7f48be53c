# Where a rule listens and whom it serves, for each kind of port: a rule on 127.0.0.2 is not reached on
# 127.0.0.1, a client outside its Allow list gets nothing (and leaves nothing behind but a count),
# IPv6 and IPv4-mapped clients, the start-up lines of odd entries, per-rule sweep limits and a flood
# of refused datagrams.
import contextlib
import re
import signal
import socket
import threading
import time

import dns.exception
import dns.message
import dns.query
import pytest

import peers
import vexa

ALLOWED, REFUSED = "127.0.0.3", "127.0.0.5"
WHERE = ' IPLocal="127.0.0.2" Allow="%s"' % ALLOWED


# What a client from src gets back for payload from a datagram port at dst; None: nothing in time.
def udp_from(src, dst, port, payload, family=socket.AF_INET, timeout=1):
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        s.bind((src, 0))
        s.settimeout(timeout)
        s.sendto(payload, (dst, port))
        with contextlib.suppress(OSError):  # a timeout, or an ICMP error where nothing listens
            return s.recvfrom(65535)[0]
    return None


def tcp_probe(src, dst):
    with socket.socket() as s:
        s.bind((src, 0))
        s.settimeout(3)
        try:
            s.connect((dst, 8080))
        except ConnectionRefusedError:
            return None
        with contextlib.suppress(OSError):
            s.sendall(b"ping")
        return peers.recv_all(s, 4) == b"ping"


def udp_probe(src, dst):
    return udp_from(src, dst, 5300, b"ping") == b"ping"


def dns_probe(src, dst):
    with contextlib.suppress(dns.exception.Timeout, OSError):
        answer = dns.query.udp(dns.message.make_query("printer.lan", "A"), dst, timeout=1, source=src)
        return "192.168.0.50" in answer.to_text()
    return False


def rm7_probe(src, dst):
    with contextlib.closing(peers.UdpPeer("127.0.0.4", 6000)) as cloud, contextlib.closing(peers.UdpPeer(src)) as device:
        device.sock.sendto(peers.v7_datagram(3, 1234, 1, "status"), (dst, 4999))
        with contextlib.suppress(OSError):
            return bool(cloud.get(timeout=1))
    return False


# kind: its configuration, its line at start, the name and text of its refusals, and a probe.
KINDS = {
    "tcp": (vexa.config('<Port TypProt="TCP" PortLocal="8080" PortRemote="8000" IPRemote="127.0.0.6"%s/>' % WHERE),
            "TCPv4  8080 -> [127.0.0.6]:8000", "TCPv4 08080", "connections closed", tcp_probe),
    "udp": (vexa.config('<Port TypProt="UDP" PortLocal="5300" PortRemote="7007" IPRemote="127.0.0.1"%s/>' % WHERE,
                        '<Port TypProt="UDP" PortLocal="7007" Echo="0"/>'),
            "UDPv4  5300 -> [127.0.0.1]:7007", "UDPv4 05300", "datagrams dropped", udp_probe),
    "dns": (vexa.config('<DNS Name="printer.lan" IP="192.168.0.50"/>', dns_srv="127.0.0.9").replace(
                "<VEXAProxy ", '<VEXAProxy DNSIPLocal="127.0.0.2" DNSAllow="%s" ' % ALLOWED, 1),
            "DNSSrv    53 -> [127.0.0.9]:53", "DNS 00053", "queries dropped", dns_probe),
    "rm7": (vexa.config('<CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6000" VEXACloud="127.0.0.4"%s/>' % WHERE),
            "RM7 UDP 4999 Cloud UDP 5000 -> [127.0.0.4]:6000", "CloudRM7 04999", "datagrams dropped", rm7_probe),
}


@pytest.mark.parametrize("kind", KINDS)
def test_rule_listens_on_its_address_and_serves_its_allow_list_alone(daemon, kind):
    config, line, name, refusals, probe = KINDS[kind]
    contacted = []
    with peers.TcpTarget("127.0.0.6", 8000, lambda c: (contacted.append(1), c.sendall(c.recv(4)))):
        d = daemon(config, listed=True)
        d.wait_for(line + " listen 127.0.0.2 allow " + ALLOWED)
        peers.wait_udp("[::]", 5000) if kind == "rm7" else None
        # (source, address, served): the rule's address from an allowed client, another address of
        # the host from the same client, the rule's address from a client outside the list.
        for src, dst, served in ((ALLOWED, "127.0.0.2", True), (ALLOWED, "127.0.0.1", False), (REFUSED, "127.0.0.2", False)):
            assert bool(probe(src, dst)) == served, (src, dst, d.describe())
        d.wait_for("%s 1 %s: source not in Allow" % (name, refusals))
        assert len(contacted) == (1 if kind == "tcp" else 0)
        d.signal(signal.SIGUSR1)
        d.wait_for("Status end")
        status = [l for l in d.main() if l.startswith("Status ") and " clients " in l]
        assert [l.endswith(" denied 1") for l in status] == [l.startswith("Status " + name) for l in status]
        d.stop()
    assert not any(REFUSED.replace("127.0.0", "127.000.000") in l for l in d.dns())


# IPv4 clients of IPv6 rules arrive mapped and match IPv4 entries; an IPv6 entry over the mapped
# range matches IPv4 clients of IPv4 rules.
def test_ipv6_and_mapped_clients_match_as_written(daemon):
    d = daemon(vexa.config('<Port TypProt="UDPv6" PortLocal="7006" Echo="0" Allow="127.0.0.3 ::1"/>',
                           '<Port TypProt="UDPv6" PortLocal="7016" Echo="0" Allow="fd00::/8"/>',
                           '<Port TypProt="UDP" PortLocal="7004" Echo="0" Allow="::ffff:127.0.0.0/104"/>'), listed=True)
    # (rule, client, served); the IPv4 clients of the IPv6 rules are seen as ::ffff:127.0.0.x.
    cases = [(7006, "::1", True), (7006, "127.0.0.3", True), (7006, "127.0.0.4", False),
             (7016, "::1", False), (7016, "127.0.0.3", False), (7004, "127.0.0.4", True)]
    family = lambda src: socket.AF_INET6 if ":" in src else socket.AF_INET
    got = [(port, src, udp_from(src, src, port, b"hi", family(src)) == b"hi") for port, src, _ in cases]
    assert got == cases, d.describe()


def test_start_lines_name_what_could_not_be_read_and_the_other_rules_run(daemon):
    d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8081" Echo="0" IPLocal="10.1"/>',
                           '<Port TypProt="UDP" PortLocal="7007" Echo="0" Allow="10.1.2.3/8, 127.0.0.1"/>',
                           '<Port TypProt="UDP" PortLocal="7008" Echo="0" IPLocal="192.0.2.1"/>',
                           '<Port TypProt="UDP" PortLocal="7009" Echo="0" Allow=""/>', dns_srv="127.0.0.9").replace(
                   "<VEXAProxy ", '<VEXAProxy DNSAllow="bogus" ', 1), listed=True)
    d.wait_for("DNSSrv ")
    lines = d.main()
    start = lines.index("TCPv4  8081 -> Echo listen 10.1")
    assert lines[start:start + 9] == [
        "TCPv4  8081 -> Echo listen 10.1",
        'TCPv4 08081 IPLocal "10.1" is not an address: not started',
        "UDPv4  7007 -> Echo allow 127.0.0.1",
        'UDPv4 07007 Allow entry "10.1.2.3/8" skipped: it has address bits set past its prefix (10.0.0.0/8?)',
        "CUDPPort::Bind(): bind(): 99 - Cannot assign requested address",
        "UDPv4  7008 -> Echo listen 192.0.2.1",
        "UDPv4  7009 -> Echo allow none",
        "UDPv4 07009 Allow has no valid entry: nobody is served",
        "DNSSrv    53 -> [127.0.0.9]:53 allow none"], d.describe()
    assert re.fullmatch(r'DNS 00053 DNSAllow entry "bogus" skipped: .+', lines[start + 9])
    assert lines[start + 10] == "DNS 00053 DNSAllow has no valid entry: nobody is served"
    assert udp_from("127.0.0.1", "127.0.0.1", 7007, b"hi") == b"hi"
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", 8081), timeout=2)


# The first sweep (8 s after the start) removes what the rules' own limits let go and keeps what the
# defaults keep. (OpenLimit="0" past a minute is the unit tests' part: the daemon's clock is real here.)
def test_per_rule_limits_decide_the_sweep(daemon):
    silent = peers.UdpPeer("127.0.0.6", 6001)  # a target that never answers
    with peers.TcpTarget("127.0.0.6", 8000, lambda c: [c.sendall(b) for b in iter(lambda: c.recv(100), b"")]):
        d = daemon(vexa.config(
            '<Port TypProt="TCP" PortLocal="8081" PortRemote="8000" IPRemote="127.0.0.6" IdleLimit="1"/>',
            '<Port TypProt="TCP" PortLocal="8082" PortRemote="8000" IPRemote="127.0.0.6" OpenLimit="3"/>',
            '<Port TypProt="TCP" PortLocal="8083" PortRemote="8000" IPRemote="127.0.0.6"/>',
            '<Port TypProt="UDP" PortLocal="5301" PortRemote="6001" IPRemote="127.0.0.6" IdleLimit="1"/>',
            '<Port TypProt="UDP" PortLocal="5302" PortRemote="6001" IPRemote="127.0.0.6"/>'), listed=True)
        # Busy (talking until the sweep) and quiet connections.
        busy = [socket.create_connection(("127.0.0.1", port), timeout=5) for port in (8081, 8082)]
        quiet = [socket.create_connection(("127.0.0.1", port), timeout=5) for port in (8081, 8083)]
        for c in busy + quiet:
            c.sendall(b"x")
            assert c.recv(1) == b"x"
        for port in (5301, 5302):
            udp_from("127.0.0.1", "127.0.0.1", port, b"x", timeout=0)
        deadline = time.monotonic() + 12
        while sum("deleted because" in l for l in d.main()) < 3:
            assert time.monotonic() < deadline, d.describe()
            for c in busy:
                with contextlib.suppress(OSError):
                    c.sendall(b"t")
                    c.recv(1)
            time.sleep(0.3)
        time.sleep(0.5)  # nothing more to come from this sweep
        deleted = sorted(re.sub(r" \d{5}  127\.0\.0\.1:\d+", "", l) for l in d.main() if "deleted because" in l)
        assert deleted == ["TCPv4 08081 deleted because long idle", "TCPv4 08082 deleted because long open",
                           "UDPv4 05301 deleted because long idle"], d.describe()
        for c in (busy[0], quiet[1]):
            c.sendall(b"t")
            assert c.recv(1) == b"t"
        d.stop()
    silent.close()


# A few thousand refused datagrams a second for two seconds: the allowed client is answered as
# before, and the rule writes about a line a second for them, their sum the count in Status.
def test_flood_of_refused_datagrams(daemon):
    d = daemon(vexa.config('<Port TypProt="UDP" PortLocal="7007" Echo="0" Allow="%s"/>' % ALLOWED), listed=True)
    stop, sent = threading.Event(), [0]

    def flood():  # 10,000 datagrams a second, in bursts of 100
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((REFUSED, 0))
            start = time.monotonic()
            while not stop.is_set():
                for _ in range(100):
                    s.sendto(b"flood", ("127.0.0.1", 7007))
                sent[0] += 100
                time.sleep(max(0.0, start + sent[0] / 10000 - time.monotonic()))

    flooder = threading.Thread(target=flood)
    flooder.start()
    began, slowest = time.monotonic(), 0.0
    try:
        while time.monotonic() - began < 2.5:
            t = time.monotonic()
            assert udp_from(ALLOWED, "127.0.0.1", 7007, b"mine") == b"mine"
            slowest = max(slowest, time.monotonic() - t)
            time.sleep(0.05)
    finally:
        stop.set()
        flooder.join()
    took = time.monotonic() - began
    assert sent[0] > 8000 * 2 and slowest < 0.5, (sent[0], slowest)
    time.sleep(0.3)  # the last of the flood taken from the socket
    d.signal(signal.SIGUSR1)
    denied = int(re.search(r" denied (\d+)$", d.wait_for("Status UDPv4 07007 ")[0])[1])
    d.stop()
    counts = [int(m[1]) for m in (re.fullmatch(r"UDPv4 07007 (\d+) datagrams dropped: source not in Allow", l) for l in d.main()) if m]
    assert len(counts) <= took + 2 and sum(counts) == denied > sent[0] / 2, (counts, denied, sent[0], took)
