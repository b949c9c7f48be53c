# The daemon's peers on loopback: a web server, a DNS server (dnsmasq) reached on port 53 through an
# nftables redirect, TCP targets, UDP peers (the fake cloud server, RM7 devices) and one-shot clients.
# Used by the system tests, the demo and the benchmark.
import concurrent.futures
import contextlib
import os
import socket
import subprocess
import threading
import time

import vexa

V7_TOOL = os.environ.get("VEXAPROXY_V7_TOOL", os.path.join(os.path.dirname(vexa.BIN), "tests", "v7-datagram"))

WEB_PAGE = b"<html><body>VEXAProxy demo portal</body></html>\n"


# Accepts on addr:port and runs serve(connection) for each connection in a thread of its own;
# the connection is closed when serve returns.
@contextlib.contextmanager
def TcpTarget(addr, port, serve):
    def run(c):
        with c, contextlib.suppress(OSError):
            serve(c)

    def accept():
        with contextlib.suppress(OSError):
            while True:
                threading.Thread(target=run, args=(sock.accept()[0],), daemon=True).start()

    sock = socket.create_server((addr, port), backlog=256)
    threading.Thread(target=accept, daemon=True).start()
    try:
        yield sock
    finally:
        sock.shutdown(socket.SHUT_RDWR)  # wakes the accept, which would keep the port open
        sock.close()


# Answers one HTTP request with WEB_PAGE once its header is complete.
def answer_get(c):
    with c.makefile("rb") as f:
        while f.readline() not in (b"\r\n", b""):
            pass
    c.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(WEB_PAGE), WEB_PAGE))


def WebServer(addr="127.0.0.3", port=8000):
    return TcpTarget(addr, port, answer_get)


# dnsmasq on 127.0.0.2:5353 with no cache, answering `names` itself; queries to 127.0.0.2:53 are
# redirected to it, because the relay holds port 53 and always asks port 53.
@contextlib.contextmanager
def DnsServer(addr="127.0.0.2", port=5353, names=(("upstream.example", "10.9.8.7"),), records=()):
    # records: (name, address) pairs of host records, several per name if need be.
    subprocess.run(["nft", "-f", "-"], check=True, input=(
        "table ip vexa_test {\n chain out {\n  type nat hook output priority -100;\n"
        "  ip daddr %s udp dport 53 dnat to %s:%d\n  ip daddr %s tcp dport 53 dnat to %s:%d\n }\n}\n"
        % (addr, addr, port, addr, addr, port)).encode())
    proc = subprocess.Popen(["/usr/sbin/dnsmasq", "--keep-in-foreground", "--no-resolv",
                             "--no-hosts", "--bind-interfaces", "--listen-address=" + addr, "--port=%d" % port,
                             "--cache-size=0", "--user=root", "--pid-file="] + ["--address=/%s/%s" % n for n in dict(names).items()]
                            + ["--host-record=%s,%s" % r for r in records],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_udp(addr, port)
        yield proc
    finally:
        proc.terminate()
        proc.wait()
        subprocess.run(["nft", "delete", "table", "ip", "vexa_test"], check=False)


# Waits until something is bound to a UDP port.
def wait_udp(addr, port, timeout=5):
    deadline = time.monotonic() + timeout
    while not subprocess.run(["ss", "-Hlun", "src", "%s:%d" % (addr, port)], capture_output=True).stdout.strip():
        assert time.monotonic() < deadline, "nothing listens on udp %s:%d" % (addr, port)
        time.sleep(0.05)


# A bound UDP socket; get() returns the next datagram with its sender.
class UdpPeer:
    def __init__(self, addr, port=0, family=socket.AF_INET):
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        self.sock.bind((addr, port))

    def get(self, timeout=5):
        self.sock.settimeout(timeout)
        return self.sock.recvfrom(65535)

    def close(self):
        self.sock.close()


# A V7 cloud-channel datagram from the project's encoder.
def v7_datagram(typ, src, dst, payload="", seed=0x5A):
    return subprocess.run([V7_TOOL, str(typ), str(src), str(dst), payload, str(seed)], check=True, capture_output=True).stdout


# Reads until the peer closes (or limit bytes came); a reset ends the read too.
def recv_all(s, limit=None):
    got = b""
    with contextlib.suppress(ConnectionResetError):
        while (limit is None or len(got) < limit) and (data := s.recv(65536)):
            got += data
    return got


# One HTTP/1.1 GET; returns the raw reply (b"" when the relay closed without an answer).
def http_get(host, port, host_header, family=socket.AF_INET, timeout=5):
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect((host, port))
        s.sendall(b"GET / HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % host_header.encode())
        return recv_all(s)


def udp_exchange(host, port, payload, family=socket.AF_INET, timeout=5):
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        s.sendto(payload, (host, port))
        return s.recvfrom(65535)


# Sends payload (then half-closes, if asked) while reading as many bytes back; what came.
def tcp_exchange(host, port, payload, family=socket.AF_INET, timeout=5, half_close=False):
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect((host, port))

        def send():
            with contextlib.suppress(OSError):  # a target that resets
                s.sendall(payload)
                if half_close:
                    s.shutdown(socket.SHUT_WR)

        with concurrent.futures.ThreadPoolExecutor(1) as sender:
            sender.submit(send)
            return recv_all(s, len(payload))
