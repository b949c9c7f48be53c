"""systemd as PID 1 of private PID, mount, network, UTS, IPC and cgroup namespaces over an overlay of
the root file system: a machine whose changes leave the host's /etc, /var, services and network alone."""
import os
import subprocess
import time
from pathlib import Path

SYSTEMD = "/lib/systemd/systemd"

# Run inside the new namespaces. Whatever the machine changes lands in the overlay's upper layer on a
# tmpfs (over that namespace's /tmp) that vanishes with it. The kernel's settings, modules and clock
# are the host's: the machine may read them and change none (systemd-sysctl would otherwise apply
# Debian's sysctl.d to the whole kernel). /dev is a tmpfs with the usual nodes of the host, so that
# what systemd makes there stays in the machine; systemd mounts /dev/shm, /dev/pts, /run and its
# cgroup hierarchies (the namespace's roots) itself, and the unit's PrivateDevices= needs /dev/ptmx.
# The machine's /tmp starts empty, or systemd-tmpfiles would clear out the host's at boot.
BOOT = r'''
mount -t tmpfs tmpfs /tmp
mkdir /tmp/upper /tmp/work /tmp/root
mount -t overlay overlay -o lowerdir=/,upperdir=/tmp/upper,workdir=/tmp/work /tmp/root
cd /tmp/root
mount -t proc proc proc
mount -o bind,ro /sys sys
mount -o bind,ro proc/sys proc/sys
[ ! -e proc/sysrq-trigger ] || mount -o bind,ro proc/sysrq-trigger proc/sysrq-trigger
mount -t tmpfs -o mode=755,nosuid tmpfs dev
for node in null zero full random urandom tty; do
  touch "dev/$node"
  mount --bind "/dev/$node" "dev/$node"
done
ln -s pts/ptmx dev/ptmx
mount -t tmpfs tmpfs tmp
exec chroot . setpriv --bounding-set=-sys_module,-sys_time "$SYSTEMD" "$@"
'''


def until(cond, what, timeout=30):
    # Polls cond until it gives something true and returns that; what() tells why it never did.
    deadline = time.monotonic() + timeout
    while not (res := cond()):
        assert time.monotonic() < deadline, what()
        time.sleep(0.1)
    return res


def _new_cgroups(name):
    """A new cgroup below ours in every hierarchy, the root systemd sees in its cgroup namespace (its units
    stay out of the host's tree); and whether pids is a v1 controller, which systemd must then use too."""
    with open("/proc/self/mountinfo") as f:
        mounts = [(line.split(" - ")[1].split(), line.split()[4]) for line in f if " - cgroup" in line]
    dirs = []
    with open("/proc/self/cgroup") as f:
        for hid, controllers, path in (line.rstrip("\n").split(":", 2) for line in f):
            for point in [p for (fs, _, opts), p in mounts if fs == ("cgroup2" if hid == "0" else "cgroup")
                          and set(controllers.split(",")) <= set(opts.split(",")) | {""}][:1]:
                dirs.append(Path(point, path.lstrip("/"), name))
                dirs[-1].mkdir()
                # A v1 cpuset group takes no task until it has CPUs and memory nodes.
                for knob in [k for k in ("cpuset.cpus", "cpuset.mems") if (dirs[-1] / k).exists()]:
                    (dirs[-1] / knob).write_text((dirs[-1].parent / knob).read_text())
    return dirs, any(fs == "cgroup" and "pids" in opts.split(",") for (fs, _, opts), _ in mounts)


class Machine:
    pid = unshare = None  # pid: the namespace's PID 1, as the host numbers it
    cgroups = []

    def boot(self, timeout=120):
        # Booted to basic.target only: the host's enabled services (web servers, databases) stay off.
        # destroy() also undoes a failed boot.
        self.cgroups, legacy = _new_cgroups("vexaproxy-test-%d" % os.getpid())

        def join_cgroups():
            for d in self.cgroups:
                (d / "cgroup.procs").write_text("0")

        # Should the test process die, unshare dies with it (--pdeathsig), and --kill-child takes systemd
        # along. The new mount namespace's propagation is private (unshare's default).
        self.unshare = subprocess.Popen(
            ["setpriv", "--pdeathsig", "KILL", "unshare", "--pid", "--fork", "--kill-child", "--mount", "--net", "--uts", "--ipc",
             "--cgroup", "--", "bash", "-ec", BOOT, "boot", "systemd.unit=basic.target"] + ["systemd.unified_cgroup_hierarchy=0"] * legacy,
            env={"container": "vexaproxy-test", "PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "SYSTEMD": SYSTEMD},
            stdin=subprocess.DEVNULL, preexec_fn=join_cgroups)  # its console is the test's output, shown when a test fails

        def systemd():
            assert self.unshare.poll() is None, "the namespace ended while booting"
            return subprocess.run(["pgrep", "-x", "-P", str(self.unshare.pid), "systemd"], capture_output=True, text=True).stdout

        # unshare's child is bash, then chroot, then systemd: enter it only once it runs in its root.
        self.pid = int(until(systemd, lambda: "systemd did not start", timeout))
        self.root = "/proc/%d/root" % self.pid  # the machine's files, as the host reaches them
        until(lambda: self.run("systemctl", "is-system-running", check=False).stdout in ("running\n", "degraded\n"),
              lambda: "systemd did not finish booting", timeout)
        return self

    def run(self, *argv, check=True, enter=("-a", "-r", "-w"), **kwargs):
        # In all of the machine's namespaces and its root, or in those given.
        res = subprocess.run(["nsenter", "-t", str(self.pid), *enter, "--", *argv], capture_output=True, text=True, timeout=120,
                             **kwargs)
        assert not check or res.returncode == 0, "%s: exit %s\n%s%s" % (" ".join(argv), res.returncode, res.stdout, res.stderr)
        return res

    def destroy(self):
        # Killing unshare kills its child (--kill-child), the namespace's PID 1; the kernel ends every
        # other process of the namespace with it, and the mounts go with the last of them.
        if self.unshare:
            self.unshare.kill()
            self.unshare.wait()
        for top in self.cgroups:
            until(lambda: subprocess.run(["find", top, "-depth", "-type", "d", "-delete"], capture_output=True).returncode == 0,
                  lambda: "cgroup %s stays busy" % top)  # until the last task of the namespace is gone
