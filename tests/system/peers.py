"""The daemon's peers on loopback: a web server, a DNS server (dnsmasq) reached on port 53 through an
nftables redirect, TCP targets, a fake cloud server and RM7 devices, and one-shot clients. Used by the
system tests and the demo."""
import contextlib
import http.server
import os
import queue
import shutil
import socket
import subprocess
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
V7_TOOL = os.environ.get("VEXAPROXY_V7_TOOL", os.path.join(os.path.dirname(
    os.environ.get("VEXAPROXY_BIN", os.path.join(ROOT, "build", "release", "vexaproxy"))), "tests", "v7-datagram"))

WEB_PAGE = b"<html><body>VEXAProxy demo portal</body></html>\n"


class WebServer:
    """HTTP server on addr:port answering every GET with WEB_PAGE."""

    def __init__(self, addr="127.0.0.3", port=8000):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Length", str(len(WEB_PAGE)))
                self.end_headers()
                self.wfile.write(WEB_PAGE)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer((addr, port), Handler)
        self.server.daemon_threads = True

    def __enter__(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


class DnsServer:
    """dnsmasq on 127.0.0.2:5353 with no cache, answering `names` itself; queries to 127.0.0.2:53 are
    redirected to it, because the relay holds port 53 and always asks port 53."""

    def __init__(self, addr="127.0.0.2", port=5353, names=None):
        self.addr, self.port = addr, port
        self.names = names or {"upstream.example": "10.9.8.7"}
        self.logfile = "/tmp/dnsmasq-%d.log" % os.getpid()

    def __enter__(self):
        subprocess.run(["nft", "-f", "-"], check=True, input=(
            "table ip vexa_test {\n chain out {\n  type nat hook output priority -100;\n"
            "  ip daddr %s udp dport 53 dnat to %s:%d\n }\n}\n" % (self.addr, self.addr, self.port)).encode())
        args = [shutil.which("dnsmasq") or "/usr/sbin/dnsmasq", "--keep-in-foreground", "--no-resolv",
                "--no-hosts", "--bind-interfaces", "--listen-address=" + self.addr, "--port=%d" % self.port,
                "--cache-size=0", "--log-queries", "--log-facility=" + self.logfile, "--user=root", "--pid-file="]
        args += ["--address=/%s/%s" % (n, a) for n, a in self.names.items()]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_udp(self.addr, self.port)
        return self

    def queries(self):
        """Names dnsmasq was asked for, in order."""
        try:
            with open(self.logfile) as f:
                return [l.split("query[")[1].split("] ")[1].split(" ")[0] for l in f if "query[" in l]
        except FileNotFoundError:
            return []

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait()
        subprocess.run(["nft", "delete", "table", "ip", "vexa_test"], check=False)
        if os.path.exists(self.logfile):
            os.unlink(self.logfile)


def wait_udp(addr, port, timeout=5):
    """Waits until something is bound to a UDP port."""
    deadline = time.monotonic() + timeout
    while not subprocess.run(["ss", "-Hlun", "src", "%s:%d" % (addr, port)], capture_output=True).stdout.strip():
        assert time.monotonic() < deadline, "nothing listens on udp %s:%d" % (addr, port)
        time.sleep(0.05)


class TcpTarget:
    """Accepts on addr:port and runs serve(connection) for each connection in a thread of its own;
    the connection is closed when serve returns."""

    def __init__(self, addr, port, serve):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((addr, port))
        self.sock.listen(256)
        self.serve = serve
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(c,), daemon=True).start()

    def _serve(self, c):
        with c, contextlib.suppress(OSError):
            self.serve(c)

    def close(self):
        self.sock.shutdown(socket.SHUT_RDWR)  # wakes the accept, which would keep the port open
        self.sock.close()


class UdpPeer:
    """A UDP socket that collects what it receives (with the sender) in a queue."""

    def __init__(self, addr, port=0, family=socket.AF_INET):
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        self.sock.bind((addr, port))
        # A receive blocked in another thread would keep the port bound after close: poll instead.
        self.sock.settimeout(0.1)
        self.received = queue.Queue()
        self.closing = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.closing.is_set():
            try:
                self.received.put(self.sock.recvfrom(65535))
            except socket.timeout:
                continue
            except OSError:
                return

    def get(self, timeout=5):
        return self.received.get(timeout=timeout)

    def close(self):
        self.closing.set()
        self.thread.join()
        self.sock.close()


def v7_datagram(typ, src, dst, payload="", seed=0x5A):
    """A V7 cloud-channel datagram from the project's encoder."""
    return subprocess.run([V7_TOOL, str(typ), str(src), str(dst), payload, str(seed)], check=True,
                          capture_output=True).stdout


def recv_all(s, limit=None):
    """Reads until the peer closes (or limit bytes came); a reset ends the read too."""
    got = b""
    while limit is None or len(got) < limit:
        try:
            data = s.recv(65536)
        except ConnectionResetError:
            break
        if not data:
            break
        got += data
    return got


def http_get(host, port, host_header, family=socket.AF_INET, timeout=5):
    """One HTTP/1.1 GET; returns the raw reply (b"" when the relay closed without an answer)."""
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


def tcp_exchange(host, port, payload, family=socket.AF_INET, timeout=5, half_close=False):
    """Sends payload (then half-closes, if asked) while reading as many bytes back; what came."""
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect((host, port))

        def send():
            with contextlib.suppress(OSError):  # a target that resets
                s.sendall(payload)
                if half_close:
                    s.shutdown(socket.SHUT_WR)

        sender = threading.Thread(target=send)
        sender.start()
        got = recv_all(s, len(payload))
        sender.join()
        return got
