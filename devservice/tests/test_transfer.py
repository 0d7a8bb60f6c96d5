"""The transfer host as the drive uses it: reads from an offset, appends, rewrites, quota."""

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


def test_reads_writes_appends_and_rewrites(svc):
    user = svc.user()
    data = os.urandom(300_000)
    item = new_file(user, "blob.bin", data)
    assert item["Location"] == f"/f/{item['ID']}"
    assert user.find("0", "blob.bin")["Size"] == str(len(data))
    with user.transfer() as sftp:
        with sftp.open(item["Location"], "rb") as f:
            f.seek(123_456)
            assert f.read(1000) == data[123_456:124_456]
            f.seek(len(data) - 10)
            assert f.read(100) == data[-10:]
        with sftp.open(item["Location"], "ab") as f:        # writes go to the end
            f.seek(0)
            f.write(b"tail")
        expected = data + b"tail"
        assert sftp.open(item["Location"], "rb").read() == expected
        assert info(user, item)["Size"] == str(len(expected))
        with sftp.open(item["Location"], "wb") as f:        # truncating rewrite
            f.write(b"short")
        assert sftp.open(item["Location"], "rb").read() == b"short"
    assert info(user, item)["Size"] == "5"


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
