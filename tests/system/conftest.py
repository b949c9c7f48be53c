import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vexa  # noqa: E402


def pytest_configure(config):
    if not vexa.in_private_namespaces():
        pytest.exit("system tests run only inside private namespaces: scripts/netns-run python3 -m pytest tests/system", 2)
    if not os.access(vexa.BIN, os.X_OK):
        pytest.exit("no daemon binary at %s (set VEXAPROXY_BIN)" % vexa.BIN, 2)


@pytest.fixture
def daemon():
    """Factory: daemon(config_xml) starts the real binary; every run is killed at the end if still up."""
    runs = []

    def start(config=None, **kwargs):
        d = vexa.Daemon(config, **kwargs).start()
        runs.append(d)
        return d

    yield start
    for d in runs:
        d.kill()
