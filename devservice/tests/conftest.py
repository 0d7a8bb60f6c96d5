import itertools
import os
import sys
import threading
import time

import paramiko
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

from qm_devservice import DevService  # noqa: E402
from qmclient import Client  # noqa: E402

_names = itertools.count(1)


@pytest.fixture(scope="session")
def host_key():
    return paramiko.RSAKey.generate(2048)


class Harness:
    """A running service plus a helper to make accounts."""

    def __init__(self, service):
        self.service = service
        self.store = service.store
        self.url = service.base_url

    def user(self, capacity=0, name=None):
        name = name or f"user{next(_names)}"
        password = f"pw-{name}+&="
        self.store.add_user(name, password, capacity=capacity)
        client = Client(self.url)
        client.login(name, password)
        client.name = name
        client.password = password
        return client


def _wait_for_threads(baseline, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        extra = [t for t in threading.enumerate() if t not in baseline and t.is_alive()]
        if not extra:
            return []
        time.sleep(0.05)
    return extra


@pytest.fixture
def svc(tmp_path, host_key):
    """A fresh service in test mode on free ports; checks that stopping it
    leaves no thread behind."""
    baseline = set(threading.enumerate())
    log = open(tmp_path / "service.log", "w")
    service = DevService(tmp_path / "data", http_port=0, sftp_port=0, test_mode=True,
                         log_stream=log, host_key=host_key)
    service.start()
    try:
        yield Harness(service)
    finally:
        service.stop()
        log.close()
        leftover = _wait_for_threads(baseline)
        assert not leftover, f"threads left running: {leftover}"
