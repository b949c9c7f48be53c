# Runs the real vexaproxy binary at its fixed paths inside the private namespaces made by
# scripts/netns-run, and reads its two logs. Used by the system tests, the demo and the benchmark.
import contextlib
import os
import pathlib
import re
import shutil
import signal as sig_mod
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN = os.environ.get("VEXAPROXY_BIN", os.path.join(ROOT, "build", "release", "vexaproxy"))
CFG_FILE = "/etc/VEXAProxy/VEXAProxy.xml"
MAIN_LOG_DIR = "/var/log/VEXA/VEXAProxy/logs/bad"
DNS_LOG_DIR = "/var/log/VEXA/VEXAProxy/logs/dns"
STAMP = re.compile(r"^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d ")
LISTED = re.compile(r"^(TCP|UDP)v[46] +\d+ -> ")  # a Port rule is listed once it has started
SAMPLE = os.path.join(ROOT, "examples", "demo-loopback.xml")
# How the daemon lists SAMPLE in its main log at start-up, and the checker on its output.
SAMPLE_LISTING = [
    "TCPv4  8080 -> [127.0.0.3]:8000 Host: portal.example",
    "TCPv4  7007 -> Echo",
    "UDPv4  7007 -> Echo",
    "UDPv4  5300 -> [127.0.0.2]:5353",
    "TCPv6  8086 -> [127.0.0.3]:8000",
    "UDPv6  5306 -> [::ffff:127.0.0.2]:5353",
    "DNS printer.lan 192.168.0.50 office printer",
    "Question 00 01 00 00 00 00 00 00 07 70 72 69 6E 74 65 72 03 6C 61 6E 00 00 01 00 01",
    "Answer   00 01 00 01 00 00 00 00 07 70 72 69 6E 74 65 72 03 6C 61 6E 00 00 01 00 01 C0 0C 00 01 00 ...",
    "RM7 UDP 4999 Cloud UDP 5000 -> [127.0.0.4]:6000",
]


# What an orderly stop writes last in the main log, whatever the configuration.
STOP_LINES = ["TCPv4 Stop", "UDPv4 Stop", "TCPv6 Stop", "UDPv6 Stop", "CloudRM7 Stop", "End Stop"]


def in_private_namespaces():
    return os.environ.get("VEXA_IN_NS") == "1"


def config(*children, dns_srv=""):
    attr = ' DNSSrv="%s"' % dns_srv if dns_srv else ""
    return '<?xml version="1.0"?>\n<VEXAProxy%s>\n%s\n</VEXAProxy>\n' % (attr, "\n".join(children))


# Mounts over target (in the private mount namespace) for the with block: `how` are mount's
# arguments before the target, such as "-t", "tmpfs", "tmpfs" or "--bind", a file.
@contextlib.contextmanager
def mounted(target, *how):
    subprocess.run(["mount", *how, target], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", "-l", target], check=False)


# A file with text (written to scratch) over path, for the with block.
def bound_file(path, text, scratch):
    scratch.write_text(text)
    return mounted(path, "--bind", str(scratch))


# All lines of a log directory's files, in file-number order.
def read_lines(directory):
    names = sorted(os.listdir(directory)) if os.path.isdir(directory) else []
    return [l for n in names for l in pathlib.Path(directory, n).read_bytes().decode("utf-8", "replace").splitlines()]


def strip_stamp(line):
    return STAMP.sub("", line, count=1)


# One run of the daemon. config: XML text written to the fixed path, or None for no file.
class Daemon:
    def __init__(self, config=None, args=("service",), argv0=None, clean_logs=True, preexec_fn=None):
        self.config, self.preexec_fn, self.proc, self.stdout = config, preexec_fn, None, ""
        self.argv = [argv0 or BIN] + list(args)
        if clean_logs:
            shutil.rmtree("/var/log/VEXA", ignore_errors=True)

    # Starts the daemon, waits for a wait_for line and, with listed, until every Port rule is listed.
    def start(self, wait_for="Start v", listed=False):
        assert in_private_namespaces(), "system tests run only inside scripts/netns-run"
        os.makedirs(os.path.dirname(CFG_FILE), exist_ok=True)
        pathlib.Path(CFG_FILE).unlink(missing_ok=True)
        if self.config is not None:
            pathlib.Path(CFG_FILE).write_bytes(self.config.encode() if isinstance(self.config, str) else self.config)
        self.proc = subprocess.Popen(self.argv, executable=BIN, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, preexec_fn=self.preexec_fn)
        os.set_blocking(self.proc.stdout.fileno(), False)  # wait_for takes what has come so far
        if wait_for:
            self.wait_for(wait_for, timeout=15)
        if listed:
            self.wait_for(LISTED, count=self.config.count("<Port "))
        return self

    def signal(self, sig):
        self.proc.send_signal(sig)

    # Stops the daemon, expects exit code 0 and "End Stop" as the last main-log line.
    def stop(self, sig=sig_mod.SIGTERM, timeout=60):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.stdout += self.proc.communicate(timeout=timeout)[0].decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("daemon did not stop within %ss\n%s" % (timeout, self.describe()))
        assert (self.proc.returncode, self.main()[-1:]) == (0, ["End Stop"]), self.describe()

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()

    def main_raw(self):
        return read_lines(MAIN_LOG_DIR)

    # Main-log lines without their time stamps.
    def main(self):
        return [strip_stamp(l) for l in self.main_raw()]

    def dns(self):
        return read_lines(DNS_LOG_DIR)

    def describe(self):
        return "--- main log ---\n%s\n--- stdout ---\n%s" % ("\n".join(self.main_raw()), self.stdout)

    # Waits until `count` lines of a log ("main", "dns" or "stdout") contain needle (a text or a
    # compiled regex); returns them. The logs have writers of their own: wait before asserting.
    def wait_for(self, needle, timeout=10, count=1, log="main"):
        deadline = time.monotonic() + timeout
        while True:
            if log == "stdout":
                self.stdout += (self.proc.stdout.read() or b"").decode("utf-8", "replace")
            lines = {"main": self.main, "dns": self.dns, "stdout": self.stdout.splitlines}[log]()
            hits = [l for l in lines if (needle.search(l) if hasattr(needle, "search") else needle in l)]
            if len(hits) >= count:
                return hits
            assert self.proc is None or self.proc.poll() is None, "daemon exited before %r\n%s" % (needle, self.describe())
            assert time.monotonic() < deadline, "no %r in the %s log within %ss\n%s" % (needle, log, timeout, self.describe())
            time.sleep(0.05)
