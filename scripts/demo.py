"""`make demo`: the daemon on examples/demo-loopback.xml with its peers on loopback, real traffic through
every kind of rule, what each client saw, then SIGTERM and both logs. Runs inside scripts/netns-run."""
import os
import signal
import socket
import sys

import dns.message
import dns.query

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import peers  # noqa: E402
import vexa  # noqa: E402


def show(title, outcome):
    print("%-58s %s" % (title, outcome))


def try_step(title, step):
    try:
        show(title, step())
    except Exception as exc:  # the demo goes on and shows what failed
        show(title, "FAILED: %r" % exc)


def main():
    sample = open(os.path.join(vexa.ROOT, "examples", "demo-loopback.xml"), encoding="utf-8").read()
    with peers.WebServer(), peers.DnsServer():
        cloud = peers.UdpPeer("127.0.0.4", 6000)
        d = vexa.Daemon(sample).start()
        d.wait_for("RM7 UDP 4999 Cloud UDP 5000")
        print("== vexaproxy service is running (pid %d); traffic through every rule:" % d.proc.pid)

        def http(host, port, host_header, family=socket.AF_INET):
            reply = peers.http_get(host, port, host_header, family=family)
            return reply.split(b"\r\n")[0].decode() if reply else "closed without an answer"

        try_step("TCP  :8080 Host: portal.example -> web server", lambda: http("127.0.0.1", 8080, "portal.example"))
        try_step("TCP  :8080 Host: intruder.example -> refused", lambda: http("127.0.0.1", 8080, "intruder.example"))
        try_step("TCPv6 [::1]:8086 -> web server on 127.0.0.3",
                 lambda: http("::1", 8086, "portal.example", family=socket.AF_INET6))
        try_step("TCP  :7007 echo", lambda: peers.tcp_exchange("127.0.0.1", 7007, b"hello over tcp").decode())
        try_step("UDP  :7007 echo", lambda: peers.udp_exchange("127.0.0.1", 7007, b"hello over udp")[0].decode())

        def ask(name, host="127.0.0.1", port=53, edns=False, tcp=False):
            query = dns.query.tcp if tcp else dns.query.udp
            r = query(dns.message.make_query(name, "A", use_edns=edns), host, port=port, timeout=5)
            return ", ".join(str(rr) for rrset in r.answer for rr in rrset) + " (ttl %d)" % r.answer[0].ttl

        try_step("UDP  :5300 -> DNS server, upstream.example", lambda: ask("upstream.example", port=5300))
        try_step("UDPv6 [::1]:5306 -> DNS server, upstream.example", lambda: ask("upstream.example", "::1", 5306))
        try_step("DNS  :53 printer.lan (answered by the relay)", lambda: ask("printer.lan"))
        try_step("DNS  :53 upstream.example (forwarded)", lambda: ask("upstream.example"))
        try_step("DNS  TCP :53 upstream.example (forwarded over TCP)", lambda: ask("upstream.example", tcp=True))

        def v7():
            device = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            device.settimeout(5)
            datagram = peers.v7_datagram(3, 1234, 1, "lift 1234 reporting")
            device.sendto(datagram, ("127.0.0.1", 4999))
            got, sender = cloud.get()
            cloud.sock.sendto(peers.v7_datagram(4, 1, 1234, "ack"), sender)
            back, _ = device.recvfrom(2048)
            device.close()
            return "cloud got %d bytes from port %d; device got the %d-byte answer" % (len(got), sender[1], len(back))

        try_step("RM7  :4999 node 1234 -> cloud 127.0.0.4:6000 and back", v7)
        print("== SIGTERM")
        d.signal(signal.SIGTERM)
        d.proc.wait(timeout=30)
        print("== exit code %d" % d.proc.returncode)
        cloud.close()
    print("== main log (%s)" % vexa.MAIN_LOG_DIR)
    print("\n".join(d.main_raw()))
    print("== DNS log (%s)" % vexa.DNS_LOG_DIR)
    print("\n".join(d.dns()))


if __name__ == "__main__":
    main()
