import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
import vexa  # noqa: E402


def pytest_configure(config):
    if not vexa.in_private_namespaces():
        pytest.exit("system tests run only inside private namespaces: scripts/netns-run python3 -m pytest tests/system", 2)


@pytest.fixture
def daemon():
    """daemon(config_xml, **Daemon and start arguments) starts the real binary; killed at the end if still up."""
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
    with peers.DnsServer() as server:
        yield server
