"""The whole daemon from its configuration file: every rule kind started, listed, relaying and
stopped in order."""
import os
import re
import socket
import threading
import time

import dns.message
import dns.query
import pytest

import peers
import vexa

SAMPLE = open(os.path.join(vexa.ROOT, "examples", "demo-loopback.xml"), encoding="utf-8").read()

STOP_LINES = ["TCPv4 Stop", "UDPv4 Stop", "TCPv6 Stop", "UDPv6 Stop", "CloudRM7 Stop", "End Stop"]


def config(*children, dns_srv=""):
    attr = ' DNSSrv="%s"' % dns_srv if dns_srv else ""
    return '<?xml version="1.0"?>\n<VEXAProxy%s>\n%s\n</VEXAProxy>\n' % (attr, "\n".join(children))


def stop_tail(lines):
    """The stop lines in the order they were written (other lines left out)."""
    return [l for l in lines if l in STOP_LINES]


@pytest.fixture
def web():
    with peers.WebServer() as w:
        yield w


@pytest.fixture
def upstream():
    with peers.DnsServer() as d:
        yield d


def test_sample_configuration_lists_starts_relays_and_stops_every_rule(web, upstream):
    cloud = peers.UdpPeer("127.0.0.4", 6000)
    d = vexa.Daemon(SAMPLE).start()
    try:
        d.wait_for("RM7 UDP 4999 Cloud UDP 5000")
        lines = d.main()
        listing = lines[lines.index("TCPv4  8080 -> [127.0.0.3]:8000 Host: portal.example"):]
        assert listing[:10] == [
            "TCPv4  8080 -> [127.0.0.3]:8000 Host: portal.example",
            "TCPv4  7007 -> Echo",
            "UDPv4  7007 -> Echo",
            "UDPv4  5300 -> [127.0.0.2]:5353",
            "TCPv6  8086 -> [127.0.0.3]:8000",
            "UDPv6  5306 -> [::ffff:127.0.0.2]:5353",
            "DNS printer.lan 192.168.0.50 office printer",
            "Question 00 01 00 00 00 00 00 00 07 70 72 69 6E 74 65 72 03 6C 61 6E 00 00 01 00 01",
            "Answer   00 01 00 01 00 00 00 00 07 70 72 69 6E 74 65 72 03 6C 61 6E 00 00 01 00 01 C0 0C 00 01 00 ...",
            "RM7 UDP 4999 Cloud UDP 5000 -> [127.0.0.4]:6000",
        ]

        # TCP with the Host check, over IPv4 and from an IPv6 client.
        assert peers.WEB_PAGE in peers.http_get("127.0.0.1", 8080, "portal.example")
        assert peers.http_get("127.0.0.1", 8080, "intruder.example") == b""
        assert peers.WEB_PAGE in peers.http_get("::1", 8086, "anything", family=socket.AF_INET6)
        # Echo over TCP and UDP.
        assert peers.tcp_exchange("127.0.0.1", 7007, b"ping over tcp") == b"ping over tcp"
        data, sender = peers.udp_exchange("127.0.0.1", 7007, b"ping over udp")
        assert (data, sender[1]) == (b"ping over udp", 7007)
        # UDP forwarding to the DNS server, over IPv4 and IPv6.
        q = dns.message.make_query("upstream.example", "A")
        for host, port in (("127.0.0.1", 5300), ("::1", 5306)):
            r = dns.query.udp(q, host, port=port, timeout=5)
            assert r.answer[0][0].address == "10.9.8.7"
        # DNS relay: a configured name answered by the daemon, another one forwarded.
        r = dns.query.udp(dns.message.make_query("printer.lan", "A", use_edns=False), "127.0.0.1", timeout=5)
        assert r.answer[0][0].address == "192.168.0.50" and r.answer[0].ttl == 11227
        r = dns.query.udp(dns.message.make_query("upstream.example", "A", use_edns=False), "127.0.0.1", timeout=5)
        assert r.answer[0][0].address == "10.9.8.7"
        assert "printer.lan" not in upstream.queries()
        # Cloud relay: a device datagram reaches the cloud server from the cloud-side port.
        device = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        device.bind(("127.0.0.1", 0))
        datagram = peers.v7_datagram(3, 1234, 1)
        device.sendto(datagram, ("127.0.0.1", 4999))
        got, sender = cloud.get()
        assert got == datagram and sender[1] == 5000
        # ... and the cloud's answer finds the device by its node number.
        answer = peers.v7_datagram(4, 1, 1234, "reply")
        cloud.sock.sendto(answer, sender)
        device.settimeout(5)
        assert device.recvfrom(2048) == (answer, ("127.0.0.1", 4999))
        device.close()
        d.wait_for("127.000.000.001:", log="dns")  # the DNS log holds the datagrams
    finally:
        cloud.close()
    d.stop()
    lines = d.main()
    assert stop_tail(lines) == STOP_LINES
    assert lines.index("Interrup signal number 15") < lines.index("TCPv4 Stop")


def test_missing_configuration_starts_nothing_and_stops_cleanly():
    d = vexa.Daemon(None).start()
    d.wait_for("Configuration not found /etc/VEXAProxy/VEXAProxy.xml")
    d.stop()
    lines = d.main()
    start = lines.index("Configuration not found /etc/VEXAProxy/VEXAProxy.xml")
    assert lines[start + 1:] == ["Interrup signal number 15"] + STOP_LINES


def test_malformed_configuration_logs_the_parser_and_starts_nothing():
    d = vexa.Daemon('<?xml version="1.0"?>\n<VEXAProxy>\n<Port TypProt="TCP" PortLocal="8080"\n').start()
    d.wait_for(re.compile("parser error|Couldn't find end of Start Tag|expected"), timeout=5)
    time.sleep(0.3)
    d.stop()
    assert not any(l.startswith("TCPv4  ") for l in d.main())
    with pytest.raises(OSError):
        peers.tcp_exchange("127.0.0.1", 8080, b"x", timeout=1)


def test_rule_variants_two_rules_on_one_port_two_clouds_and_dns_server_without_names(upstream):
    d = vexa.Daemon(config(
        '<Port TypProt="TCP" PortLocal="7100" Echo="0"/>',
        '<Port TypProt="TCP" PortLocal="7100" Echo="0" Note="second on the same port"/>',
        '<Port TypProt="UDP" PortLocal="7101" PortRemote="9" IPRemote="127.0.0.9" IPv6Remote="::1"/>',
        '<CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6000" VEXACloud="127.0.0.4"/>',
        '<CloudRM7 PortRM7="4998" PortCloud="5001" PortVEXACloud="6000" VEXACloud="127.0.0.4"/>',
        dns_srv="127.0.0.2")).start()
    d.wait_for("RM7 UDP 4998 Cloud UDP 5001")
    lines = d.main()
    # The second rule on the port reports its bind failure before its own summary line.
    first = lines.index("TCPv4  7100 -> Echo")
    second = lines.index("TCPv4  7100 -> Echo", first + 1)
    assert any("bind(" in l and "98 - Address already in use" in l for l in lines[first + 1:second])
    assert peers.tcp_exchange("127.0.0.1", 7100, b"still served") == b"still served"
    # Both remote addresses: IPRemote wins.
    assert "UDPv4  7101 -> [127.0.0.9]:9" in lines
    # The second cloud node is only listed.
    assert lines[-1] == "RM7 UDP 4998 Cloud UDP 5001 -> [127.0.0.4]:6000"
    with pytest.raises(OSError):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.bind(("0.0.0.0", 5000))
        finally:
            s.close()
    # DNSSrv alone starts the relay.
    r = dns.query.udp(dns.message.make_query("upstream.example", "A", use_edns=False), "127.0.0.1", timeout=5)
    assert r.answer[0][0].address == "10.9.8.7"
    d.stop()


def test_cloud_rule_without_cloud_port_is_only_listed():
    d = vexa.Daemon(config('<CloudRM7 PortRM7="4999"/>')).start()
    d.wait_for("Not set PortCloud")
    lines = d.main()
    i = lines.index("RM7 UDP 4999 Cloud UDP 0 -> [cloud.vexa.invalid]:4999")
    assert lines[i + 1] == "Not set PortCloud"
    d.stop()


def test_sigterm_with_traffic_in_flight_stops_within_seconds(web, upstream):
    d = vexa.Daemon(config(
        '<Port TypProt="TCP" PortLocal="7200" PortRemote="8000" IPRemote="127.0.0.3"/>',
        '<Port TypProt="UDP" PortLocal="7201" Echo="0"/>',
        '<Port TypProt="UDP" PortLocal="7202" PortRemote="5353" IPRemote="127.0.0.2"/>',
        dns_srv="127.0.0.2")).start()
    d.wait_for("UDPv4  7202 -> [127.0.0.2]:5353")
    sockets = []
    try:
        for i in range(200):
            t = socket.create_connection(("127.0.0.1", 7200), timeout=5)
            t.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")  # a request left open
            sockets.append(t)
            for port in (7201, 7202, 53):
                u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                u.sendto(dns.message.make_query("n%d.upstream.example" % i, "A").to_wire(), ("127.0.0.1", port))
                sockets.append(u)
        d.wait_for(re.compile(r"^TCPv4 07200 00200 "), timeout=20)
        started = time.monotonic()
        d.stop(timeout=30)
        assert time.monotonic() - started < 10
    finally:
        for s in sockets:
            s.close()
