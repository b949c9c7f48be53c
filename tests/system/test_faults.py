# Faults from outside on the real daemon: its log directory gone, unwritable or full, few descriptors,
# an unresolvable DNS server, targets that reset or sit behind a rejecting firewall, clients that
# half-close, a SIGHUP storm. The daemon
# must keep relaying and report what it cannot log on standard output. Odd datagrams on every UDP port
# and a SIGTERM storm during the stop are in the sample configuration's test (test_daemon).
import os
import pathlib
import queue
import re
import resource
import signal
import socket
import struct
import subprocess
import time

import dns.exception
import dns.message
import dns.query
import pytest

import peers
import vexa

LOGS = "/var/log/VEXA"
# Shell commands that break the log before the start (a file open for writing would block the remount
# read-only) or once the rules are listed, and mend it; what the daemon then reports on standard output.
LOG_FAULTS = {
    "vanished": ("", "rm -r " + vexa.MAIN_LOG_DIR, "mkdir " + vexa.MAIN_LOG_DIR, "OpenNew"),
    "read-only": ("mkdir -p %s %s && mount -o remount,ro %s" % (vexa.MAIN_LOG_DIR, vexa.DNS_LOG_DIR, LOGS), "",
                  "mount -o remount,rw " + LOGS, "OpenNew"),
    "full": ("", "dd if=/dev/zero of=%s/filler bs=4k" % LOGS, "rm %s/filler" % LOGS, re.compile(r"!good\(\)|OpenNew")),
}


@pytest.mark.parametrize("fault", sorted(LOG_FAULTS))
def test_log_fault_is_reported_relaying_goes_on_and_writing_resumes_once_mended(daemon, fault):
    before_start, once_listed, mend, report = LOG_FAULTS[fault]
    os.makedirs(LOGS, exist_ok=True)
    with vexa.mounted(LOGS, "-t", "tmpfs", "-o", "size=256k", "tmpfs"):
        subprocess.run(before_start, shell=True, check=True)
        d = daemon(vexa.config('<Port TypProt="UDP" PortLocal="7007" Echo="0"/>'), wait_for=None, listed=bool(once_listed),
                   clean_logs=False)
        peers.wait_udp("0.0.0.0", 7007)
        subprocess.run(once_listed, shell=True, capture_output=True)  # dd ends with the file system full
        for _ in range(100):  # each echoed datagram is a log line: more than a full file's last page takes
            assert peers.udp_exchange("127.0.0.1", 7007, b"ping")[0] == b"ping"
        d.wait_for(report, log="stdout")  # the writer runs behind: mend only once it has reported the loss
        subprocess.run(mend, shell=True, check=True)
        d.signal(signal.SIGHUP)
        d.wait_for("Reload")
        assert peers.udp_exchange("127.0.0.1", 7007, b"ping")[0] == b"ping"
        d.stop()


def test_unresolvable_dns_server_is_logged_and_the_daemon_stays_up(daemon, tmp_path):
    def ask(name, timeout=5):
        return dns.query.udp(dns.message.make_query(name, "A"), "127.0.0.1", timeout=timeout, source_port=40101)

    # No route to the name server: look-ups fail at once.
    with vexa.bound_file("/etc/resolv.conf", "nameserver 192.0.2.1\noptions timeout:1 attempts:1\n", tmp_path / "resolv.conf"):
        d = daemon(vexa.config('<DNS Name="printer.lan" IP="192.168.0.50"/>', dns_srv="dns.relay-test.invalid"))
        peers.wait_udp("0.0.0.0", 53)
        with pytest.raises(dns.exception.Timeout):
            ask("other.lan", timeout=1)
        d.wait_for("CDNSCli::Start getaddrinfo()")
        assert "DNS00053 00001  127.0.0.1:40101 connect" in d.main()
        assert ask("printer.lan").answer  # names of the configuration are still answered
        d.stop()


def cpu_seconds(pid):
    fields = pathlib.Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # user and system time


def reset_after_a_little(c):
    c.recv(100)
    c.sendall(b"partial")
    time.sleep(0.1)
    c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def test_descriptor_limit_target_reset_half_close_and_sighup_storm(daemon):
    # With 64 descriptors (soft and hard: the daemon raises its soft limit) and 200 clients the accept
    # loop waits instead of spinning, and accepts again once they leave. A target that resets ends that
    # connection only; everything a half-closing client sent reaches the target and the echo; SIGHUP
    # every 2 ms while a megabyte goes each way changes no byte.
    received, payload = queue.Queue(), os.urandom(1 << 20)
    with peers.TcpTarget("127.0.0.3", 8001, reset_after_a_little), \
            peers.TcpTarget("127.0.0.3", 8002, lambda c: received.put(peers.recv_all(c))):
        d = daemon(vexa.config('<Port TypProt="TCP" PortLocal="8081" PortRemote="8001" IPRemote="127.0.0.3"/>',
                               '<Port TypProt="TCP" PortLocal="8082" PortRemote="8002" IPRemote="127.0.0.3"/>',
                               '<Port TypProt="TCP" PortLocal="7007" Echo="0"/>'), listed=True,
                   preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64)))
        clients = [socket.create_connection(("127.0.0.1", 7007), timeout=5) for _ in range(200)]
        time.sleep(0.3)
        before = cpu_seconds(d.proc.pid)
        time.sleep(1)
        assert cpu_seconds(d.proc.pid) - before < 0.25, "the accept loop spins"
        for s in clients:
            s.close()
        # The listen queue holds this client until accepting resumes.
        assert peers.tcp_exchange("127.0.0.1", 7007, b"back", timeout=20) == b"back"
        for _ in range(5):
            assert peers.tcp_exchange("127.0.0.1", 8081, b"hello" * 1000) in (b"", b"partial")
        assert peers.tcp_exchange("127.0.0.1", 7007, b"abc", half_close=True) == b"abc"  # what came before
        storm = subprocess.Popen(["sh", "-c", "while kill -HUP %d; do sleep 0.002; done" % d.proc.pid])
        try:
            assert peers.tcp_exchange("127.0.0.1", 7007, payload, timeout=10) == payload
            assert peers.tcp_exchange("127.0.0.1", 8082, payload, timeout=10, half_close=True) == b""
        finally:
            storm.kill()
        assert received.get(timeout=10) == payload
    d.wait_for("Reload")
    d.stop()


# A firewall in front of the target that rejects for a while: whatever ICMP error it sends reaches the
# association's connected socket on its next call. The association stays, writes nothing, and
# relays again once the firewall lets the datagrams through.
def test_rejecting_firewall_before_the_target_neither_ends_the_association_nor_writes(daemon):
    target = peers.UdpPeer("127.0.0.6", 6001)
    d = daemon(vexa.config('<Port TypProt="UDP" PortLocal="5300" PortRemote="6001" IPRemote="127.0.0.6"/>'), listed=True)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
        client.settimeout(5)
        client.bind(("127.0.0.1", 0))
        line = "UDPv4 05300 00001  127.0.0.1:%d connect" % client.getsockname()[1]
        for reject in ("admin-prohibited", "host-prohibited", "host-unreachable", "net-unreachable", "prot-unreachable", "port-unreachable"):
            subprocess.run(["nft", "-f", "-"], check=True, text=True, input="table ip vexa_reject { chain input { type filter hook input "
                           "priority 0; ip daddr 127.0.0.6 udp dport 6001 reject with icmp type %s; }; }" % reject)
            for _ in range(3):
                client.sendto(b"rejected", ("127.0.0.1", 5300))
                time.sleep(0.05)  # its ICMP error comes back
            subprocess.run(["nft", "delete table ip vexa_reject"], check=True)
            client.sendto(reject.encode(), ("127.0.0.1", 5300))
            data, association = target.get()
            target.sock.sendto(b"re " + data, association)
            assert client.recvfrom(100)[0] == b"re " + reject.encode()
    target.close()
    d.stop()
    assert [l for l in d.main() if not l.startswith(("Start v", "V7 ", "Budget ", "UDPv4  5300 ", "Interrup")) and l not in vexa.STOP_LINES] == [line], d.describe()
