"""The account commands of the command line, as people use them."""

import os
import subprocess
import sys

from qm_devservice.store import Store

RUN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "run.py")


def run(*args):
    return subprocess.run([sys.executable, RUN, *args], capture_output=True, text=True,
                          timeout=60)


def test_account_commands(tmp_path):
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
    store.login("ana", "s3cret")
    store.close()
