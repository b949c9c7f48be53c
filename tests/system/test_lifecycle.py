"""The daemon process itself: the "service" word, the start line, signals (the status block among
them), an orderly stop and the log numbering across runs."""
import os
import re
import signal
import socket
import time

import dns.message
import dns.query
import pytest

import peers
import vexa

EMPTY = vexa.config()
START = r"Start v1\.0\.6 \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d$"


@pytest.mark.parametrize("args", [[], ["Service"], ["service "], ["run", "SERVICE"]])
def test_refuses_to_run_without_the_exact_service_word(args):
    rc, out = vexa.Daemon(EMPTY, args=args).run_to_end()
    lines = out.splitlines()
    assert rc == 0
    assert re.match("^Start VEXAProxy v" + START[7:], lines[0])
    # The argument list comes before the refusal, argument 0 included.
    assert lines[1:2 + len(args)] == ["0 " + vexa.BIN] + ["%d %s" % (i + 1, a) for i, a in enumerate(args)]
    assert lines[-1] == 'no "service" in launch command line'
    assert not os.path.exists("/var/log/VEXA"), "a refused start must not open any log"


def test_start_line_signals_and_orderly_stop(daemon):
    d = daemon(EMPTY)
    assert re.match(vexa.STAMP.pattern + START, d.main_raw()[0])
    # The tests' binary has the repository's key material, and says so.
    assert d.main()[1] == "V7 test key material in use: real RM7 devices will not get through"
    assert os.path.isdir(vexa.DNS_LOG_DIR)
    # SIGHUP only reloads. The kernel merges a signal that is still pending: a short gap lets each arrive.
    for _ in range(3):
        d.signal(signal.SIGHUP)
        time.sleep(0.05)
    d.wait_for("Interrup signal number 1", count=3)
    d.wait_for("Reload")
    d.stop(sig=signal.SIGINT)
    lines = d.main()
    assert lines.index("Interrup signal number 1") < lines.index("Reload")
    assert lines.index("Interrup signal number 2") < lines.index("End Stop")


def test_program_named_service_runs_and_log_numbering_continues(daemon):
    daemon(EMPTY).stop()
    os.rename(vexa.MAIN_LOG_DIR + "/C0000001.log", vexa.MAIN_LOG_DIR + "/C0000007.log")
    d = daemon(EMPTY, args=[], argv0="service", clean_logs=False)
    d.stop()
    assert "0 service" in d.stdout
    assert sorted(os.listdir(vexa.MAIN_LOG_DIR)) == ["C0000007.log"]
    assert d.main().count("End Stop") == 2


def test_sigusr1_writes_the_status_block_with_exact_figures_and_the_daemon_goes_on(daemon, cloud):
    # Both forwarding rules relay to the echo rules of the same daemon: every figure is known.
    d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8080" PortRemote="7007" IPRemote="127.0.0.1"/>',
                           '<Port TypProt="TCP" PortLocal="7007" Echo="0"/>',
                           '<Port TypProt="UDP" PortLocal="5300" PortRemote="7007" IPRemote="127.0.0.1"/>',
                           '<Port TypProt="UDP" PortLocal="7007" Echo="0"/>',
                           '<DNS Name="printer.lan" IP="192.168.0.50"/>',
                           '<CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6000" VEXACloud="127.0.0.4"/>',
                           dns_srv="127.0.0.2"), listed=True)
    bounds = dict(b.split(": ") for b in d.wait_for("Budget ")[0].split(" - bounds: ")[1].split(", "))
    peers.wait_udp("0.0.0.0", 53)
    held = []
    for text in (b"hello", b"again!"):  # 2 connections, 11 bytes, held open
        held.append(socket.create_connection(("127.0.0.1", 8080), timeout=5))
        held[-1].sendall(text)
        assert peers.recv_all(held[-1], len(text)) == text
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as a, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as b:
        for s, text in ((a, b"one"), (a, b"two"), (b, b"three")):  # 3 datagrams from 2 clients
            s.settimeout(5)
            s.sendto(text, ("127.0.0.1", 5300))
            assert s.recv(100) == text
    assert dns.query.udp(dns.message.make_query("printer.lan", "A"), "127.0.0.1", timeout=5).answer
    device = peers.UdpPeer("127.0.0.1")
    device.sock.sendto(peers.v7_datagram(3, 1234, 1, "status"), ("127.0.0.1", 4999))
    cloud.get()

    d.signal(signal.SIGUSR1)
    d.wait_for("Status end")
    lines = d.main()
    block = lines[lines.index("Interrup signal number 10") + 1:]
    block = block[block.index(next(l for l in block if l.startswith("Status begin"))):block.index("Status end") + 1]
    rule = "Status %s clients %d bound %s started %d evicted 0 failed 0 refused 0 in %d out %d %s"
    assert re.fullmatch(r"Status begin up \d+ s", block[0])
    assert block[1:7] == [rule % ("TCPv4 08080", 2, bounds["TCPv4 08080"], 2, 11, 11, "bytes"),
                          rule % ("TCPv4 07007", 2, bounds["TCPv4 07007"], 2, 11, 11, "bytes"),
                          rule % ("UDPv4 05300", 2, bounds["UDPv4 05300"], 2, 3, 3, "datagrams"),
                          rule % ("UDPv4 07007", 0, 0, 0, 3, 3, "datagrams"),  # an echo keeps no clients
                          rule % ("DNS 00053", 1, bounds["DNS 00053"], 1, 1, 1, "datagrams"),
                          rule % ("CloudRM7 04999", 1, bounds["CloudRM7 04999"], 1, 1, 0, "datagrams")]
    assert re.fullmatch(r"Status RM7 node 1234 address \[::ffff:127\.0\.0\.1\]:%d quiet \d{1,2} s"
                        % device.sock.getsockname()[1], block[7]), block[7]
    busy, idle = map(int, re.fullmatch(r"Status pool workers \d+ busy (\d+) idle (\d+)", block[8]).groups())
    assert block[8].split()[3] == str(busy + idle)
    assert block[9:] == ["Status log main dropped 0", "Status log dns dropped 0", "Status end"]
    device.close()
    for s in held:
        s.close()
    assert peers.udp_exchange("127.0.0.1", 7007, b"still here") == (b"still here", ("127.0.0.1", 7007))
    d.stop()
