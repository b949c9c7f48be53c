import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
import vexa  # noqa: E402


def pytest_configure(config):
    if not vexa.in_private_namespaces():
        pytest.exit("system tests run only inside private namespaces: scripts/netns-run python3 -m pytest tests/system", 2)
    if not os.access(vexa.BIN, os.X_OK):
        pytest.exit("no daemon binary at %s (set VEXAPROXY_BIN)" % vexa.BIN, 2)


@pytest.fixture
def daemon():
    """Factory: daemon(config_xml, **Daemon args and start args) starts the real binary; every run
    is killed at the end if still up."""
    runs = []

    def start(config=None, wait_for="Start v", listed=False, **kwargs):
        runs.append(vexa.Daemon(config, **kwargs))
        return runs[-1].start(wait_for=wait_for, listed=listed)

    yield start
    for d in runs:
        d.kill()


@pytest.fixture
def web():
    with peers.WebServer() as w:
        yield w


@pytest.fixture
def upstream():
    """dnsmasq on 127.0.0.2, reached on port 53 through a redirect: the relay holds port 53 itself."""
    with peers.DnsServer(names={"upstream.example": "10.9.8.7", "printer.lan": "10.9.9.9",
                                "other.lan": "10.2.2.2"}) as server:
        yield server


@pytest.fixture
def cloud():
    """The cloud server of the RM7 relay on 127.0.0.4:6000."""
    c = peers.UdpPeer("127.0.0.4", 6000)
    yield c
    c.close()
