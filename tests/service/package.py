"""Where the build and the Debian package under test are, and what the package installs."""
import glob
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("VEXAPROXY_BUILD", os.path.join(ROOT, "build", "release"))
# scripts/package.sh leaves the package it linted in build/deb; scripts/test.sh runs these tests after it.
DEB = os.environ.get("VEXAPROXY_DEB") or next(iter(sorted(glob.glob(os.path.join(ROOT, "build", "deb", "package", "vexaproxy_*.deb")))), "")
FILES = {"usr/sbin/vexaproxy", "usr/sbin/vexaproxy-check", "lib/systemd/system/vexaproxy.service", "usr/lib/sysusers.d/vexaproxy.conf",
         "usr/share/man/man8/vexaproxy.8.gz", "usr/share/man/man8/vexaproxy-check.8.gz", "usr/share/man/man5/VEXAProxy.xml.5.gz",
         "usr/share/doc/vexaproxy/examples/VEXAProxy.xml", "usr/share/doc/vexaproxy/copyright", "usr/share/doc/vexaproxy/changelog.gz",
         "usr/share/doc/vexaproxy/operations.md", "usr/share/doc/vexaproxy/configuration.md"}
LOG_DIR, CONFIG = "var/log/VEXA/VEXAProxy/logs", "etc/VEXAProxy/VEXAProxy.xml"


def need_deb():
    assert os.path.isfile(DEB), "no package in build/deb/package: build it with scripts/package.sh (or set VEXAPROXY_DEB)"
    return DEB
