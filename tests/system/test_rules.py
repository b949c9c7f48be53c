"""The whole daemon from its configuration file: every rule kind listed at start-up, relaying and
stopped in order; configurations that start nothing."""
import os
import signal
import socket
import subprocess

import dns.message
import dns.query
import pytest

import peers
import vexa

SAMPLE = open(os.path.join(vexa.ROOT, "examples", "demo-loopback.xml"), encoding="utf-8").read()
STOP_LINES = ["TCPv4 Stop", "UDPv4 Stop", "TCPv6 Stop", "UDPv6 Stop", "CloudRM7 Stop", "End Stop"]


def test_sample_configuration_lists_relays_and_stops_every_rule(daemon, web, upstream):
    # A second rule on a port already taken, and a second cloud node, which is only listed.
    d = daemon(SAMPLE.replace("</VEXAProxy>", '<Port TypProt="TCP" PortLocal="7007" Echo="0"/>'
                              '<CloudRM7 PortRM7="4998" PortCloud="5001" PortVEXACloud="6000" VEXACloud="127.0.0.4"/>'
                              "</VEXAProxy>"))
    d.wait_for("RM7 UDP 4998 Cloud UDP 5001")
    lines = d.main()
    assert lines[lines.index("TCPv4  8080 -> [127.0.0.3]:8000 Host: portal.example"):] == [
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
        " bind( 0.0.0.0:7007 ) error: 98 - Address already in use",
        "TCPv4  7007 -> Echo",
        "RM7 UDP 4998 Cloud UDP 5001 -> [127.0.0.4]:6000",
    ]
    with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
        s.bind(("::", 5001))
    # The Host check over IPv4, an IPv6 client, echo over TCP and UDP, UDP forwarding in both families.
    assert peers.WEB_PAGE in peers.http_get("127.0.0.1", 8080, "portal.example")
    assert peers.http_get("127.0.0.1", 8080, "intruder.example") == b""
    assert peers.WEB_PAGE in peers.http_get("::1", 8086, "anything", family=socket.AF_INET6)
    assert peers.tcp_exchange("127.0.0.1", 7007, b"ping over tcp") == b"ping over tcp"
    assert peers.udp_exchange("127.0.0.1", 7007, b"ping over udp") == (b"ping over udp", ("127.0.0.1", 7007))
    q = dns.message.make_query("upstream.example", "A")
    for host, port in (("127.0.0.1", 5300), ("::1", 5306)):
        assert dns.query.udp(q, host, port=port, timeout=5).answer[0][0].address == "10.9.8.7"
    d.stop()
    lines = d.main()
    assert [l for l in lines if l in STOP_LINES] == STOP_LINES
    assert lines.index("Interrup signal number 15") < lines.index("TCPv4 Stop")


@pytest.mark.parametrize("config,expected", [
    (None, ["Configuration not found /etc/VEXAProxy/VEXAProxy.xml"]),
    ('<?xml version="1.0"?>\n<VEXAProxy>\n<Port TypProt="TCP" PortLocal="8080"\n',
     ["Couldn't find end of Start Tag Port line 3"]),
    (vexa.config('<CloudRM7 PortRM7="4999"/>'), ["RM7 UDP 4999 Cloud UDP 0 -> [cloud.vexa.invalid]:4999", "Not set PortCloud"]),
    (vexa.config('<DNS Name="a.b" IP="1.2.3.4"/>').replace("<VEXAProxy>", '<VEXAProxy DNSSrv="">'), ["DNS a.b 1.2.3.4 "]),
], ids=["missing", "malformed", "cloud without PortCloud", "empty DNSSrv"])
def test_configurations_that_start_nothing(daemon, config, expected):
    d = daemon(config)
    d.wait_for(expected[-1])
    d.signal(signal.SIGHUP)  # "Reload" comes once the start-up is over
    d.wait_for("Reload")
    assert subprocess.run(["ss", "-Hltun"], capture_output=True, text=True).stdout == ""
    d.stop()
    lines = d.main()
    at = lines.index(expected[0])
    assert lines[at:at + len(expected)] == expected
    assert not any(vexa.LISTED.match(l) for l in lines)
    assert lines[-len(STOP_LINES) - 1:] == ["Interrup signal number 15"] + STOP_LINES


def test_rules_at_their_bounds_take_every_new_client(daemon, upstream):
    """The start-up line states the budget and each table's bound; a full DNS relay and a full UDP
    rule give a new client the place of the client quiet longest, and every client is answered."""
    d = daemon(vexa.config('<Port TypProt="UDP" PortLocal="5300" PortRemote="5353" IPRemote="127.0.0.2" MaxClients="2"/>',
                           dns_srv="127.0.0.2").replace("<VEXAProxy ", '<VEXAProxy DNSMaxClients="2" ', 1), listed=True)
    peers.wait_udp("0.0.0.0", 53)
    budget = d.wait_for("Budget ")[0]
    assert budget.endswith(" - bounds: UDPv4 05300: 2, DNS 00053: 2"), budget
    q = dns.message.make_query("upstream.example", "A")
    for port, prefix in ((53, "DNS00053"), (5300, "UDPv4 05300")):
        for sport in (41001, 41002, 41003):
            assert dns.query.udp(q, "127.0.0.1", port=port, source="127.0.0.1", source_port=sport,
                                 timeout=5).answer[0][0].address == "10.9.8.7"
        d.wait_for("%s 00001  127.0.0.1:41001 deleted because table full" % prefix)
        d.wait_for("%s 00003  127.0.0.1:41003 connect" % prefix)
    d.stop()
