"""The transfer host beyond what the drive's own tests ask of it: appends and the quota."""

import os

import pytest

from qmclient import ServiceErrorSeen


def new_file(client, name, data=b"", dir_id="0"):
    item = client.create_file(dir_id, name, len(data))
    if data:
        with client.transfer() as sftp, sftp.open(item["Location"], "wb") as f:
            f.write(data)
        client.op(("action", "update_file_info"), ("file_id", item["ID"]))
    return item


def info(client, item):
    client.op(("action", "update_file_info"), ("file_id", item["ID"]))
    return client.find("0", item["Name"])


# Reads from an offset, resumed appends and truncating rewrites are what the C++ transfer channel
# and file tests do through libcurl; an append that seeks back is not something libcurl sends.
def test_an_append_goes_to_the_end_wherever_it_seeks(svc):
    user = svc.user()
    data = os.urandom(1000)
    item = new_file(user, "blob.bin", data)
    with user.transfer() as sftp:
        with sftp.open(item["Location"], "ab") as f:
            f.seek(0)
            f.write(b"tail")
        assert sftp.open(item["Location"], "rb").read() == data + b"tail"
    assert info(user, item)["Size"] == str(len(data) + 4)


def test_quota_also_holds_for_what_is_written(svc):
    user = svc.user(capacity=1000)
    item = new_file(user, "q.bin", b"")
    with user.transfer() as sftp, sftp.open(item["Location"], "wb") as f:
        f.write(b"x" * 1000)
        f.flush()
        with pytest.raises(IOError):
            f.write(b"y")
            f.flush()
    assert info(user, item)["Size"] == "1000"
    with pytest.raises(ServiceErrorSeen, match="Quota exceeded"):
        user.create_file("0", "more", 1)
