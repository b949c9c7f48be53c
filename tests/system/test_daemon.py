# The whole daemon from its configuration file: the "service" word, the start lines with the client
# budget, every rule kind listed at start-up, relaying after odd datagrams and stopped in order,
# configurations that start nothing, the status block on SIGUSR1 and the stop on SIGINT. What each
# relay does with its traffic in detail, full client tables included, is the unit tests' part; faults
# from outside are in test_faults.
import contextlib
import os
import re
import signal
import socket
import subprocess
import time

import pytest

import peers
import vexa

START = r"Start v1\.0\.6 \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d$"


# dig sends an EDNS record with a cookie unless told otherwise.
def dig(*args):
    return subprocess.run(["dig", "+short", "+tries=1", "+time=3", *args], capture_output=True, text=True).stdout.split()


@pytest.mark.parametrize("args", [[], ["Service"], ["service "], ["run", "SERVICE"]])
def test_refuses_to_run_without_the_exact_service_word(args):
    argv = vexa.Daemon(vexa.config(), args=args).argv  # which also clears the logs of a run before
    res = subprocess.run(argv, executable=vexa.BIN, capture_output=True, text=True, timeout=15)
    lines = res.stdout.splitlines()
    assert res.returncode == 0 and re.match("^Start VEXAProxy v" + START[7:], lines[0])
    # The argument list comes before the refusal, argument 0 included.
    assert lines[1:] == ["0 " + vexa.BIN] + ["%d %s" % (i + 1, a) for i, a in enumerate(args)] + [
        'no "service" in launch command line']
    assert not os.path.exists("/var/log/VEXA"), "a refused start must not open any log"


def test_budget_status_block_and_stop_on_sigint(daemon):
    # Argument 0 counts as well: a program named "service" runs. The TCP and UDP rules relay to the
    # echo rules of the same daemon, so every figure of the status block is known.
    d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8080" PortRemote="7007" IPRemote="127.0.0.1"/>',
                           '<Port TypProt="TCP" PortLocal="7007" Echo="0"/>',
                           '<Port TypProt="UDP" PortLocal="5300" PortRemote="7007" IPRemote="127.0.0.1" MaxClients="1"/>',
                           '<Port TypProt="UDP" PortLocal="7007" Echo="0"/>', '<DNS Name="printer.lan" IP="192.168.0.50"/>',
                           '<CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6000" VEXACloud="127.0.0.4"/>',
                           dns_srv="127.0.0.2").replace("<VEXAProxy ", '<VEXAProxy DNSMaxClients="2" ', 1),
               args=[], argv0="service", listed=True)
    assert re.match(vexa.STAMP.pattern + START, d.main_raw()[0])
    # The tests' binary has the repository's key material, and says so.
    assert d.main()[1] == "V7 test key material in use: real RM7 devices will not get through"
    bounds = re.fullmatch(r"Budget .* - bounds: TCPv4 08080: (\d+), TCPv4 07007: (\d+), UDPv4 05300: 1, "
                          r"CloudRM7 04999: (\d+), DNS 00053: 2", d.wait_for("Budget ")[0])
    assert bounds, d.describe()
    peers.wait_udp("0.0.0.0", 53)
    held = [socket.create_connection(("127.0.0.1", 8080), timeout=5) for _ in range(2)]
    for s, text in zip(held, (b"hello", b"again!")):  # 2 connections, 11 bytes, held open
        s.sendall(text)
        assert peers.recv_all(s, len(text)) == text
    # Two clients of the UDP rule at its bound of one (the second evicts the first), one of the echo.
    for port, text in ((5300, b"one"), (5300, b"two"), (7007, b"echo")):
        assert peers.udp_exchange("127.0.0.1", port, text)[0] == text
    assert dig("@127.0.0.1", "printer.lan") == ["192.168.0.50"]
    cloud, device = peers.UdpPeer("127.0.0.4", 6000), peers.UdpPeer("127.0.0.1")
    device.sock.sendto(peers.v7_datagram(3, 1234, 1, "status"), ("127.0.0.1", 4999))
    cloud.get()

    d.signal(signal.SIGUSR1)
    d.wait_for("Status end")
    block = [l for l in d.main() if l.startswith("Status ")]
    rule = "Status %s clients %d bound %s started %d evicted %d failed 0 refused 0%s in %d out %d %s"
    assert re.fullmatch(r"Status begin up \d+ s", block[0])
    tcp = " waiting 0"  # TCP rules: clients waiting for room
    assert block[1:7] == [rule % ("TCPv4 08080", 2, bounds[1], 2, 0, tcp, 11, 11, "bytes"),
                          rule % ("TCPv4 07007", 2, bounds[2], 2, 0, tcp, 11, 11, "bytes"),
                          rule % ("UDPv4 05300", 1, 1, 2, 1, "", 2, 2, "datagrams"),
                          rule % ("UDPv4 07007", 0, 0, 0, 0, "", 3, 3, "datagrams"),  # an echo keeps no clients
                          rule % ("DNS 00053", 1, 2, 1, 0, "", 1, 1, "datagrams"),
                          rule % ("CloudRM7 04999", 1, bounds[3], 1, 0, "", 1, 0, "datagrams")]
    assert re.fullmatch(r"Status RM7 node 1234 address \[::ffff:127\.0\.0\.1\]:%d quiet \d{1,2} s"
                        % device.sock.getsockname()[1], block[7]), block[7]
    busy, idle = map(int, re.fullmatch(r"Status pool workers \d+ busy (\d+) idle (\d+)", block[8]).groups())
    assert block[8].split()[3] == str(busy + idle)
    assert block[9:] == ["Status log main dropped 0", "Status log dns dropped 0", "Status end"]
    for s in held + [cloud, device]:
        s.close()
    d.stop(sig=signal.SIGINT)
    assert d.main().index("Interrup signal number 2") < d.main().index("End Stop")
    assert "0 service" in d.stdout


def test_sample_configuration_lists_relays_and_stops_every_rule(daemon, servers):
    # A second rule on a port already taken, and a second cloud node, which is only listed.
    d = daemon(open(vexa.SAMPLE).read().replace("</VEXAProxy>", '<Port TypProt="TCP" PortLocal="7007" Echo="0"/>'
               '<CloudRM7 PortRM7="4998" PortCloud="5001" PortVEXACloud="6000" VEXACloud="127.0.0.4"/></VEXAProxy>'))
    d.wait_for("RM7 UDP 4998 Cloud UDP 5001")
    lines = d.main()
    assert lines[lines.index(vexa.SAMPLE_LISTING[0]):] == vexa.SAMPLE_LISTING + [
        " bind( 0.0.0.0:7007 ) error: 98 - Address already in use", "TCPv4  7007 -> Echo", "RM7 UDP 4998 Cloud UDP 5001 -> [127.0.0.4]:6000"]
    with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
        s.bind(("::", 5001))  # free: the second cloud node is only listed
        # Empty, tiny and the largest datagrams on every UDP port; every port still relays afterwards.
        for host, port in [("::ffff:127.0.0.1", p) for p in (7007, 5300, 53, 4999, 5000)] + [("::1", 5306)]:
            for size in (0, 1, 65507):
                s.sendto(b"\xff" * size, (host, port))
    # The Host check over IPv4, an IPv6 client, echo over TCP and UDP.
    assert peers.WEB_PAGE in peers.http_get("127.0.0.1", 8080, "portal.example")
    assert peers.http_get("127.0.0.1", 8080, "intruder.example") == b""
    assert peers.WEB_PAGE in peers.http_get("::1", 8086, "anything", family=socket.AF_INET6)
    assert peers.tcp_exchange("127.0.0.1", 7007, b"ping over tcp") == b"ping over tcp"
    assert peers.udp_exchange("127.0.0.1", 7007, b"ping over udp") == (b"ping over udp", ("127.0.0.1", 7007))
    # The DNS relay answers its own name (dnsmasq does not know it) and forwards the rest; so do the UDP
    # rules in both families.
    assert dig("@127.0.0.1", "printer.lan") == ["192.168.0.50"]
    for server, port in (("127.0.0.1", "53"), ("127.0.0.1", "5300"), ("::1", "5306")):
        assert dig("@" + server, "-p", port, "upstream.example") == ["10.9.8.7"], port
    # The answers to dig from the DNS relay (after the odd datagrams' client 1) are in the DNS log.
    d.wait_for(re.compile(r"^0000[23] 127\.000\.000\.001:\d{5} >"), log="dns", count=2)
    # A device's datagram reaches the cloud from port 5000, the cloud's answer the device.
    cloud, device = peers.UdpPeer("127.0.0.4", 6000), peers.UdpPeer("127.0.0.5")
    up, down = peers.v7_datagram(3, 1234, 1, "status"), peers.v7_datagram(4, 1, 1234, "command")
    device.sock.sendto(up, ("127.0.0.1", 4999))
    got, relay = cloud.get()
    assert (got, relay[1]) == (up, 5000)
    cloud.sock.sendto(down, relay)
    assert device.get() == (down, ("127.0.0.1", 4999))
    # Thirty SIGTERMs during the stop, with 200 TCP and 600 UDP clients in flight: one orderly stop.
    with contextlib.ExitStack() as sockets:
        for _ in range(200):
            sockets.enter_context(socket.create_connection(("127.0.0.1", 7007), timeout=5)).sendall(b"held")
            for port in (7007, 5300, 53):  # echoed, or forwarded and left unanswered by the DNS server
                sockets.enter_context(socket.socket(socket.AF_INET, socket.SOCK_DGRAM)).sendto(b"in flight", ("127.0.0.1", port))
        d.wait_for(re.compile(r"^TCPv4 07007 00201 "), timeout=20)
        subprocess.run(["sh", "-c", "for i in $(seq 30); do kill -TERM %d; sleep 0.02; done" % d.proc.pid], stderr=subprocess.DEVNULL)
        d.stop(timeout=10)
    assert [l for l in d.main() if l in vexa.STOP_LINES] == vexa.STOP_LINES


@pytest.mark.parametrize("config,expected", [
    (None, ["Configuration not found /etc/VEXAProxy/VEXAProxy.xml"]),
    ('<?xml version="1.0"?>\n<VEXAProxy>\n<Port TypProt="TCP" PortLocal="8080"\n', ["Couldn't find end of Start Tag Port line 3"]),
    (vexa.config('<CloudRM7 PortRM7="4999"/>'), ["RM7 UDP 4999 Cloud UDP 0 -> [cloud.vexa.invalid]:4999", "Not set PortCloud"]),
    (vexa.config('<DNS Name="a.b" IP="1.2.3.4"/>').replace("<VEXAProxy>", '<VEXAProxy DNSSrv="">'), ["DNS a.b 1.2.3.4 "]),
    # What the checker warns about, the daemon ignores without a word.
    ('<VEXAProxy DNSsrv="x"><Dns Name="a"/><Colour/></VEXAProxy>', []),
], ids=["missing", "malformed", "cloud without PortCloud", "empty DNSSrv", "what the checker warns about"])
def test_configurations_that_start_nothing(daemon, config, expected):
    d = daemon(config)
    d.wait_for((["Start v"] + expected)[-1])
    d.signal(signal.SIGHUP)  # "Reload" comes once the start-up is over
    d.wait_for("Reload")
    assert subprocess.run(["ss", "-Hltun"], capture_output=True, text=True).stdout == ""
    assert os.path.isdir(vexa.DNS_LOG_DIR)  # both logs are open even so
    d.stop()
    lines = d.main()
    assert [l for l in lines if l in expected] == expected
    assert lines.index("Interrup signal number 1") < lines.index("Reload")  # SIGHUP only reloads
    assert not [l for l in lines if vexa.LISTED.match(l) or "warning" in l or "ignored" in l], d.describe()
    assert lines[-len(vexa.STOP_LINES) - 1:] == ["Interrup signal number 15"] + vexa.STOP_LINES


# A client that writes a header and a body as two pieces and then waits for the answer, as device
# protocols and portals do: each piece must go on at once, not wait for the target's delayed
# acknowledgement of the one before (tens of milliseconds each time). Not a benchmark: it fails
# only on such a stall.
def test_small_pieces_cross_a_tcp_rule_without_waiting_for_acknowledgements(daemon):
    def answer_pieces(c):
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while len(peers.recv_all(c, 20)) == 20:
            c.sendall(b"r" * 10)

    with peers.TcpTarget("127.0.0.3", 8021, answer_pieces):
        d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8020" PortRemote="8021" IPRemote="127.0.0.3"/>'),
                   listed=True)
        with socket.create_connection(("127.0.0.1", 8020), timeout=5) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            took = []
            for _ in range(30):
                t0 = time.monotonic()
                s.sendall(b"h" * 10)
                s.sendall(b"b" * 10)
                assert peers.recv_all(s, 10) == b"r" * 10
                took.append(time.monotonic() - t0)
        took.sort()
        assert took[len(took) // 2] < 0.015, took
        d.stop()
