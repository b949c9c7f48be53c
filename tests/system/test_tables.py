# Full client tables on the real daemon: a TCP rule at its bound whose evicted connection hangs in a
# name lookup of its target, and one whose newcomer closes without sending. How each table ranks and
# counts its clients in detail, and what the DNS relay does for a client without an association, is
# the unit tests' part.
import contextlib
import queue
import socket
import threading
import time

import dns.message
import dns.rcode
import dns.rrset

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
