# The DNS relay over TCP on port 53 and for IPv6 clients, with dnsmasq as its server.
import contextlib
import os
import random
import re
import resource
import select
import signal
import socket
import struct
import subprocess
import time

import pytest

import peers
import vexa

LOCAL = '<DNS Name="printer.lan" IP="192.168.0.50"/>'
MANY = ["10.7.%d.%d" % (i // 200, i % 200 + 1) for i in range(40)]


def dig(*args):
    res = subprocess.run(["dig", "+short", "+tries=1", "+time=3", *args], capture_output=True, text=True)
    return res.stdout.split()


def wait_tcp(addr, port, timeout=5):
    deadline = time.monotonic() + timeout
    while not subprocess.run(["ss", "-Hltn", "src", "%s:%d" % (addr, port)], capture_output=True).stdout.strip():
        assert time.monotonic() < deadline, "nothing listens on tcp %s:%d" % (addr, port)
        time.sleep(0.05)


def query(qid, name):
    labels = b"".join(bytes([len(l)]) + l.encode() for l in name.split("."))
    return struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0) + labels + b"\0\0\1\0\1"


def framed(msg):
    return struct.pack(">H", len(msg)) + msg


def read_answers(sock, n):
    answers, data = [], b""
    while len(answers) < n:
        chunk = sock.recv(65536)
        assert chunk, "the relay closed the connection after %d answers" % len(answers)
        data += chunk
        while len(data) >= 2 and len(data) >= 2 + struct.unpack(">H", data[:2])[0]:
            size = struct.unpack(">H", data[:2])[0]
            answers.append(data[2:2 + size])
            data = data[2 + size:]
    return answers


def records(d, conn):
    # The DNS log records of one connection: (direction, message bytes), "<" in and ">" out.
    rec = re.compile(r"^%05d (\S+) (.).{19}(.)((?:[0-9A-F]{2} )+)$" % conn)
    out = []
    for m in filter(None, map(rec.match, d.dns())):
        out.append((m[1], "<" if m[3] == "<" else ">", bytes.fromhex(m[4])))
    return out


@pytest.fixture
def relay(daemon):
    with peers.DnsServer(records=[("many.example", a) for a in MANY]):
        d = daemon(vexa.config(LOCAL, dns_srv="127.0.0.2"))
        wait_tcp("0.0.0.0", 53)
        yield d


def test_dig_over_tcp_gets_local_and_forwarded_answers_each_message_logged(relay):
    assert dig("+tcp", "@127.0.0.1", "printer.lan") == ["192.168.0.50"]
    assert dig("+tcp", "@127.0.0.1", "upstream.example") == ["10.9.8.7"]
    relay.wait_for("DNSTCP00053 00002 ", count=2)  # connect and disconnect of the second
    lines = [l for l in relay.main() if l.startswith("DNSTCP00053 ")]
    assert [re.sub(r":\d+ ", ":P ", l) for l in lines] == [
        "DNSTCP00053 00001  127.0.0.1:P connect", "DNSTCP00053 00001  127.0.0.1:P disconnect",
        "DNSTCP00053 00002  127.0.0.1:P connect", "DNSTCP00053 00002  127.0.0.1:P disconnect"]
    relay.wait_for(re.compile("^00002 "), log="dns", count=4)
    # Local: the query and its answer; forwarded: the query to the server, its answer back.
    assert [(a[:7], io) for a, io, _ in records(relay, 1)] == [("127.000", "<"), ("127.000", ">")]
    forwarded = records(relay, 2)
    assert [(a[:15], io) for a, io, _ in forwarded] == [
        ("127.000.000.001", "<"), ("127.000.000.002", ">"), ("127.000.000.002", "<"), ("127.000.000.001", ">")]
    assert forwarded[0][2] == forwarded[1][2] and forwarded[2][2] == forwarded[3][2]


def test_truncated_udp_answer_is_retried_over_tcp_and_gets_all_addresses(relay):
    assert sorted(dig("+noedns", "@127.0.0.1", "many.example")) == sorted(MANY)
    # The server's datagram answer went to the client with its TC bit, never cleared.
    relay.wait_for("DNSTCP00053 00001 ", count=2)
    udp = re.compile(r"^\d{5} 127\.000\.000\.001:\d{5} >.{19} ((?:[0-9A-F]{2} )+)$")
    sent = [bytes.fromhex(m[1]) for m in map(udp.match, relay.dns()) if m]
    assert any(len(m) > 3 and m[2] & 0x82 == 0x82 for m in sent)


def test_pipelined_queries_on_one_connection_all_get_answers(relay):
    names = ["printer.lan", "upstream.example", "many.example", "PRINTER.lan", "upstream.example"]
    with socket.create_connection(("127.0.0.1", 53), timeout=5) as s:
        s.sendall(b"".join(framed(query(100 + i, n)) for i, n in enumerate(names)))
        answers = read_answers(s, len(names))
    assert sorted(struct.unpack(">H", a[:2])[0] for a in answers) == list(range(100, 100 + len(names)))
    assert all(a[2] & 0x80 and struct.unpack(">H", a[6:8])[0] > 0 for a in answers)
    relay.wait_for(re.compile("^00001 "), log="dns", count=2 * 2 + 4 * 3)


BAD = {
    "zero length": (b"\0\0", "closed: a message of length 0"),
    "shorter than a header": (b"\0\5hello", "closed: a message shorter than a DNS header"),
    "cut short": (framed(query(7, "upstream.example"))[:9], "disconnect in a message"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_input_ends_only_its_connection(relay, case):
    data, line = BAD[case]
    with socket.create_connection(("127.0.0.1", 53), timeout=5) as bad, \
            socket.create_connection(("127.0.0.1", 53), timeout=5) as good:
        bad.sendall(data)
        if case == "cut short":
            bad.shutdown(socket.SHUT_WR)
        assert bad.recv(100) == b""
        good.sendall(framed(query(9, "printer.lan")))
        assert read_answers(good, 1)[0][:2] == b"\0\x09"
    relay.wait_for("DNSTCP00053 00001 ", count=2)
    assert re.sub(r":\d+ ", ":P ", [l for l in relay.main() if l.startswith("DNSTCP00053 00001 ")][1]) == \
        "DNSTCP00053 00001  127.0.0.1:P " + line


def test_random_bytes_and_many_idle_connections_leave_other_clients_served(relay):
    rnd = random.Random(26)
    junk = [socket.create_connection(("127.0.0.1", 53), timeout=5) for _ in range(300)]
    for s in junk[:100]:
        s.sendall(bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 300))))
    for s in junk[:50]:
        s.close()
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    for _ in range(10000):  # silent: each takes the place of the one idle longest
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", 53))
        junk.append(s)
    assert dig("+tcp", "@127.0.0.1", "upstream.example") == ["10.9.8.7"]
    assert dig("@127.0.0.1", "printer.lan") == ["192.168.0.50"]
    assert len(os.listdir("/proc/%d/fd" % relay.proc.pid)) < 2000
    for s in junk[50:]:
        s.close()
    relay.stop()
    assert "End Stop" in relay.main()


def status(d, n):
    # The n-th status block of the run.
    d.signal(signal.SIGUSR1)
    d.wait_for("Status end", count=n)
    block = [l for l in d.main() if l.startswith("Status ")]
    begins = [i for i, l in enumerate(block) if l.startswith("Status begin")]
    return block[begins[n - 1]:]


def busy(block):
    return int(re.search(r"Status pool workers \d+ busy (\d+)", "\n".join(block))[1])


# It trickles its message a byte every 0.4 s: no receive of the relay waits long enough to time out.
def test_client_stalled_in_a_message_is_closed_within_the_idle_limit(relay):
    before = busy(status(relay, 1))
    with socket.create_connection(("127.0.0.1", 53), timeout=15) as s:
        start = time.monotonic()
        for byte in framed(query(3, "x" * 60 + ".lan")):
            with contextlib.suppress(OSError):
                s.send(bytes([byte]))
            if select.select([s], [], [], 0.4)[0]:
                break
        assert s.recv(100) == b""
        assert time.monotonic() - start < 11.5
    relay.wait_for("DNSTCP00053 00001 ", count=2)
    assert [l for l in relay.main() if l.startswith("DNSTCP00053 00001 ")][1].endswith(
        "closed because long idle in a message")
    block = status(relay, 2)
    assert busy(block) == before
    assert any(re.fullmatch(r"Status DNSTCP 00053 clients [01] bound \d+ started 1 evicted 0 failed 0 refused 0 "
                            r"in 0 out 0 messages", l) for l in block), block


def test_ipv6_clients_get_local_and_forwarded_answers_over_udp_and_tcp(daemon):
    with peers.DnsServer():
        d = daemon(vexa.config(LOCAL, dns_srv="127.0.0.2").replace("<VEXAProxy ", '<VEXAProxy DNSIPv6Local="::1" ', 1))
        wait_tcp("[::1]", 53)
        for mode in ("+notcp", "+tcp"):
            assert dig(mode, "@::1", "printer.lan") == ["192.168.0.50"]
            assert dig(mode, "@::1", "upstream.example") == ["10.9.8.7"]
        assert dig("@127.0.0.1", "printer.lan") == ["192.168.0.50"]
        d.wait_for("[0000:0000:0000:0000:0000:0000:0000:0001]:", log="dns", count=2 * 2 + 2 * 2)
        v6 = re.compile(r"^\d{5} \[0000:0000:0000:0000:0000:0000:0000:0001\]:\d{5} [ >].{19}[ <](?:[0-9A-F]{2} )+$")
        assert sum(bool(v6.match(l)) for l in d.dns()) == 8
