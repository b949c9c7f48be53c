# Where a rule listens and whom it serves, for each kind of port: a rule on 127.0.0.2 is not reached on
# 127.0.0.1, a client outside its Allow list gets nothing (and leaves nothing behind but a count),
# IPv6 and IPv4-mapped clients, the start-up lines of odd entries, per-rule sweep limits, a flood
# of refused datagrams, and answers from the address a client sent to.
import contextlib
import re
import signal
import socket
import threading
import time

import dns.message
import pytest

import peers
import vexa

ALLOWED, REFUSED = "127.0.0.3", "127.0.0.5"
WHERE = ' IPLocal="127.0.0.2" Allow="%s"' % ALLOWED


# What a client from src gets back for payload from a datagram port at dst; None: nothing in time.
def udp_from(src, dst, port, payload=b"hi", timeout=1):
    with socket.socket(socket.AF_INET6 if ":" in src else socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((src, 0))
        s.settimeout(timeout)
        s.sendto(payload, (dst, port))
        with contextlib.suppress(OSError):  # a timeout, or an ICMP error where nothing listens
            return s.recvfrom(65535)[0]


# Each probe: whether a client from src is served by the rule at dst (None or False: it is not).
def tcp_probe(src, dst):
    with contextlib.suppress(OSError), socket.create_connection((dst, 8080), timeout=3, source_address=(src, 0)) as s:
        s.sendall(b"ping")
        return peers.recv_all(s, 4) == b"ping"


def rm7_probe(src, dst):
    peers.wait_udp("[::]", 5000)  # the cloud side may bind after the listing
    with contextlib.closing(peers.UdpPeer("127.0.0.4", 6000)) as cloud, contextlib.suppress(OSError):
        udp_from(src, dst, 4999, peers.v7_datagram(3, 1234, 1, "status"), timeout=0)
        return bool(cloud.get(timeout=1))


# kind: its configuration, its line at start, the name and text of its refusals, and a probe.
KINDS = {
    "tcp": (vexa.config('<Port TypProt="TCP" PortLocal="8080" PortRemote="8000" IPRemote="127.0.0.6"%s/>' % WHERE),
            "TCPv4  8080 -> [127.0.0.6]:8000", "TCPv4 08080", "connections closed", tcp_probe),
    "udp": (vexa.config('<Port TypProt="UDP" PortLocal="5300" Echo="0"%s/>' % WHERE), "UDPv4  5300 -> Echo", "UDPv4 05300", "datagrams dropped",
            lambda src, dst: udp_from(src, dst, 5300) == b"hi"),
    "dns": (vexa.config('<DNS Name="printer.lan" IP="192.168.0.50"/>', dns_srv="127.0.0.9").replace(
                "<VEXAProxy ", '<VEXAProxy DNSIPLocal="127.0.0.2" DNSAllow="%s" ' % ALLOWED, 1),
            "DNSSrv    53 -> [127.0.0.9]:53", "DNS 00053", "queries dropped",
            lambda src, dst: socket.inet_aton("192.168.0.50") in (udp_from(src, dst, 53, dns.message.make_query("printer.lan", "A").to_wire()) or b"")),
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
        # (source, address, served): the rule's address from an allowed client, another address of
        # the host from the same client, the rule's address from a client outside the list.
        for src, dst, served in ((ALLOWED, "127.0.0.2", True), (ALLOWED, "127.0.0.1", False), (REFUSED, "127.0.0.2", False)):
            assert bool(probe(src, dst)) == served, (src, dst, d.describe())
        d.wait_for("%s 1 %s: source not in Allow" % (name, refusals))
        assert len(contacted) == (1 if kind == "tcp" else 0)
        d.signal(signal.SIGUSR1)
        d.wait_for(re.compile("^Status %s .* denied 1$" % name))
        d.stop()
    assert not any(REFUSED.replace("127.0.0", "127.000.000") in l for l in d.dns())


# IPv4 clients of IPv6 rules arrive mapped and match IPv4 entries; an IPv6 entry over the mapped
# range matches IPv4 clients of IPv4 rules.
def test_ipv6_and_mapped_clients_match_as_written(daemon):
    d = daemon(vexa.config('<Port TypProt="UDPv6" PortLocal="7006" Echo="0" Allow="127.0.0.3 ::1"/>',
                           '<Port TypProt="UDP" PortLocal="7004" Echo="0" Allow="::ffff:127.0.0.0/104"/>'), listed=True)
    cases = [(7006, "::1", True), (7006, "127.0.0.3", True), (7006, "127.0.0.4", False), (7004, "127.0.0.4", True)]
    assert [(port, src, udp_from(src, src, port) == b"hi") for port, src, _ in cases] == cases, d.describe()


def test_start_lines_name_what_could_not_be_read_and_the_other_rules_run(daemon):
    d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8081" Echo="0" IPLocal="10.1"/>',
                           '<Port TypProt="UDP" PortLocal="7007" Echo="0" Allow="10.1.2.3/8, 127.0.0.1"/>', dns_srv="127.0.0.9").replace(
                   "<VEXAProxy ", '<VEXAProxy DNSAllow="bogus" ', 1), listed=True)
    d.wait_for("DNSAllow has no valid entry")
    lines = d.main()
    start = lines.index("TCPv4  8081 -> Echo listen 10.1")
    assert lines[start:start + 7] == [
        "TCPv4  8081 -> Echo listen 10.1",
        'TCPv4 08081 IPLocal "10.1" is not an address: not started',
        "UDPv4  7007 -> Echo allow 127.0.0.1",
        'UDPv4 07007 Allow entry "10.1.2.3/8" skipped: it has address bits set past its prefix (10.0.0.0/8?)',
        "DNSSrv    53 -> [127.0.0.9]:53 allow none",
        'DNS 00053 DNSAllow entry "bogus" skipped: it is not an IPv4 or IPv6 address',
        "DNS 00053 DNSAllow has no valid entry: nobody is served"], d.describe()
    assert udp_from("127.0.0.1", "127.0.0.1", 7007) == b"hi"
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", 8081), timeout=2)


# The first sweep (8 s after the start) removes what the rules' own limits let go and keeps what the
# defaults keep. (OpenLimit="0" past a minute is the unit tests' part: the daemon's clock is real here.)
def test_per_rule_limits_decide_the_sweep(daemon):
    echo = lambda c: [c.sendall(b) for b in iter(lambda: c.recv(100), b"")]
    with peers.TcpTarget("127.0.0.6", 8000, echo), contextlib.closing(peers.UdpPeer("127.0.0.6", 6001)):  # a silent target
        d = daemon(vexa.config(*('<Port TypProt="%s" PortLocal="%d" PortRemote="%d" IPRemote="127.0.0.6" %s/>' % rule for rule in (
            ("TCP", 8081, 8000, 'IdleLimit="1"'), ("TCP", 8082, 8000, 'OpenLimit="3"'), ("TCP", 8083, 8000, ""),
            ("UDP", 5301, 6001, 'IdleLimit="1"'), ("UDP", 5302, 6001, "")))), listed=True)
        tcp = [socket.create_connection(("127.0.0.1", port), timeout=5) for port in (8081, 8082, 8083)]
        [c.sendall(b"x") for c in tcp]  # a silent client would not reach the relay yet
        [udp_from("127.0.0.1", "127.0.0.1", port, timeout=0) for port in (5301, 5302)]
        d.wait_for("deleted because", timeout=15, count=3)
        time.sleep(0.5)  # nothing more to come from this sweep
        deleted = sorted(re.sub(r" \d{5}  127\.0\.0\.1:\d+", "", l) for l in d.main() if "deleted because" in l)
        assert deleted == ["TCPv4 08081 deleted because long idle", "TCPv4 08082 deleted because long open",
                           "UDPv4 05301 deleted because long idle"], d.describe()
        d.stop()


# A flood of refused datagrams at 10,000 a second: the allowed client is answered as before, and the
# rule writes about a line a second for them, their sum the count in Status.
def test_flood_of_refused_datagrams(daemon):
    d = daemon(vexa.config('<Port TypProt="UDP" PortLocal="7007" Echo="0" Allow="%s"/>' % ALLOWED), listed=True)
    began, sent = time.monotonic(), 25000

    def flood():  # in bursts of 100
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((REFUSED, 0))
            for burst in range(1, sent // 100 + 1):
                for _ in range(100):
                    s.sendto(b"flood", ("127.0.0.1", 7007))
                time.sleep(max(0.0, burst / 100 - (time.monotonic() - began)))

    (flooder := threading.Thread(target=flood)).start()
    while flooder.is_alive():
        assert udp_from(ALLOWED, "127.0.0.1", 7007, timeout=0.5) == b"hi"  # answered in good time
        time.sleep(0.05)
    took = time.monotonic() - began
    time.sleep(0.3)  # the last of the flood taken from the socket
    d.signal(signal.SIGUSR1)
    denied = int(re.search(r" denied (\d+)$", d.wait_for("Status UDPv4 07007 ")[0])[1])
    d.stop()
    counts = [int(m[1]) for m in (re.fullmatch(r"UDPv4 07007 (\d+) datagrams dropped: source not in Allow", l) for l in d.main()) if m]
    assert len(counts) <= took + 2 and sum(counts) == denied > sent / 2, (counts, denied, took)


# Rules on every address answer from the address their client sent to, not from the one the routing
# table would pick (127.0.0.1 here): a client that checks whom it hears from (a connected socket, the
# C library's resolver, a NAT) would drop anything else. Each kind: its configuration and a client
# of 127.0.0.7 that is answered.
def test_answers_leave_from_the_address_the_client_sent_to(daemon):
    def echo(sock):  # until the socket is closed: a receive under way would keep its port bound
        sock.settimeout(0.1)
        while sock.fileno() != -1:
            with contextlib.suppress(OSError):
                data, peer = sock.recvfrom(65535)
                sock.sendto(data, peer)

    def connected(port, payload, family=socket.AF_INET, dst="127.0.0.7"):
        with socket.socket(family, socket.SOCK_DGRAM) as s:
            s.settimeout(2)
            s.connect((dst, port))
            s.send(payload)
            with contextlib.suppress(OSError):
                return s.recv(65535)

    def rm7():
        up, down = peers.v7_datagram(3, 1234, 1, "status"), peers.v7_datagram(4, 1, 1234, "command")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as device:
            device.settimeout(2)
            device.connect(("127.0.0.7", 4999))
            device.send(up)
            cloud.sock.sendto(down, cloud.get()[1])
            return device.recv(65535) == down

    query = dns.message.make_query("printer.lan", "A").to_wire()
    with peers.DnsServer(), contextlib.closing(peers.UdpPeer("127.0.0.6", 6001)) as target, \
            contextlib.closing(peers.UdpPeer("127.0.0.4", 6000)) as cloud:
        (echoer := threading.Thread(target=echo, args=(target.sock,))).start()
        d = daemon(vexa.config('<Port TypProt="UDP" PortLocal="5300" PortRemote="6001" IPRemote="127.0.0.6"/>',
                               '<Port TypProt="UDPv6" PortLocal="5306" PortRemote="6001" IPRemote="127.0.0.6"/>',
                               '<Port TypProt="UDP" PortLocal="7007" Echo="0"/>', '<DNS Name="printer.lan" IP="192.168.0.50"/>',
                               '<CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6000" VEXACloud="127.0.0.4"/>',
                               dns_srv="127.0.0.2"), listed=True)
        peers.wait_udp("0.0.0.0", 53)
        peers.wait_udp("[::]", 5000)
        answers = {"udp": connected(5300, b"hi"), "udp to a mapped rule": connected(5306, b"hi"), "echo": connected(7007, b"hi"),
                   "dns local": socket.inet_aton("192.168.0.50") in (connected(53, query) or b""),
                   "dns forwarded": b"\x0a\x09\x08\x07" in (connected(53, dns.message.make_query("upstream.example", "A").to_wire()) or b""),
                   "rm7": rm7()}
        assert answers == {"udp": b"hi", "udp to a mapped rule": b"hi", "echo": b"hi", "dns local": True, "dns forwarded": True,
                           "rm7": True}, d.describe()
        d.stop()
    echoer.join()
