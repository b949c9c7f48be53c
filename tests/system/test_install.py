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
    "usr/sbin/vexaproxy", "usr/sbin/vexaproxy-check",
    "lib/systemd/system/vexaproxy.service",
    "usr/share/man/man8/vexaproxy.8.gz", "usr/share/man/man8/vexaproxy-check.8.gz",
    "usr/share/man/man5/VEXAProxy.xml.5.gz",
    "usr/share/doc/vexaproxy/examples/VEXAProxy.xml", "usr/share/doc/vexaproxy/copyright",
    "usr/share/doc/vexaproxy/changelog.gz", "usr/share/doc/vexaproxy/operations.md",
    "usr/share/doc/vexaproxy/configuration.md",
}
LOG_DIR = "var/log/VEXA/VEXAProxy/logs"
CONFIG = "etc/VEXAProxy/VEXAProxy.xml"


def install(dest):
    env = dict(os.environ, DESTDIR=str(dest))
    res = subprocess.run(["cmake", "--install", BUILD], env=env, capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    return res.stdout


def tree(root):
    found = set()
    for base, dirs, files in os.walk(root):
        for name in files:
            found.add(os.path.relpath(os.path.join(base, name), root))
    return found


def test_install_lays_out_the_files_and_keeps_an_existing_configuration(tmp_path):
    install(tmp_path)
    assert tree(tmp_path) == FILES | {CONFIG}
    assert os.path.isdir(tmp_path / LOG_DIR)
    for exe in ("usr/sbin/vexaproxy", "usr/sbin/vexaproxy-check"):
        assert os.stat(tmp_path / exe).st_mode & 0o777 == 0o755
    for page in ("man8/vexaproxy.8.gz", "man8/vexaproxy-check.8.gz", "man5/VEXAProxy.xml.5.gz"):
        assert gzip.open(tmp_path / "usr/share/man" / page).read().startswith(b".TH ")
    unit = (tmp_path / "lib/systemd/system/vexaproxy.service").read_text()
    assert "\nExecStart=/usr/sbin/vexaproxy service\n" in unit
    assert "vexaproxy-check" in unit.split("ExecStartPre=")[1].splitlines()[0]
    example = open(os.path.join(vexa.ROOT, "examples", "VEXAProxy.xml"), "rb").read()
    assert (tmp_path / CONFIG).read_bytes() == example

    (tmp_path / CONFIG).write_text("<VEXAProxy DNSSrv='mine'/>")
    out = install(tmp_path)
    assert "Kept: " in out
    assert (tmp_path / CONFIG).read_text() == "<VEXAProxy DNSSrv='mine'/>"


def test_package_contents(tmp_path):
    res = subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", str(tmp_path)],
                         cwd=BUILD, capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr
    debs = [n for n in os.listdir(tmp_path) if n.endswith(".deb")]
    assert len(debs) == 1 and debs[0].startswith("vexaproxy_1.0.6_")
    deb = str(tmp_path / debs[0])
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout.splitlines()
    entries = {l.split()[-1].lstrip("./").rstrip("/"): l.split()[0] for l in listing}
    files = {p for p, mode in entries.items() if mode.startswith("-")}
    # The configuration under /etc is never shipped: the postinst copies the example when there is none.
    assert files == FILES
    assert entries[LOG_DIR].startswith("d")
    assert all(l.split()[1] == "root/root" for l in listing)
    fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Depends"], capture_output=True, text=True, check=True).stdout
    assert "Package: vexaproxy" in fields and "libxml2" in fields
    control = subprocess.run(["dpkg-deb", "-I", deb], capture_output=True, text=True, check=True).stdout
    for script in ("postinst", "prerm", "postrm"):
        assert script in control
