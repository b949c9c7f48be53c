"""`cmake --install` with DESTDIR and the Debian package built by CPack lay out the same files."""
import gzip
import os
import subprocess

import pytest

import vexa

BUILD = os.path.dirname(vexa.BIN)
pytestmark = pytest.mark.skipif(not os.path.isfile(os.path.join(BUILD, "CPackConfig.cmake")),
                                reason="the daemon binary is not in a CMake build directory")
FILES = {
    "usr/sbin/vexaproxy", "usr/sbin/vexaproxy-check", "lib/systemd/system/vexaproxy.service", "usr/lib/sysusers.d/vexaproxy.conf",
    "usr/share/man/man8/vexaproxy.8.gz", "usr/share/man/man8/vexaproxy-check.8.gz", "usr/share/man/man5/VEXAProxy.xml.5.gz",
    "usr/share/doc/vexaproxy/examples/VEXAProxy.xml", "usr/share/doc/vexaproxy/copyright",
    "usr/share/doc/vexaproxy/changelog.gz", "usr/share/doc/vexaproxy/operations.md", "usr/share/doc/vexaproxy/configuration.md",
}
LOG_DIR, CONFIG = "var/log/VEXA/VEXAProxy/logs", "etc/VEXAProxy/VEXAProxy.xml"


def run(*argv, **kwargs):
    res = subprocess.run(argv, capture_output=True, text=True, timeout=300, **kwargs)
    assert res.returncode == 0, res.stdout + res.stderr
    return res.stdout


def test_install_lays_out_the_files_and_keeps_an_existing_configuration(tmp_path):
    def install():
        return run("cmake", "--install", BUILD, env=dict(os.environ, DESTDIR=str(tmp_path)))

    install()
    assert {os.path.relpath(os.path.join(b, n), tmp_path) for b, _, names in os.walk(tmp_path) for n in names} == FILES | {CONFIG}
    assert not os.path.exists(tmp_path / "var"), "the log directory is systemd's to make (LogsDirectory=)"
    assert all(os.stat(tmp_path / "usr/sbin" / exe).st_mode & 0o777 == 0o755 for exe in ("vexaproxy", "vexaproxy-check"))
    assert all(gzip.open(tmp_path / f).read().startswith(b".TH ") for f in FILES if "/man/" in f)
    unit = (tmp_path / "lib/systemd/system/vexaproxy.service").read_text()
    assert "\nExecStart=/usr/sbin/vexaproxy service\n" in unit
    assert "vexaproxy-check" in unit.split("ExecStartPre=")[1].splitlines()[0]
    # The filter denies @resources, where the log writer's setpriority lives: it must be allowed
    # again, and a call the filter misses must fail rather than kill the daemon.
    assert "\nSystemCallFilter=setpriority\n" in unit and "\nSystemCallErrorNumber=EPERM\n" in unit
    assert (tmp_path / CONFIG).read_bytes() == open(os.path.join(vexa.ROOT, "examples", "VEXAProxy.xml"), "rb").read()
    (tmp_path / CONFIG).write_text("<VEXAProxy DNSSrv='mine'/>")
    assert "Kept: " in install()
    assert (tmp_path / CONFIG).read_text() == "<VEXAProxy DNSSrv='mine'/>"


def test_package_contents(tmp_path):
    run("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", str(tmp_path), cwd=BUILD)
    debs = [n for n in os.listdir(tmp_path) if n.endswith(".deb")]
    assert len(debs) == 1 and debs[0].startswith("vexaproxy_1.0.6_")
    deb = str(tmp_path / debs[0])
    listing = run("dpkg-deb", "-c", deb).splitlines()
    entries = {l.split()[-1].lstrip("./").rstrip("/"): l.split()[0] for l in listing}
    # The configuration under /etc is never shipped: the postinst copies the example when there is none.
    assert {p for p, mode in entries.items() if mode.startswith("-")} == FILES
    assert LOG_DIR not in entries and all(l.split()[1] == "root/root" for l in listing)
    fields = run("dpkg-deb", "-f", deb, "Package", "Depends")
    assert "Package: vexaproxy" in fields and "libxml2" in fields and "systemd-sysusers" in fields
    control = run("dpkg-deb", "-I", deb)
    assert all(script in control for script in ("postinst", "prerm", "postrm"))
