"""The Debian package under a real systemd: installed with apt-get in a machine of its own
(machine.py), enabled, relaying as the user vexaproxy, signalled, restarted, stopped, refused a bad
file, and purged. One machine for the module; each test starts where the one before left off."""
import json
import os
import re
import shutil
import sys
import time

import pytest

import package
from machine import SYSTEMD, Machine

sys.path.insert(0, os.path.join(package.ROOT, "tests", "system"))
import vexa  # noqa: E402

LOGS = "/var/log/VEXA/VEXAProxy/logs"
CFG = "/" + package.CONFIG
# Forwarding rules relay to the echo rules on port 7 of the same daemon: the relays need no peer.
CONFIG = vexa.config('<Port TypProt="TCP" PortLocal="8080" PortRemote="7" IPRemote="127.0.0.1"/>',
                     '<Port TypProt="TCP" PortLocal="7" Echo="0"/>',
                     '<Port TypProt="UDP" PortLocal="5300" PortRemote="7" IPRemote="127.0.0.1"/>',
                     '<Port TypProt="UDP" PortLocal="7" Echo="0"/>',
                     '<DNS Name="printer.lan" IP="192.168.0.50"/>', dns_srv="127.0.0.2")
# Run by the host's python3 in the machine's network.
CLIENT = r'''
import json, sys
sys.path.insert(0, sys.argv[1])
import dns.message, dns.query, peers
print(json.dumps({"tcp 8080": peers.tcp_exchange("127.0.0.1", 8080, b"tcp via 8080").decode(),
                  "udp 5300": peers.udp_exchange("127.0.0.1", 5300, b"udp via 5300")[0].decode(),
                  "dns 53": dns.query.udp(dns.message.make_query("printer.lan", "A"), "127.0.0.1",
                                          timeout=5).answer[0][0].address}))
'''
STOP_LINES = ["TCPv4 Stop", "UDPv4 Stop", "TCPv6 Stop", "UDPv6 Stop", "CloudRM7 Stop", "End Stop"]


@pytest.fixture(scope="module")
def machine():
    if os.geteuid() != 0:
        pytest.skip("systemd cannot boot here: booting it in private namespaces needs root")
    if not os.access(SYSTEMD, os.X_OK):
        pytest.skip("systemd cannot boot here: %s is missing (scripts/deps.sh installs systemd)" % SYSTEMD)
    deb = package.need_deb()
    m = Machine()
    try:
        m.boot()
        # Container images keep package scripts from starting or stopping services with a
        # policy-rc.d that says no; a real machine has none.
        if os.path.lexists(m.path("/usr/sbin/policy-rc.d")):
            os.unlink(m.path("/usr/sbin/policy-rc.d"))
        # The log of an earlier version, which ran as root: the service's user must take it over.
        shutil.rmtree(m.path("/var/log/VEXA"), ignore_errors=True)  # the host's, if any, stay out
        os.makedirs(m.path(LOGS + "/bad"), mode=0o750)
        with open(m.path(LOGS + "/bad/C0000001.log"), "w") as f:
            f.write("01.01.2026 00:00:00 End Stop\n")
        os.chmod(m.path(LOGS + "/bad/C0000001.log"), 0o640)
        with open(deb, "rb") as src, open(m.path("/tmp/vexaproxy.deb"), "wb") as dst:
            dst.write(src.read())
        m.run("apt-get", "install", "-y", "-q", "/tmp/vexaproxy.deb", env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        with open(m.path(CFG), "w") as f:
            f.write(CONFIG)
        m.run("systemctl", "enable", "--now", "vexaproxy")
        yield m
    finally:
        m.destroy()


def main_log(m):
    return [vexa.strip_stamp(line) for line in vexa.read_lines(m.path(LOGS + "/bad"))]


def wait_log(m, needle, count=1, timeout=30):
    """Waits until count main-log lines start with needle; returns them."""
    deadline = time.monotonic() + timeout
    while True:
        hits = [line for line in main_log(m) if line.startswith(needle)]
        if len(hits) >= count:
            return hits
        if time.monotonic() > deadline:
            journal = m.run("journalctl", "-u", "vexaproxy", "--no-pager", "-n", "40", check=False).stdout
            raise AssertionError("no %d lines %r within %ss\n--- main log ---\n%s\n--- journal ---\n%s"
                                 % (count, needle, timeout, "\n".join(main_log(m)), journal))
        time.sleep(0.1)


def show(m, *props):
    out = m.run("systemctl", "show", "-p", ",".join(props), "vexaproxy").stdout
    return dict(line.split("=", 1) for line in out.splitlines())


def test_service_runs_as_its_own_user_binds_ports_below_1024_and_relays(machine):
    m = machine
    assert m.run("systemctl", "is-enabled", "vexaproxy").stdout.strip() == "enabled"
    assert m.run("systemctl", "is-active", "vexaproxy").stdout.strip() == "active"
    budget = wait_log(m, "Budget ")[0]
    deadline = time.monotonic() + 30  # the DNS relay binds port 53 after the rules are listed
    while ":53 " not in m.run("ss", "-Hlnu").stdout:
        assert time.monotonic() < deadline, "nothing bound udp port 53\n" + "\n".join(main_log(m))
        time.sleep(0.1)
    client = m.run_in_network("/usr/bin/python3", "-c", CLIENT, os.path.join(package.ROOT, "tests", "system"))
    assert client.returncode == 0, client.stderr
    assert json.loads(client.stdout) == {"tcp 8080": "tcp via 8080", "udp 5300": "udp via 5300", "dns 53": "192.168.0.50"}
    assert not [line for line in main_log(m) if " error" in line]

    pid = show(m, "MainPID")["MainPID"]
    assert m.run("ps", "-o", "user:32=", "-p", pid).stdout.strip() == "vexaproxy"
    status = m.run("cat", "/proc/%s/status" % pid).stdout
    assert re.search(r"^CapEff:\s+0+400$", status, re.M), "not CAP_NET_BIND_SERVICE alone:\n" + status
    uid = int(m.run("id", "-u", "vexaproxy").stdout)
    assert {os.stat(m.path(p)).st_uid for p in (LOGS, LOGS + "/bad", LOGS + "/bad/C0000001.log")} == {uid}
    earlier, start = main_log(m)[:2]  # the earlier version's file goes on
    assert earlier == "End Stop" and start.startswith("Start v")
    as_user = ["setpriv", "--reuid=vexaproxy", "--regid=vexaproxy", "--clear-groups", "test"]
    assert m.run(*as_user, "-r", CFG, check=False).returncode == 0
    assert m.run(*as_user, "-w", CFG, check=False).returncode == 1

    # The limits systemd gives the unit are those the daemon plans its clients by. systemd cannot
    # raise the descriptor limit past its own hard limit without CAP_SYS_RESOURCE (a test bed's root
    # may lack it): the daemon then has, and says, the manager's limit.
    limits = show(m, "TasksMax", "LimitNOFILE")
    with open("/proc/%d/limits" % m.pid) as f:
        manager_nofile = int(re.search(r"^Max open files\s+\d+\s+(\d+)", f.read(), re.M).group(1))
    assert "threads: cgroup pids.max %s;" % limits["TasksMax"] in budget, budget
    assert "descriptors: RLIMIT_NOFILE %d;" % min(int(limits["LimitNOFILE"]), manager_nofile) in budget, budget


def test_signals_reach_the_daemon_and_a_restart_continues_the_log_file(machine):
    m = machine
    m.run("systemctl", "kill", "-s", "HUP", "vexaproxy")
    wait_log(m, "Reload")
    m.run("systemctl", "kill", "-s", "USR1", "vexaproxy")
    wait_log(m, "Status end")
    before = main_log(m)
    m.run("systemctl", "restart", "vexaproxy")
    wait_log(m, "Budget ", count=2)
    after = main_log(m)
    assert os.listdir(m.path(LOGS + "/bad")) == ["C0000001.log"]
    assert after[:len(before)] == before
    rest = [line for line in after[len(before):] if line in STOP_LINES or line.startswith(("Interrup", "Start v"))]
    assert rest[:8] == ["Interrup signal number 15"] + STOP_LINES + [rest[7]] and rest[7].startswith("Start v"), rest


def test_stop_exits_cleanly_and_a_file_the_checker_rejects_stops_the_start(machine):
    m = machine
    m.run("systemctl", "stop", "vexaproxy")
    assert main_log(m)[-1] == "End Stop"
    assert show(m, "ActiveState", "Result", "ExecMainCode", "ExecMainStatus") == {
        "ActiveState": "inactive", "Result": "success", "ExecMainCode": "1", "ExecMainStatus": "0"}  # 1: exited
    starts = len(wait_log(m, "Start v"))
    with open(m.path(CFG), "w") as f:
        f.write("<VEXAProxy DNSSrv='127.0.0.2'")
    assert m.run("systemctl", "start", "vexaproxy", check=False).returncode != 0
    # Restart=on-failure tries again every 5 seconds, until the file is fixed or the service stopped.
    state = show(m, "ActiveState", "SubState", "Result")
    assert state["Result"] == "exit-code" and state["ActiveState"] in ("failed", "activating"), state
    assert len([line for line in main_log(m) if line.startswith("Start v")]) == starts
    m.run("systemctl", "stop", "vexaproxy")
    with open(m.path(CFG), "w") as f:
        f.write(CONFIG)
    m.run("systemctl", "reset-failed", "vexaproxy")


def test_purge_stops_the_service_keeps_the_logs_and_removes_the_rest(machine):
    m = machine
    starts = len(wait_log(m, "Start v"))
    m.run("systemctl", "start", "vexaproxy")
    wait_log(m, "Budget ", count=starts + 1)
    m.run("apt-get", "purge", "-y", "-q", "vexaproxy", env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    assert main_log(m)[-1] == "End Stop"
    left = [f for f in package.FILES | {package.CONFIG, "etc/systemd/system/multi-user.target.wants/vexaproxy.service"}
            if os.path.lexists(m.path("/" + f))]
    assert left == [] and not os.path.exists(m.path("/etc/VEXAProxy"))
    assert show(m, "LoadState")["LoadState"] == "not-found"
    assert os.path.isfile(m.path(LOGS + "/bad/C0000001.log")) and os.path.isdir(m.path(LOGS + "/dns"))
