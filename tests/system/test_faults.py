# Faults from outside on the real daemon: its log directory gone, unwritable or full, few descriptors,
# an unresolvable DNS server, targets that reset, clients that half-close, a SIGHUP storm. The daemon
# must keep relaying and report what it cannot log on standard output. Odd datagrams on every UDP port
# and a SIGTERM storm during the stop are in the sample configuration's test (test_rules).
import contextlib
import os
import pathlib
import queue
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import time

import dns.message
import pytest

import peers
import vexa

UDP_ECHO = '<Port TypProt="UDP" PortLocal="7007" Echo="0"/>'
TCP_ECHO = '<Port TypProt="TCP" PortLocal="7007" Echo="0"/>'
FILLER = "/var/log/VEXA/filler"


def udp_echo_works():
    return peers.udp_exchange("127.0.0.1", 7007, b"ping")[0] == b"ping"


def fill_the_log_file_system():
    with open(FILLER, "wb", buffering=0) as f, contextlib.suppress(OSError):
        while True:
            f.write(b"x" * 4096)


def mount(*args):
    subprocess.run(["mount", *args, "/var/log/VEXA"], check=True)


@pytest.mark.parametrize("fault", ["vanished", "read-only", "full"])
def test_log_fault_is_reported_relaying_goes_on_and_writing_resumes_once_mended(daemon, fault):
    os.makedirs("/var/log/VEXA", exist_ok=True)
    mount("-t", "tmpfs", "-o", "size=256k", "tmpfs")
    try:
        if fault == "read-only":  # before the start: a file open for writing would block the remount
            os.makedirs(vexa.MAIN_LOG_DIR)
            os.makedirs(vexa.DNS_LOG_DIR)
            mount("-o", "remount,ro")
        d = daemon(vexa.config(UDP_ECHO), wait_for=None, clean_logs=False)
        peers.wait_udp("0.0.0.0", 7007)
        if fault != "read-only":
            d.wait_for(vexa.LISTED)
            if fault == "vanished":
                shutil.rmtree(vexa.MAIN_LOG_DIR)
            else:
                fill_the_log_file_system()
        for _ in range(100):  # each echoed datagram is a log line: more than a full file's last page takes
            assert udp_echo_works()
        # The writer runs behind: mend only once it has reported the loss.
        d.wait_for("OpenNew" if fault != "full" else re.compile(r"!good\(\)|OpenNew"), log="stdout")
        if fault == "vanished":
            os.makedirs(vexa.MAIN_LOG_DIR)
        elif fault == "read-only":
            mount("-o", "remount,rw")
        else:
            os.unlink(FILLER)
        d.signal(signal.SIGHUP)
        d.wait_for("Reload")
        assert udp_echo_works()
        d.stop()
    finally:
        subprocess.run(["umount", "-l", "/var/log/VEXA"], check=False)


def test_unresolvable_dns_server_is_logged_and_the_daemon_stays_up(daemon):
    def ask(name, sport):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s, contextlib.suppress(socket.timeout):
            s.bind(("127.0.0.1", sport))
            s.settimeout(1)
            s.sendto(dns.message.make_query(name, "A").to_wire(), ("127.0.0.1", 53))
            return s.recv(65535)

    os.rename("/etc/resolv.conf", "/etc/resolv.conf.saved")  # /etc is a private overlay: the host's is untouched
    try:
        with open("/etc/resolv.conf", "w") as f:  # no route to the server: look-ups fail at once
            f.write("nameserver 192.0.2.1\noptions timeout:1 attempts:1\n")
        d = daemon(vexa.config('<DNS Name="printer.lan" IP="192.168.0.50"/>', dns_srv="dns.relay-test.invalid"))
        peers.wait_udp("0.0.0.0", 53)
        assert ask("other.lan", 40101) is None
        d.wait_for("CDNSCli::Start getaddrinfo()")
        assert "DNS00053 00001  127.0.0.1:40101 connect" in d.main()
        assert ask("printer.lan", 40101)  # names of the configuration are still answered
        d.stop()
    finally:
        os.replace("/etc/resolv.conf.saved", "/etc/resolv.conf")


def cpu_seconds(pid):
    fields = pathlib.Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # user and system time


def test_descriptor_limit_pauses_accepting_without_spinning_and_service_resumes(daemon):
    d = daemon(vexa.config(TCP_ECHO), listed=True, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64)))
    clients = [socket.create_connection(("127.0.0.1", 7007), timeout=5) for _ in range(200)]
    time.sleep(0.3)
    before = cpu_seconds(d.proc.pid)
    time.sleep(1)
    assert cpu_seconds(d.proc.pid) - before < 0.25, "the accept loop spins"
    for s in clients:
        s.close()
    deadline = time.monotonic() + 20
    while True:  # accepting resumes once descriptors are free again
        with contextlib.suppress(OSError):
            if peers.tcp_exchange("127.0.0.1", 7007, b"back", timeout=2) == b"back":
                break
        assert time.monotonic() < deadline
        time.sleep(0.2)
    d.stop()


def reset_after_a_little(c):
    c.recv(100)
    c.sendall(b"partial")
    time.sleep(0.1)
    c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def test_reset_target_half_closing_client_and_sighup_storm_lose_nothing_else(daemon):
    # A target that resets ends that connection only; everything a half-closing client sent reaches the
    # target; SIGHUP every 2 ms while 1 MB is relayed changes no byte.
    received = queue.Queue()
    with peers.TcpTarget("127.0.0.3", 8001, reset_after_a_little), \
            peers.TcpTarget("127.0.0.3", 8002, lambda c: received.put(peers.recv_all(c))):
        d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8081" PortRemote="8001" IPRemote="127.0.0.3"/>',
                               '<Port TypProt="TCP" PortLocal="8082" PortRemote="8002" IPRemote="127.0.0.3"/>',
                               TCP_ECHO), listed=True)
        for _ in range(5):
            assert peers.tcp_exchange("127.0.0.1", 8081, b"hello" * 1000) in (b"", b"partial")
        payload = bytes(range(256)) * 2000
        assert peers.tcp_exchange("127.0.0.1", 8082, payload, half_close=True) == b""
        assert peers.tcp_exchange("127.0.0.1", 7007, b"abc", half_close=True) == b"abc"  # what came before
    storm = subprocess.Popen(["sh", "-c", "while kill -HUP %d; do sleep 0.002; done" % d.proc.pid])
    try:
        payload = os.urandom(1 << 20)
        assert peers.tcp_exchange("127.0.0.1", 7007, payload, timeout=10) == payload
    finally:
        storm.kill()
    d.wait_for("Reload")
    d.stop()
    assert received.get(timeout=10) == bytes(range(256)) * 2000
