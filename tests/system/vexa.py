"""Runs the real vexaproxy binary at its fixed paths inside the private namespaces made by
scripts/netns-run, and reads its two logs."""
import os
import re
import shutil
import signal as sig_mod
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN = os.environ.get("VEXAPROXY_BIN", os.path.join(ROOT, "build", "release", "vexaproxy"))
CFG_DIR = "/etc/VEXAProxy"
CFG_FILE = CFG_DIR + "/VEXAProxy.xml"
LOG_ROOT = "/var/log/VEXA/VEXAProxy/logs"
MAIN_LOG_DIR = LOG_ROOT + "/bad"
DNS_LOG_DIR = LOG_ROOT + "/dns"
STAMP = re.compile(r"^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d ")
LISTED = re.compile(r"^(TCP|UDP)v[46] +\d+ -> ")  # a Port rule is listed once it has started


def in_private_namespaces():
    return os.environ.get("VEXA_IN_NS") == "1"


def config(*children, dns_srv=""):
    attr = ' DNSSrv="%s"' % dns_srv if dns_srv else ""
    return '<?xml version="1.0"?>\n<VEXAProxy%s>\n%s\n</VEXAProxy>\n' % (attr, "\n".join(children))


def read_lines(directory):
    """All lines of a log directory's files, in file-number order."""
    if not os.path.isdir(directory):
        return []
    lines = []
    for name in sorted(os.listdir(directory)):
        with open(os.path.join(directory, name), "rb") as f:
            lines += f.read().decode("utf-8", "replace").splitlines()
    return lines


def strip_stamp(line):
    return STAMP.sub("", line, count=1)


class Daemon:
    """One run of the daemon. config: XML text written to the fixed path, or None for no file."""

    def __init__(self, config=None, args=("service",), argv0=None, clean_logs=True, preexec_fn=None):
        self.config, self.preexec_fn = config, preexec_fn
        self.argv = [argv0 or BIN] + list(args)
        self.proc = None
        self.stdout = ""
        if clean_logs:
            shutil.rmtree("/var/log/VEXA", ignore_errors=True)

    def write_config(self):
        os.makedirs(CFG_DIR, exist_ok=True)
        if self.config is None:
            if os.path.exists(CFG_FILE):
                os.unlink(CFG_FILE)
        else:
            with open(CFG_FILE, "wb") as f:
                f.write(self.config.encode("utf-8") if isinstance(self.config, str) else self.config)

    def start(self, wait_for="Start v", listed=False):
        """Starts the daemon and waits for one more start line; with listed, also until every Port
        rule of the configuration is listed."""
        assert in_private_namespaces(), "system tests run only inside scripts/netns-run"
        self.write_config()
        before = len([l for l in self.main() if wait_for and wait_for in l])  # logs kept from a run before
        self.proc = subprocess.Popen(self.argv, executable=BIN, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, preexec_fn=self.preexec_fn)
        if wait_for:
            self.wait_for(wait_for, timeout=15, count=before + 1)
        if listed:
            self.wait_for(LISTED, count=self.config.count("<Port "))
        return self

    def run_to_end(self, timeout=15):
        """For runs that end by themselves (no "service"): returns (exit code, stdout)."""
        self.write_config()
        res = subprocess.run(self.argv, executable=BIN, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=timeout)
        self.stdout = res.stdout.decode("utf-8", "replace")
        return res.returncode, self.stdout

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, sig=sig_mod.SIGTERM, timeout=60):
        """Stops the daemon, expects exit code 0 and "End Stop" as the last main-log line."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            out, _ = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
            raise AssertionError("daemon did not stop within %ss\n%s" % (timeout, self.describe()))
        self.stdout += out.decode("utf-8", "replace")
        lines = self.main()
        assert self.proc.returncode == 0, "exit code %s\n%s" % (self.proc.returncode, self.describe())
        assert lines and lines[-1] == "End Stop", self.describe()
        return 0

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()

    def main_raw(self):
        return read_lines(MAIN_LOG_DIR)

    def main(self):
        """Main-log lines without their time stamps."""
        return [strip_stamp(l) for l in self.main_raw()]

    def dns(self):
        return read_lines(DNS_LOG_DIR)

    def describe(self):
        return "--- main log ---\n%s\n--- stdout ---\n%s" % ("\n".join(self.main_raw()), self.stdout)

    def wait_for(self, needle, timeout=10, count=1, log="main"):
        """Waits until `count` lines of a log ("main", "dns" or "stdout") contain needle (a text or a
        compiled regex); returns them. The logs have writers of their own: wait before asserting."""
        deadline = time.monotonic() + timeout
        while True:
            if log == "stdout":
                self._read_stdout()
            lines = {"main": self.main, "dns": self.dns, "stdout": self.stdout.splitlines}[log]()
            hits = [l for l in lines if (needle.search(l) if hasattr(needle, "search") else needle in l)]
            if len(hits) >= count:
                return hits
            if self.proc is not None and self.proc.poll() is not None:
                raise AssertionError("daemon exited (%s) before %r\n%s" % (self.proc.returncode, needle, self.describe()))
            if time.monotonic() > deadline:
                raise AssertionError("no %r in the %s log within %ss\n%s" % (needle, log, timeout, self.describe()))
            time.sleep(0.05)

    def _read_stdout(self):
        """Takes what the running daemon has written to standard output so far."""
        fd = self.proc.stdout.fileno()
        os.set_blocking(fd, False)
        try:
            self.stdout += (os.read(fd, 65536) or b"").decode("utf-8", "replace")
        except BlockingIOError:
            pass
        finally:
            os.set_blocking(fd, True)
