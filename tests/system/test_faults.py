"""Faults from outside on the real daemon: its log directory gone, unwritable or full, few
descriptors, peers that reset, half-close or send odd datagrams, and signal storms. The daemon
must keep relaying, report what it cannot log on standard output and stop in order."""
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import threading
import time

import dns.message
import dns.query

import peers
import vexa

LOG_MOUNT = "/var/log/VEXA"


def config(*children, dns_srv=""):
    attr = ' DNSSrv="%s"' % dns_srv if dns_srv else ""
    return '<?xml version="1.0"?>\n<VEXAProxy%s>\n%s\n</VEXAProxy>\n' % (attr, "\n".join(children))


UDP_ECHO = '<Port TypProt="UDP" PortLocal="7007" Echo="0"/>'
TCP_ECHO = '<Port TypProt="TCP" PortLocal="7007" Echo="0"/>'


LISTED = re.compile(r"^(TCP|UDP)v[46] +\d+ -> ")


def start(cfg, **kwargs):
    """The daemon, once every Port rule of cfg is listed (a rule is listed after it started)."""
    d = vexa.Daemon(cfg, **kwargs).start()
    d.wait_for(LISTED, count=cfg.count("<Port "))
    return d


def udp_echo_works():
    data, _ = peers.udp_exchange("127.0.0.1", 7007, b"ping")
    return data == b"ping"


def mount_tmpfs(size):
    os.makedirs(LOG_MOUNT, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", LOG_MOUNT], check=True)


def umount():
    subprocess.run(["umount", "-l", LOG_MOUNT], check=False)


def wait_stdout(d, needles, timeout=10):
    """What the running daemon wrote to standard output, once it holds one of needles."""
    fd = d.proc.stdout.fileno()
    os.set_blocking(fd, False)
    out = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            out += os.read(fd, 65536) or b""
        except BlockingIOError:
            pass
        text = out.decode("utf-8", "replace")
        if any(n in text for n in needles):
            os.set_blocking(fd, True)
            return text
        time.sleep(0.05)
    os.set_blocking(fd, True)
    raise AssertionError("no %r on standard output: %r" % (needles, out))


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def test_vanished_log_directory_is_reported_and_writing_resumes_when_it_returns():
    d = start(config(UDP_ECHO))
    try:
        shutil.rmtree(vexa.MAIN_LOG_DIR)
        d.signal(signal.SIGHUP)  # a line with nowhere to go
        assert udp_echo_works()
        time.sleep(0.3)
        os.makedirs(vexa.MAIN_LOG_DIR)
        d.signal(signal.SIGHUP)
        d.wait_for("Reload")
        assert udp_echo_works()
    finally:
        d.stop()
    assert "OpenNew" in d.stdout


def test_unwritable_log_directory_then_writable_again():
    mount_tmpfs("1m")
    try:
        os.makedirs(vexa.MAIN_LOG_DIR)
        os.makedirs(vexa.DNS_LOG_DIR)
        subprocess.run(["mount", "-o", "remount,ro", LOG_MOUNT], check=True)
        d = vexa.Daemon(config(UDP_ECHO), clean_logs=False).start(wait_for=None)
        try:
            peers.wait_udp("0.0.0.0", 7007)
            assert udp_echo_works()
            assert vexa.read_lines(vexa.MAIN_LOG_DIR) == []
            subprocess.run(["mount", "-o", "remount,rw", LOG_MOUNT], check=True)
            d.signal(signal.SIGHUP)
            d.wait_for("Reload")
            assert udp_echo_works()
        finally:
            d.stop()
        assert "OpenNew" in d.stdout
    finally:
        umount()


def test_full_log_file_system_loses_lines_but_not_service_and_recovers():
    mount_tmpfs("256k")
    try:
        d = start(config(UDP_ECHO), clean_logs=False)
        try:
            filler = os.path.join(LOG_MOUNT, "filler")
            with open(filler, "wb", buffering=0) as f:
                try:
                    while True:
                        f.write(b"x" * 4096)
                except OSError:
                    pass
            # Each echoed datagram is a log line: more than the file's last page can take.
            for _ in range(100):
                assert udp_echo_works()
            # The writer runs behind: free the space only once it has reported the loss.
            reported = wait_stdout(d, ("!good()", "OpenNew"))
            os.unlink(filler)
            d.signal(signal.SIGHUP)
            d.signal(signal.SIGHUP)
            d.wait_for("Reload", count=1)
            assert udp_echo_works()
        finally:
            d.stop()
        assert reported
    finally:
        umount()


def test_descriptor_limit_pauses_accepting_without_spinning_and_service_resumes():
    def low_limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))

    d = start(config(TCP_ECHO), preexec_fn=low_limit)
    clients = []
    try:
        for _ in range(200):
            s = socket.socket()
            s.settimeout(5)
            s.connect(("127.0.0.1", 7007))
            clients.append(s)
        time.sleep(0.5)
        before = cpu_ticks(d.proc.pid)
        time.sleep(2)
        used = cpu_ticks(d.proc.pid) - before
        hz = os.sysconf("SC_CLK_TCK")
        assert used < hz // 2, "accept loop used %d ticks in 2 s" % used
        for s in clients:
            s.close()
        clients = []
        deadline = time.monotonic() + 20
        while True:
            try:
                assert peers.tcp_exchange("127.0.0.1", 7007, b"back", timeout=2) == b"back"
                break
            except (OSError, AssertionError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
    finally:
        for s in clients:
            s.close()
        d.stop()


class ResettingTarget:
    """Accepts, reads a little, answers a little, then resets the connection."""

    def __init__(self, addr="127.0.0.3", port=8001):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((addr, port))
        self.sock.listen(16)
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            try:
                c.recv(100)
                c.sendall(b"partial")
                time.sleep(0.1)
            except OSError:
                pass
            c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            c.close()

    def close(self):
        self.sock.close()


def test_target_reset_mid_stream_ends_that_connection_only():
    target = ResettingTarget()
    d = start(config('<Port TypProt="TCP" PortLocal="8081" PortRemote="8001" IPRemote="127.0.0.3"/>',
                     TCP_ECHO))
    try:
        for _ in range(5):
            with socket.create_connection(("127.0.0.1", 8081), timeout=5) as s:
                s.sendall(b"hello" * 1000)
                got = b""
                while True:
                    try:
                        data = s.recv(65536)
                    except ConnectionResetError:
                        break
                    if not data:
                        break
                    got += data
                assert got in (b"", b"partial")
        assert peers.tcp_exchange("127.0.0.1", 7007, b"still here") == b"still here"
    finally:
        target.close()
        d.stop()


def test_half_closing_client_delivers_everything_it_sent():
    received = []
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.3", 8002))
    srv.listen(4)

    def sink():
        c, _ = srv.accept()
        data = b""
        while True:
            chunk = c.recv(65536)
            if not chunk:
                break
            data += chunk
        received.append(data)
        c.close()

    t = threading.Thread(target=sink, daemon=True)
    t.start()
    d = start(config('<Port TypProt="TCP" PortLocal="8082" PortRemote="8002" IPRemote="127.0.0.3"/>',
                     TCP_ECHO))
    try:
        payload = bytes(range(256)) * 2000
        with socket.create_connection(("127.0.0.1", 8082), timeout=5) as s:
            s.sendall(payload)
            s.shutdown(socket.SHUT_WR)
            t.join(10)
        assert received == [payload]
        # The echo answers what came before the half-close.
        with socket.create_connection(("127.0.0.1", 7007), timeout=5) as s:
            s.sendall(b"abc")
            s.shutdown(socket.SHUT_WR)
            got = b""
            while len(got) < 3:
                chunk = s.recv(10)
                if not chunk:
                    break
                got += chunk
            assert got == b"abc"
    finally:
        srv.close()
        d.stop()


def test_empty_tiny_and_largest_datagrams_on_every_udp_port():
    fwd = peers.UdpPeer("127.0.0.5", 7100)
    fwd6 = peers.UdpPeer("::1", 7101, socket.AF_INET6)
    cloud = peers.UdpPeer("127.0.0.4", 6100)
    d = start(config(
        UDP_ECHO,
        '<Port TypProt="UDP" PortLocal="5300" PortRemote="7100" IPRemote="127.0.0.5"/>',
        '<Port TypProt="UDPv6" PortLocal="5306" PortRemote="7101" IPv6Remote="::1"/>',
        '<DNS Name="printer.lan" IP="192.168.0.50"/>',
        '<CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6100" VEXACloud="127.0.0.4"/>',
        dns_srv="127.0.0.2"))
    try:
        d.wait_for("RM7 UDP 4999")
        peers.wait_udp("0.0.0.0", 53)
        targets = [(socket.AF_INET, "127.0.0.1", p) for p in (7007, 5300, 53, 4999, 5000)]
        targets.append((socket.AF_INET6, "::1", 5306))
        for family, host, port in targets:
            with socket.socket(family, socket.SOCK_DGRAM) as s:
                for size in (0, 1, 65507):
                    s.sendto(b"\xff" * size, (host, port))
        time.sleep(0.5)
        assert udp_echo_works()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(b"fwd", ("127.0.0.1", 5300))
        assert any(fwd.get()[0] == b"fwd" for _ in range(4))
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
            s.sendto(b"fwd6", ("::1", 5306))
        assert any(fwd6.get()[0] == b"fwd6" for _ in range(4))
        answer = dns.query.udp(dns.message.make_query("printer.lan", "A"), "127.0.0.1", timeout=5)
        assert answer.answer[0][0].address == "192.168.0.50"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as dev:
            dev.sendto(peers.v7_datagram(3, 1234, 1), ("127.0.0.1", 4999))
        datagram = peers.v7_datagram(3, 1234, 1)
        while True:
            got, _ = cloud.get()
            if got == datagram:
                break
    finally:
        for p in (fwd, fwd6, cloud):
            # Wakes the peer's receive thread, which otherwise keeps the port bound after close.
            try:
                p.sock.shutdown(socket.SHUT_RDWR)
            except OSError:  # not connected: Linux wakes the receiver all the same
                pass
            p.close()
        d.stop()


def test_repeated_sigterm_during_stop_still_stops_in_order():
    d = start(config(TCP_ECHO, UDP_ECHO, '<DNS Name="a.lan" IP="10.0.0.1"/>', dns_srv="127.0.0.2"))
    clients = [socket.create_connection(("127.0.0.1", 7007)) for _ in range(20)]
    try:
        for _ in range(30):
            d.signal(signal.SIGTERM)
            time.sleep(0.02)
        d.stop()
    finally:
        for c in clients:
            c.close()
    lines = d.main()
    assert lines.count("End Stop") == 1


def test_sighup_storm_while_relaying_loses_no_byte():
    d = start(config(TCP_ECHO))
    stop = threading.Event()

    def storm():
        while not stop.is_set():
            d.signal(signal.SIGHUP)
            time.sleep(0.002)

    t = threading.Thread(target=storm)
    t.start()
    try:
        payload = os.urandom(1 << 20)
        with socket.create_connection(("127.0.0.1", 7007), timeout=10) as s:
            sender = threading.Thread(target=s.sendall, args=(payload,))
            sender.start()
            got = bytearray()
            while len(got) < len(payload):
                chunk = s.recv(65536)
                assert chunk
                got += chunk
            sender.join()
        assert bytes(got) == payload
    finally:
        stop.set()
        t.join()
    d.wait_for("Reload")
    d.stop()
