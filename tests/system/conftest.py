import pytest

import peers
import vexa


def pytest_configure(config):
    if not vexa.in_private_namespaces():
        pytest.exit("system tests run only inside private namespaces: scripts/netns-run python3 -m pytest tests/system", 2)


# daemon(config_xml, **Daemon and start arguments) starts the real binary; killed at the end if still up.
@pytest.fixture
def daemon():
    runs = []

    def start(config=None, wait_for="Start v", listed=False, **kwargs):
        runs.append(vexa.Daemon(config, **kwargs))
        return runs[-1].start(wait_for=wait_for, listed=listed)

    yield start
    for d in runs:
        d.kill()


# The web server on 127.0.0.3:8000 and dnsmasq on 127.0.0.2, reached on port 53 through a redirect (the
# relay holds port 53 itself).
@pytest.fixture
def servers():
    with peers.WebServer(), peers.DnsServer():
        yield
