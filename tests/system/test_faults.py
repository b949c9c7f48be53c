"""Faults from outside on the real daemon: its log directory gone, unwritable or full, few
descriptors, targets that reset, clients that half-close or send odd datagrams, and signal storms.
The daemon must keep relaying, report what it cannot log on standard output and stop in order."""
import contextlib
import os
import queue
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time

import dns.message
import pytest

import peers
import vexa

LOG_MOUNT = "/var/log/VEXA"
UDP_ECHO = '<Port TypProt="UDP" PortLocal="7007" Echo="0"/>'
TCP_ECHO = '<Port TypProt="TCP" PortLocal="7007" Echo="0"/>'


def udp_echo_works():
    return peers.udp_exchange("127.0.0.1", 7007, b"ping")[0] == b"ping"


@contextlib.contextmanager
def log_file_system(size):
    os.makedirs(LOG_MOUNT, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", LOG_MOUNT], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", "-l", LOG_MOUNT], check=False)


def remount(mode):
    subprocess.run(["mount", "-o", "remount," + mode, LOG_MOUNT], check=True)


@pytest.mark.parametrize("fault", ["vanished", "read-only"])
def test_log_directory_fault_is_reported_and_writing_resumes_once_mended(daemon, fault):
    with log_file_system("1m"):
        if fault == "read-only":  # before the start: a file open for writing would block the remount
            os.makedirs(vexa.MAIN_LOG_DIR)
            os.makedirs(vexa.DNS_LOG_DIR)
            remount("ro")
        d = daemon(vexa.config(UDP_ECHO), wait_for=None, clean_logs=False)
        peers.wait_udp("0.0.0.0", 7007)
        if fault == "vanished":
            d.wait_for("Start v")
            shutil.rmtree(vexa.MAIN_LOG_DIR)
            d.signal(signal.SIGHUP)  # a line with nowhere to go
        d.wait_for("OpenNew", log="stdout")
        assert udp_echo_works()
        if fault == "vanished":
            os.makedirs(vexa.MAIN_LOG_DIR)
        else:
            remount("rw")
        d.signal(signal.SIGHUP)
        d.wait_for("Reload")
        assert udp_echo_works()
        d.stop()


def test_full_log_file_system_loses_lines_but_not_service_and_recovers(daemon):
    with log_file_system("256k"):
        d = daemon(vexa.config(UDP_ECHO), listed=True, clean_logs=False)
        filler = os.path.join(LOG_MOUNT, "filler")
        with open(filler, "wb", buffering=0) as f, contextlib.suppress(OSError):
            while True:
                f.write(b"x" * 4096)
        for _ in range(100):  # each echoed datagram is a log line: more than the file's last page takes
            assert udp_echo_works()
        # The writer runs behind: free the space only once it has reported the loss.
        d.wait_for(re.compile(r"!good\(\)|OpenNew"), log="stdout")
        os.unlink(filler)
        d.signal(signal.SIGHUP)
        d.wait_for("Reload")
        assert udp_echo_works()
        d.stop()


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def test_descriptor_limit_pauses_accepting_without_spinning_and_service_resumes(daemon):
    d = daemon(vexa.config(TCP_ECHO), listed=True,
               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64)))
    clients = [socket.create_connection(("127.0.0.1", 7007), timeout=5) for _ in range(200)]
    time.sleep(0.3)
    before = cpu_ticks(d.proc.pid)
    time.sleep(1)
    assert cpu_ticks(d.proc.pid) - before < os.sysconf("SC_CLK_TCK") // 4, "the accept loop spins"
    for s in clients:
        s.close()
    deadline = time.monotonic() + 20
    while True:  # accepting resumes once descriptors are free again
        try:
            assert peers.tcp_exchange("127.0.0.1", 7007, b"back", timeout=2) == b"back"
            break
        except (OSError, AssertionError):
            assert time.monotonic() < deadline
            time.sleep(0.2)
    d.stop()


def reset_after_a_little(c):
    with contextlib.suppress(OSError):
        c.recv(100)
        c.sendall(b"partial")
        time.sleep(0.1)
    c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()


def test_target_reset_ends_that_connection_only_and_half_close_delivers_everything(daemon):
    resetting = peers.TcpTarget("127.0.0.3", 8001, reset_after_a_little)
    received = queue.Queue()
    sink = peers.TcpTarget("127.0.0.3", 8002, lambda c: received.put(peers.recv_all(c)))
    d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8081" PortRemote="8001" IPRemote="127.0.0.3"/>',
                           '<Port TypProt="TCP" PortLocal="8082" PortRemote="8002" IPRemote="127.0.0.3"/>',
                           TCP_ECHO), listed=True)
    try:
        for _ in range(5):
            assert peers.tcp_exchange("127.0.0.1", 8081, b"hello" * 1000) in (b"", b"partial")
        payload = bytes(range(256)) * 2000
        assert peers.tcp_exchange("127.0.0.1", 8082, payload, half_close=True) == b""
        assert received.get(timeout=10) == payload
        # The echo answers what came before the half-close.
        assert peers.tcp_exchange("127.0.0.1", 7007, b"abc", half_close=True) == b"abc"
    finally:
        resetting.close()
        sink.close()
    d.stop()


def test_empty_tiny_and_largest_datagrams_on_every_udp_port(daemon):
    fwd = peers.UdpPeer("127.0.0.5", 7100)
    fwd6 = peers.UdpPeer("::1", 7101, socket.AF_INET6)
    cloud = peers.UdpPeer("127.0.0.4", 6100)
    d = daemon(vexa.config(
        UDP_ECHO,
        '<Port TypProt="UDP" PortLocal="5300" PortRemote="7100" IPRemote="127.0.0.5"/>',
        '<Port TypProt="UDPv6" PortLocal="5306" PortRemote="7101" IPv6Remote="::1"/>',
        '<DNS Name="printer.lan" IP="192.168.0.50"/>',
        '<CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6100" VEXACloud="127.0.0.4"/>',
        dns_srv="127.0.0.2"), listed=True)
    try:
        d.wait_for("RM7 UDP 4999")
        peers.wait_udp("0.0.0.0", 53)
        for family, host, port in [(socket.AF_INET, "127.0.0.1", p) for p in (7007, 5300, 53, 4999, 5000)] + \
                                  [(socket.AF_INET6, "::1", 5306)]:
            with socket.socket(family, socket.SOCK_DGRAM) as s:
                for size in (0, 1, 65507):
                    s.sendto(b"\xff" * size, (host, port))
        # Every port still relays: the odd datagrams are read or dropped before these come.
        assert udp_echo_works()
        for peer, family, host, port in ((fwd, socket.AF_INET, "127.0.0.1", 5300), (fwd6, socket.AF_INET6, "::1", 5306)):
            with socket.socket(family, socket.SOCK_DGRAM) as s:
                s.sendto(b"fwd", (host, port))
            assert any(peer.get()[0] == b"fwd" for _ in range(4))
        assert peers.udp_exchange("127.0.0.1", 53, dns.message.make_query("printer.lan", "A").to_wire())[0]
        datagram = peers.v7_datagram(3, 1234, 1)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as dev:
            dev.sendto(datagram, ("127.0.0.1", 4999))
        while cloud.get()[0] != datagram:
            pass
    finally:
        for p in (fwd, fwd6, cloud):
            p.close()
    d.stop()


def test_sigterm_storm_during_stop_with_traffic_in_flight(daemon, web, upstream):
    d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="7200" PortRemote="8000" IPRemote="127.0.0.3"/>', UDP_ECHO,
                           '<Port TypProt="UDP" PortLocal="7202" PortRemote="5353" IPRemote="127.0.0.2"/>',
                           dns_srv="127.0.0.2"), listed=True)
    sockets = []
    try:
        for i in range(200):
            t = socket.create_connection(("127.0.0.1", 7200), timeout=5)
            t.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")  # a request left open
            sockets.append(t)
            for port in (7007, 7202, 53):
                u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                u.sendto(dns.message.make_query("n%d.upstream.example" % i, "A").to_wire(), ("127.0.0.1", port))
                sockets.append(u)
        d.wait_for(re.compile(r"^TCPv4 07200 00200 "), timeout=20)
        started = time.monotonic()
        for _ in range(30):
            d.signal(signal.SIGTERM)
            time.sleep(0.02)
        d.stop(timeout=30)
        assert time.monotonic() - started < 10
        assert d.main().count("End Stop") == 1
    finally:
        for s in sockets:
            s.close()


def test_sighup_storm_while_relaying_loses_no_byte(daemon):
    d = daemon(vexa.config(TCP_ECHO), listed=True)
    stop = threading.Event()

    def storm():
        while not stop.is_set():
            d.signal(signal.SIGHUP)
            time.sleep(0.002)

    t = threading.Thread(target=storm)
    t.start()
    try:
        payload = os.urandom(1 << 20)
        assert peers.tcp_exchange("127.0.0.1", 7007, payload, timeout=10) == payload
    finally:
        stop.set()
        t.join()
    d.wait_for("Reload")
    d.stop()
