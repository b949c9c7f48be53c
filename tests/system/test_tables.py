# Full client tables on the real daemon: a TCP rule at its bound whose evicted connection hangs in a
# name lookup of its target, and the DNS relay when its clients can get no association because the
# daemon may start no more threads. How each table ranks and counts its clients in detail is the
# unit tests' part.
import contextlib
import os
import queue
import re
import signal
import socket
import threading
import time

import dns.message
import dns.name
import dns.rcode
import dns.rrset
import pytest

import peers
import vexa

STUCK = "stuck.example."
LOOKUP_TIMEOUT = 8  # s: the resolver's time-out, after which a lookup left unanswered gives up


# The name server of /etc/resolv.conf, on 127.0.0.9:53: while swallow is set a query for STUCK gets
# no answer (its arrival time goes to `swallowed`), otherwise STUCK is 127.0.0.3; any other name (a
# search domain the host's name may add) does not exist.
class Resolver:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.9", 53))
        self.sock.settimeout(0.2)  # a look at `running` now and then: a close wakes no recvfrom
        self.swallow, self.running, self.swallowed = True, True, queue.Queue()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while self.running:
            with contextlib.suppress(socket.timeout):
                data, peer = self.sock.recvfrom(512)
                query = dns.message.from_wire(data)
                stuck = query.question[0].name.to_text() == STUCK
                if stuck and self.swallow:
                    self.swallowed.put(time.monotonic())
                    continue
                reply = dns.message.make_response(query)
                if stuck:
                    reply.answer.append(dns.rrset.from_text(STUCK, 60, "IN", "A", "127.0.0.3"))
                else:
                    reply.set_rcode(dns.rcode.NXDOMAIN)
                self.sock.sendto(reply.to_wire(), peer)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()
        self.sock.close()


def echo(c):
    while data := c.recv(65536):
        c.sendall(data)


def test_connection_evicted_during_a_hung_lookup_holds_up_neither_the_rule_nor_the_stop(daemon, tmp_path):
    # MaxClients 2. A talks and its lookup of the target hangs; B talks and relays. After A has been
    # quiet for 2 s the waiting W evicts it, but A's thread cannot end before its lookup gives up,
    # and until then A still counts against the bound. When B ends, W takes B's place at once: the
    # rule's accept loop does not wait for A. V, next, gets in only once A's lookup has given up.
    # Client n is connection n of the rule.
    def talk(text):
        s = socket.create_connection(("127.0.0.1", 8083), timeout=10)
        s.sendall(text)
        return s

    def line(s, n, event):
        return "TCPv4 08083 %05d  127.0.0.1:%d %s" % (n, s.getsockname()[1], event)

    with contextlib.ExitStack() as stack:
        stack.enter_context(vexa.bound_file("/etc/resolv.conf", "nameserver 127.0.0.9\noptions timeout:%d attempts:1\n"
                                            % LOOKUP_TIMEOUT, tmp_path / "resolv.conf"))
        # Names are looked up in the file and on that server only, whatever else the host's NSS asks.
        stack.enter_context(vexa.bound_file("/etc/nsswitch.conf", "hosts: files dns\n", tmp_path / "nsswitch.conf"))
        resolver = stack.enter_context(Resolver())
        stack.enter_context(peers.TcpTarget("127.0.0.3", 8003, echo))
        d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8083" PortRemote="8003" IPRemote="stuck.example" '
                               'MaxClients="2"/>'), listed=True)
        a_talked = time.monotonic()
        a = stack.enter_context(talk(b"a"))
        asked = resolver.swallowed.get(timeout=10)  # A's lookup is under way and will get no answer
        gives_up = asked + LOOKUP_TIMEOUT
        resolver.swallow = False
        b = stack.enter_context(talk(b"b"))
        assert peers.recv_all(b, 1) == b"b"
        w = stack.enter_context(talk(b"w"))

        d.wait_for(line(a, 1, "deleted because table full"))
        # (The daemon's clock counts whole milliseconds: a hair less than 2 s may pass between the two.)
        assert time.monotonic() - a_talked >= 1.9, "A talked, so it goes only after 2 s of quiet"
        assert peers.recv_all(a) == b""  # cut off at once, although its thread is still in the lookup
        b.sendall(b"still")  # B talked more recently than A: it still relays
        assert peers.recv_all(b, 5) == b"still"
        b.close()
        # W takes the place of B long before A's lookup gives up: nothing waits for A's thread.
        d.wait_for(line(w, 3, "connect"), timeout=max(0.0, gives_up - 2 - time.monotonic()))
        assert peers.recv_all(w, 1) == b"w"
        lines = d.main()
        assert lines.index(line(a, 1, "deleted because table full")) < lines.index(line(w, 3, "connect"))

        resolver.swallow = True  # V's own lookup hangs, for the stop below
        v = stack.enter_context(talk(b"v"))
        d.wait_for(line(v, 4, "connect"), timeout=LOOKUP_TIMEOUT + 5)
        admitted = time.monotonic()
        assert gives_up - 0.5 < admitted < gives_up + 1.5, "V must get in once A's lookup has given up, not before"
        w.sendall(b"w2")  # the rule evicted nobody else meanwhile
        assert peers.recv_all(w, 2) == b"w2"
        d.stop(timeout=LOOKUP_TIMEOUT + 5)  # V's lookup still hangs: the stop waits for it, in order


def hex_bytes(data):
    return "".join("%02X " % b for b in data)


DNS_RECORD = re.compile(r"^(\d{5}) 127\.000\.000\.001:(\d{5})  .{19}<((?:[0-9A-F]{2} )+)$")  # a received query
DROPPED = re.compile(r"^DNS 00053 (\d+) queries dropped: no association for their clients$")


def test_queries_of_clients_without_an_association_are_logged_answered_or_summed_up(daemon):
    # Once the daemon has started, its pids cgroup takes no further task: no new client gets an
    # association (a thread of its own) unless a worker is idle. 20 clients ask for a configured name
    # and 20 for a name only the server knows; each from a port of its own.
    cgroup = vexa.PidsCgroup.make("vexa-test-%d" % os.getpid(), "max")
    if cgroup is None:
        pytest.skip("no writable pids cgroup (v2 or v1) on this machine")
    d = None
    try:
        # Nothing listens on 127.0.0.2: what goes there needs no answer here.
        d = daemon(vexa.config('<DNS Name="printer.lan" IP="192.168.0.50"/>', dns_srv="127.0.0.2"),
                   preexec_fn=cgroup.join)
        d.signal(signal.SIGHUP)  # "Reload" comes once the start-up is over: every thread of it is up
        d.wait_for("Reload")
        cgroup.set_limit(cgroup.tasks())
        with contextlib.ExitStack() as stack:
            sent = []
            for name in ["printer.lan", "upstream.example"] * 20:
                s = stack.enter_context(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
                s.bind(("127.0.0.1", 0))
                s.settimeout(5)
                query = dns.message.make_query(name, "A")
                s.sendto(query.to_wire(), ("127.0.0.1", 53))
                sent.append((name, s, query))
            for name, s, query in sent:
                if name == "printer.lan":
                    reply = dns.message.from_wire(s.recv(512))
                    assert reply.id == query.id and [r.to_text() for r in reply.answer[0]] == ["192.168.0.50"]
            d.wait_for(DROPPED)
            assert cgroup.refused(), "the cgroup refused no task"
            expected = {(s.getsockname()[1], hex_bytes(query.to_wire())) for name, s, query in sent}
        d.stop()
        records = [m.groups() for m in map(DNS_RECORD.match, d.dns()) if m]
        assert expected <= {(int(port), data) for _, port, data in records}
        # Each query that had neither an association nor a local answer is counted in a sum; the last
        # sum is written at the stop.
        forwarded = hex_bytes(dns.name.from_text("upstream.example").to_wire())
        unassociated = [data for client, _, data in records if client == "00000" and forwarded in data]
        assert unassociated
        assert sum(int(m[1]) for m in map(DROPPED.match, d.main()) if m) == len(unassociated)
    finally:
        if d:
            d.kill()
        cgroup.remove()


def test_client_that_closes_without_sending_passes_the_deferral_of_a_full_rule(daemon):
    # A full TCP rule has the kernel hold back clients that have sent nothing; one that connects and
    # closes at once is not held back (its end is no bare acknowledgement) and gets its lines.
    with peers.TcpTarget("127.0.0.3", 8031, echo):
        d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8030" PortRemote="8031" IPRemote="127.0.0.3" '
                               'MaxClients="1"/>'), listed=True)
        with socket.create_connection(("127.0.0.1", 8030)) as silent:
            d.wait_for("TCPv4 08030 00001  127.0.0.1:%d connect" % silent.getsockname()[1])
            time.sleep(0.2)  # the accept loop has seen the rule full
            with socket.create_connection(("127.0.0.1", 8030)) as closing:
                port = closing.getsockname()[1]
            d.wait_for("TCPv4 08030 00002  127.0.0.1:%d connect" % port, timeout=3)
            d.wait_for("CTCPCli::WinSockCliProc TCPv4 08030 00002  127.0.0.1:%d disconnect" % port, timeout=3)
        d.stop()
