"""The command line, as people and other languages' fixtures use it."""

import os
import select
import signal
import subprocess
import sys
import time

import pytest

from qm_devservice.store import Store
from qmclient import Client

RUN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "run.py")


def run(*args):
    return subprocess.run([sys.executable, RUN, *args], capture_output=True, text=True,
                          timeout=60)


@pytest.fixture
def started(tmp_path):
    """run.py started the way a test fixture in another language would: port 0,
    then read the READY line for the real ports."""
    processes = []

    def start(*args):
        proc = subprocess.Popen([sys.executable, RUN, "--data", str(tmp_path / "data"),
                                 "--port", "0", "--sftp-port", "0", *args],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                stdin=subprocess.PIPE, text=True)
        processes.append(proc)
        lines, deadline = {}, time.monotonic() + 30
        while time.monotonic() < deadline:
            if select.select([proc.stdout], [], [], 1)[0]:
                line = proc.stdout.readline()
                assert line, "service exited before READY"
                word, *pairs = line.split()
                lines[word] = dict(p.split("=", 1) for p in pairs)
                if word == "READY":
                    return proc, lines
        pytest.fail("no READY line")

    yield start
    for proc in processes:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_demo_service_starts_reports_ports_and_stops_cleanly(started):
    proc, lines = started("--demo", "--test-mode")
    client = Client(f"http://127.0.0.1:{lines['READY']['http']}")
    client.login("demo", lines["DEMO"]["password"])
    assert client.sftp["SFTP_Host"] == f"sftp://127.0.0.1:{lines['READY']['sftp']}"
    dirs, _ = client.list_dir("0")
    names = {d["Name"] for d in dirs}
    assert {"Home", "Music", "Photos", "Partagé publiquement"} <= names
    home = client.find("0", "Home")["ID"]
    assert client.find(home, "Café crème – recette.txt")["Size"] != "0"
    photos = client.find("0", "Photos")["ID"]
    pictures = client.list_dir(photos)[1]
    assert len(pictures) == 2
    assert all(client.thumbnail(p["ID"])[1].startswith(b"\x89PNG") for p in pictures)

    proc.send_signal(signal.SIGTERM)
    assert proc.wait(timeout=10) == 0


def test_stdin_eof_stops_the_service(started):
    proc, _ = started("--exit-on-stdin-eof")
    proc.stdin.close()
    assert proc.wait(timeout=10) == 0


def test_account_commands(tmp_path, started):
    data = str(tmp_path / "data")
    assert run("add-user", "ana", "s3cret", "--capacity", "5000", "--level", "Gold",
               "--data", data).returncode == 0
    again = run("--data", data, "add-user", "ana", "x")
    assert again.returncode == 1 and "already exists" in again.stderr
    assert run("--data", data, "set-quota", "ana", "9000").returncode == 0
    assert run("--data", data, "set-quota", "nobody", "1").returncode == 1
    store = Store(data)
    user = store.user("ana")
    assert (user["capacity"], user["level"]) == (9000, "Gold")
    store.close()

    _, lines = started()
    client = Client(f"http://127.0.0.1:{lines['READY']['http']}")
    client.login("ana", "s3cret")
    assert client.op(("action", "get_storage_info")).get("Capacity") == "9000"
    assert client.op(("action", "get_user_info")).get("UserLevel") == "Gold"
