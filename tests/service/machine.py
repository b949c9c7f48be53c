"""systemd as PID 1 of private PID, mount, network, UTS, IPC and cgroup namespaces over an overlay of
the root file system: a machine of its own where the package is installed and its unit runs under a
real service manager, while the host's /etc, /var, services and network stay untouched.
`nsenter` joins it to run commands; its files are reachable from the host under /proc/PID/root."""
import ctypes
import os
import signal
import subprocess
import tempfile
import time

SYSTEMD = "/lib/systemd/systemd"
PR_SET_PDEATHSIG = 1

# Run inside the new namespaces. Whatever the machine changes lands in the overlay's upper layer on a
# tmpfs that vanishes with the mount namespace; /proc is that of the new PID namespace; systemd
# mounts its own cgroup hierarchies (the namespace's roots) over the bare /sys.
BOOT = r'''
set -e
mount -t tmpfs tmpfs "$SCRATCH"
mkdir "$SCRATCH/upper" "$SCRATCH/work" "$SCRATCH/root"
root=$SCRATCH/root
mount -t overlay overlay -o "lowerdir=/,upperdir=$SCRATCH/upper,workdir=$SCRATCH/work" "$root"
mount -t proc proc "$root/proc"
# The kernel's settings, modules and clock are the host's: the machine may read them and change none
# (systemd-sysctl would otherwise apply Debian's sysctl.d to the whole kernel).
mount --bind /sys "$root/sys"
for kernel in proc/sys proc/sysrq-trigger sys; do
  [ -e "$root/$kernel" ] || continue  # a kernel without magic SysRq
  [ "$kernel" = sys ] || mount --bind "$root/$kernel" "$root/$kernel"
  mount -o remount,bind,ro "$root/$kernel"
done
# A /dev of its own with the usual nodes of the host: what systemd makes there (/dev/log, mount
# points) stays in the machine.
mount -t tmpfs -o mode=755,nosuid tmpfs "$root/dev"
for node in null zero full random urandom tty; do
  touch "$root/dev/$node"
  mount --bind "/dev/$node" "$root/dev/$node"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
cd "$root"
exec chroot . setpriv --bounding-set=-sys_module,-sys_time "$SYSTEMD" "$@"
'''


def _new_cgroups(name):
    """A new cgroup below ours in every hierarchy: it becomes the root that systemd sees in its
    cgroup namespace, so the units it makes stay out of the host's tree and go with it."""
    mounts = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            sep = fields.index("-")
            if fields[sep + 1] in ("cgroup", "cgroup2"):
                mounts.append((fields[sep + 1], set(fields[sep + 3].split(",")), fields[4]))
    dirs = []
    with open("/proc/self/cgroup") as f:
        for line in f.read().splitlines():
            hid, controllers, path = line.split(":", 2)
            for fs, options, point in mounts:
                if (fs == "cgroup2") == (hid == "0") and (hid == "0" or set(controllers.split(",")) <= options):
                    dirs.append(os.path.join(point, path.lstrip("/"), name))
                    break
    for d in dirs:
        os.mkdir(d)
        # A v1 cpuset group takes no task until it has CPUs and memory nodes.
        for knob in ("cpuset.cpus", "cpuset.mems"):
            if os.path.exists(os.path.join(d, knob)):
                with open(os.path.join(os.path.dirname(d), knob)) as src, open(os.path.join(d, knob), "w") as dst:
                    dst.write(src.read())
    return dirs


def _legacy_cgroups():
    """Whether the host runs cgroup v1 controllers (pids among them): systemd must then use them too,
    or the unit's TasksMax would have nothing to act on."""
    with open("/proc/self/mountinfo") as f:
        return any(" - cgroup " in line and ",pids" in line for line in f)


class Machine:
    def __init__(self):
        self.name = "vexaproxy-test-%d" % os.getpid()
        self.pid = None  # the namespace's PID 1, as the host numbers it
        self.unshare = None
        self.cgroups = []
        self.scratch = None
        self.console = tempfile.TemporaryFile()

    def boot(self, timeout=120):
        """Boots the machine and returns it once systemd says it is up; on any failure the machine
        is torn down again before the error goes on."""
        try:
            return self._boot(timeout)
        except BaseException:
            self.destroy()
            raise

    def _boot(self, timeout):
        self.cgroups = _new_cgroups(self.name)
        self.scratch = tempfile.mkdtemp(prefix="vexaproxy-systemd.")
        libc = ctypes.CDLL(None, use_errno=True)

        def enter():
            # Should the test process die, unshare dies with it, and --kill-child takes systemd along.
            libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
            for d in self.cgroups:
                with open(os.path.join(d, "cgroup.procs"), "w") as f:
                    f.write("0")

        args = ["systemd.unified_cgroup_hierarchy=0"] if _legacy_cgroups() else []
        # Booted to basic.target only: the host's enabled services (web servers, databases) stay off.
        args.append("systemd.unit=basic.target")
        self.unshare = subprocess.Popen(
            ["unshare", "--pid", "--fork", "--kill-child", "--mount", "--net", "--uts", "--ipc", "--cgroup",
             "--propagation", "private", "--", "bash", "-c", BOOT, "boot"] + args,
            env={"container": "vexaproxy-test", "PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "SCRATCH": self.scratch,
                 "SYSTEMD": SYSTEMD},
            stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT, preexec_fn=enter)
        deadline = time.monotonic() + timeout
        children = "/proc/%d/task/%d/children" % (self.unshare.pid, self.unshare.pid)
        while not self.pid:
            self._check(deadline, "unshare started no child")
            with open(children) as f:
                self.pid = int((f.read().split() or [0])[0])
        # The child is bash, then chroot, then systemd: enter it only once it runs in its root.
        while self._comm() != "systemd":
            self._check(deadline, "systemd did not start")
        state = ""
        while state not in ("running", "degraded"):
            self._check(deadline, "systemd did not finish booting (state %r)" % state)
            state = self.run("systemctl", "is-system-running", check=False, timeout=30).stdout.strip()
        return self

    def _comm(self):
        try:
            with open("/proc/%d/comm" % self.pid) as f:
                return f.read().strip()
        except OSError:  # gone: the next check reports how the namespace ended
            return ""

    def _check(self, deadline, what):
        """One step of a bounded wait for the boot."""
        if self.unshare.poll() is not None:
            raise AssertionError("the namespace ended (%s) while booting:\n%s" % (self.unshare.returncode, self.console_text()))
        if time.monotonic() > deadline:
            raise AssertionError("%s\n%s" % (what, self.console_text()))
        time.sleep(0.1)

    def console_text(self):
        self.console.seek(0)
        return self.console.read().decode("utf-8", "replace")[-4000:]

    def run(self, *argv, check=True, timeout=120, **kwargs):
        """Runs argv inside the machine, in all of its namespaces and its root."""
        res = subprocess.run(["nsenter", "-t", str(self.pid), "-m", "-p", "-n", "-u", "-i", "-C", "-r", "-w", "--"] + list(argv),
                             capture_output=True, text=True, timeout=timeout, **kwargs)
        assert not check or res.returncode == 0, "%s: exit %s\n%s%s" % (" ".join(argv), res.returncode, res.stdout, res.stderr)
        return res

    def run_in_network(self, *argv, timeout=60):
        """Runs a host program in the machine's network only (clients of the relays)."""
        return subprocess.run(["nsenter", "-t", str(self.pid), "-n", "--"] + list(argv), capture_output=True, text=True,
                              timeout=timeout)

    def path(self, inside):
        return "/proc/%d/root%s" % (self.pid, inside)

    def destroy(self):
        """Kills the namespace's PID 1 (the kernel ends every process in it and the mounts go with the
        last of them), then removes the cgroups and the scratch directory. Safe after a failed boot."""
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.unshare:
            self.unshare.kill()
            self.unshare.wait(timeout=60)
        deadline = time.monotonic() + 30
        for top in self.cgroups:
            for d, _, _ in sorted(os.walk(top), key=lambda w: -w[0].count("/")):
                while os.path.isdir(d):
                    try:
                        os.rmdir(d)
                    except OSError:  # tasks that are still on their way out
                        if time.monotonic() > deadline:
                            raise
                        time.sleep(0.1)
        self.cgroups = []
        if self.scratch:
            os.rmdir(self.scratch)
            self.scratch = None
