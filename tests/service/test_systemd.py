"""The Debian package under a real systemd in a machine of its own; each test goes on from the one before."""
import os
import resource
import sys
from pathlib import Path

import pytest

import package
from machine import SYSTEMD, Machine, until

SYSTEM_TESTS = os.path.join(package.ROOT, "tests", "system")
sys.path.insert(0, SYSTEM_TESTS)
from vexa import CFG_FILE, DNS_LOG_DIR, MAIN_LOG_DIR, STOP_LINES, config, read_lines, strip_stamp  # noqa: E402

# Forwarding rules relay to the echo rules on port 7 of the same daemon: the relays need no peer.
CONFIG = config('<Port TypProt="TCP" PortLocal="8080" PortRemote="7" IPRemote="127.0.0.1"/>', '<Port TypProt="TCP" PortLocal="7" Echo="0"/>',
                '<Port TypProt="UDP" PortLocal="5300" PortRemote="7" IPRemote="127.0.0.1"/>', '<Port TypProt="UDP" PortLocal="7" Echo="0"/>',
                '<DNS Name="printer.lan" IP="192.168.0.50"/>', dns_srv="127.0.0.2")
# Run by the host's python3 in the machine's network. The DNS relay binds port 53 after the rules.
CLIENT = r'''
import dns.message, dns.query, peers
peers.wait_udp("0.0.0.0", 53, timeout=30)
print(peers.tcp_exchange("127.0.0.1", 8080, b"tcp").decode(), peers.udp_exchange("127.0.0.1", 5300, b"udp")[0].decode(),
      dns.query.udp(dns.message.make_query("printer.lan", "A"), "127.0.0.1", timeout=5).answer[0][0].address)
'''


@pytest.fixture(scope="module")
def m():
    if os.geteuid() != 0 or not os.access(SYSTEMD, os.X_OK):
        pytest.skip("systemd cannot boot here: that needs root and %s (scripts/deps.sh installs systemd)" % SYSTEMD)
    machine = Machine()
    try:
        machine.boot()
        # Container images keep package scripts from starting or stopping services with a
        # policy-rc.d that says no; a real machine has none. The host's logs, if any, stay out; its
        # man-db index updates and PackageKit hook only slow apt-get down here.
        machine.run("rm", "-rf", "/usr/sbin/policy-rc.d", "/var/log/VEXA", "/var/lib/man-db/auto-update", "/etc/apt/apt.conf.d/20packagekit")
        # The log of an earlier version, which ran as root: the service's user must take it over.
        machine.run("install", "-D", "-m", "640", "/dev/stdin", MAIN_LOG_DIR + "/C0000001.log", input="01.01.2026 00:00:00 End Stop\n")
        Path(machine.root + "/tmp/vexaproxy.deb").write_bytes(Path(package.need_deb()).read_bytes())
        machine.run("apt-get", "install", "-y", "-q", "/tmp/vexaproxy.deb", env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        Path(machine.root + CFG_FILE).write_text(CONFIG)
        machine.run("systemctl", "enable", "--now", "vexaproxy")
        yield machine
    finally:
        machine.destroy()


def main_log(m):
    return [strip_stamp(line) for line in read_lines(m.root + MAIN_LOG_DIR)]


def wait_log(m, needle, count=1):
    # Returns the count-th and any later main-log lines that start with needle.
    return until(lambda: [line for line in main_log(m) if line.startswith(needle)][count - 1:], lambda: "no %d lines %r in\n%s\n%s" % (
        count, needle, "\n".join(main_log(m)), m.run("journalctl", "-u", "vexaproxy", "--no-pager", "-n", "40", check=False).stdout))


def show(m, *props):
    return dict(line.split("=", 1) for line in m.run("systemctl", "show", "-p", ",".join(props), "vexaproxy").stdout.splitlines())


def test_service_runs_as_its_own_user_binds_ports_below_1024_and_relays(m):
    budget = wait_log(m, "Budget ")[0]
    client = m.run("/usr/bin/python3", "-c", CLIENT, enter=("-n",), env=dict(os.environ, PYTHONPATH=SYSTEM_TESTS)).stdout
    assert client == "tcp udp 192.168.0.50\n"
    assert not [line for line in main_log(m) if " error" in line]
    # The earlier version's file goes on: systemd gave it and its directories to the service's user.
    assert main_log(m)[0] == "End Stop" and main_log(m)[1].startswith("Start v")

    unit = show(m, "UnitFileState", "MainPID", "TasksMax", "LimitNOFILE")
    assert unit["UnitFileState"] == "enabled" and m.run("ps", "-o", "user:32=", "-p", unit["MainPID"]).stdout.strip() == "vexaproxy"
    assert m.run("grep", "^CapEff", "/proc/%s/status" % unit["MainPID"]).stdout == "CapEff:\t0000000000000400\n"  # NET_BIND_SERVICE alone
    # The daemon reads its configuration (it relays) and cannot change it.
    assert m.run("runuser", "-u", "vexaproxy", "--", "test", "-w", CFG_FILE, check=False).returncode == 1
    # The limits systemd gives the unit are those the daemon plans its clients by. systemd cannot
    # raise the descriptor limit past its own hard limit without CAP_SYS_RESOURCE (a test bed's root
    # may lack it): the daemon then has, and says, the manager's limit.
    assert "threads: cgroup pids.max %s;" % unit["TasksMax"] in budget, budget
    nofile = min(int(unit["LimitNOFILE"]), resource.prlimit(m.pid, resource.RLIMIT_NOFILE)[1])
    assert "descriptors: RLIMIT_NOFILE %d;" % nofile in budget, budget


def test_signals_reach_the_daemon_a_restart_continues_the_log_file_and_a_stop_is_clean(m):
    for signal, line in (("HUP", "Reload"), ("USR1", "Status end")):
        m.run("systemctl", "kill", "-s", signal, "vexaproxy")
        wait_log(m, line)
    before = main_log(m)
    m.run("systemctl", "restart", "vexaproxy")
    wait_log(m, "Budget ", count=2)
    after = main_log(m)
    assert os.listdir(m.root + MAIN_LOG_DIR) == ["C0000001.log"] and after[:len(before)] == before
    rest = [line for line in after[len(before):] if line in STOP_LINES or line.startswith(("Interrup", "Start v"))]
    assert rest[:8] == ["Interrup signal number 15"] + STOP_LINES + [rest[7]] and rest[7].startswith("Start v"), rest

    m.run("systemctl", "stop", "vexaproxy")
    assert main_log(m)[-1] == "End Stop"
    assert show(m, "ActiveState", "Result", "ExecMainCode", "ExecMainStatus") == {
        "ActiveState": "inactive", "Result": "success", "ExecMainCode": "1", "ExecMainStatus": "0"}  # 1: exited


def test_a_rejected_file_stops_the_start_a_reinstall_starts_and_purge_keeps_the_logs_and_removes_the_rest(m):
    stopped = main_log(m)
    Path(m.root + CFG_FILE).write_text("<VEXAProxy DNSSrv='127.0.0.2'")
    assert m.run("systemctl", "start", "vexaproxy", check=False).returncode != 0
    assert main_log(m) == stopped  # the daemon never ran
    Path(m.root + CFG_FILE).write_text(CONFIG)
    m.run("systemctl", "restart", "vexaproxy")  # Restart=on-failure waits 5 seconds; a start would wait with it
    wait_log(m, "Budget ", count=3)
    # Removed and installed again, the service is the operator's as before: enabled, and it starts.
    apt = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    m.run("apt-get", "remove", "-y", "-q", "vexaproxy", env=apt)
    m.run("apt-get", "install", "-y", "-q", "/tmp/vexaproxy.deb", env=apt)
    assert m.run("systemctl", "is-enabled", "vexaproxy", check=False).stdout == "enabled\n"
    m.run("systemctl", "start", "vexaproxy")
    wait_log(m, "Budget ", count=4)
    m.run("apt-get", "purge", "-y", "-q", "vexaproxy", env=apt)
    assert main_log(m)[-1] == "End Stop"
    left = package.FILES | {"etc/systemd/system/multi-user.target.wants/vexaproxy.service"}
    assert [f for f in left if os.path.lexists(m.root + "/" + f)] == []
    assert not os.path.exists(m.root + os.path.dirname(CFG_FILE)) and show(m, "LoadState")["LoadState"] == "not-found"
    assert os.path.isfile(m.root + MAIN_LOG_DIR + "/C0000001.log") and os.path.isdir(m.root + DNS_LOG_DIR)
