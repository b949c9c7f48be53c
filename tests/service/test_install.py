"""`cmake --install` with DESTDIR and the Debian package lay out the same files."""
import gzip
import os
import subprocess

import package
from package import BUILD, CONFIG, FILES, LOG_DIR, ROOT


def run(*argv, **kwargs):
    res = subprocess.run(argv, capture_output=True, text=True, timeout=300, **kwargs)
    assert res.returncode == 0, res.stdout + res.stderr
    return res.stdout


def test_install_lays_out_the_files_and_keeps_an_existing_configuration(tmp_path):
    env = dict(os.environ, DESTDIR=str(tmp_path))
    run("cmake", "--install", BUILD, env=env)
    assert {os.path.relpath(os.path.join(b, n), tmp_path) for b, _, names in os.walk(tmp_path) for n in names} == FILES | {CONFIG}
    assert not os.path.exists(tmp_path / "var"), "the log directory is systemd's to make (LogsDirectory=)"
    assert all(os.stat(tmp_path / "usr/sbin" / exe).st_mode & 0o777 == 0o755 for exe in ("vexaproxy", "vexaproxy-check"))
    assert all(gzip.open(tmp_path / f).read().startswith(b".TH ") for f in FILES if "/man/" in f)
    # The filter denies @resources, where the log writer's setpriority lives: it must be allowed
    # again. Only a flood of log lines calls it, which the test under a real systemd never makes.
    assert "\nSystemCallFilter=setpriority\n" in (tmp_path / "lib/systemd/system/vexaproxy.service").read_text()
    assert (tmp_path / CONFIG).read_bytes() == open(os.path.join(ROOT, "examples", "VEXAProxy.xml"), "rb").read()
    (tmp_path / CONFIG).write_text("<VEXAProxy DNSSrv='mine'/>")
    assert "Kept: " in run("cmake", "--install", BUILD, env=env)
    assert (tmp_path / CONFIG).read_text() == "<VEXAProxy DNSSrv='mine'/>"


def test_package_contents():
    deb = package.need_deb()
    assert os.path.basename(deb).startswith("vexaproxy_1.0.6_")
    listing = run("dpkg-deb", "-c", deb).splitlines()
    entries = {l.split()[-1].lstrip("./").rstrip("/"): l.split()[0] for l in listing}
    # The configuration under /etc is never shipped: the postinst copies the example when there is none.
    assert {p for p, mode in entries.items() if mode.startswith("-")} == FILES
    assert LOG_DIR not in entries and all(l.split()[1] == "root/root" for l in listing)
    assert all(dep in run("dpkg-deb", "-f", deb, "Depends") for dep in ("libxml2", "systemd-sysusers"))
