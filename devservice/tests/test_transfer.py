import os

import paramiko
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
        with sftp.open(item["Location"], "r+b") as f:       # writes at an offset
            f.seek(10)
            f.write(b"XYZ")
        expected = data[:10] + b"XYZ" + data[13:] + b"tail"
        assert sftp.open(item["Location"], "rb").read() == expected
        assert info(user, item)["Size"] == str(len(expected))
        with sftp.open(item["Location"], "wb") as f:        # truncating rewrite
            f.write(b"short")
        assert sftp.open(item["Location"], "rb").read() == b"short"
    assert info(user, item)["Size"] == "5"


def test_transfers_set_the_dates_the_listing_reports(svc):
    user = svc.user()
    item = new_file(user, "dated.txt", b"abc")
    path = svc.store.content_path(item["ID"])
    os.utime(path, (1_000_000, 2_000_000))
    got = info(user, item)
    assert (got["DateAccessed"], got["DateModified"]) == ("1000000", "2000000")
    with user.transfer() as sftp:
        sftp.open(item["Location"], "rb").read()
    got = info(user, item)
    assert int(got["DateAccessed"]) > 2_000_000 and got["DateModified"] == "2000000"
    with user.transfer() as sftp, sftp.open(item["Location"], "ab") as f:
        f.write(b"d")
    assert int(info(user, item)["DateModified"]) > 2_000_000


def test_each_user_sees_only_their_own_contents(svc):
    a, b = svc.user(), svc.user()
    mine = new_file(a, "mine.txt", b"mine")
    theirs = new_file(b, "theirs.txt", b"theirs")
    with a.transfer() as sftp:
        assert sftp.listdir("/f") == [mine["ID"]]
        assert sftp.open(f"f/../f/{mine['ID']}").read() == b"mine"
        for path in (theirs["Location"], "/f/99999999", "../../../etc/passwd", "/etc/passwd",
                     "/f/../../" + os.path.relpath(svc.store.content_path(theirs["ID"]), "/"),
                     f"/f/{theirs['ID']}/..", "/f/" + mine["ID"] + "x", "/"):
            with pytest.raises(IOError):
                sftp.open(path, "rb")
            with pytest.raises(IOError):
                sftp.open(path, "wb")
        for call in (lambda: sftp.remove(mine["Location"]), lambda: sftp.mkdir("/f/new"),
                     lambda: sftp.rename(mine["Location"], "/f/1"),
                     lambda: sftp.open("/f/123456789", "wb")):
            with pytest.raises(IOError):
                call()
    assert open(svc.store.content_path(theirs["ID"]), "rb").read() == b"theirs"
    for user, password in ((a.sftp["SFTP_User"], b.sftp["SFTP_Pass"]), ("root", "root")):
        with pytest.raises(paramiko.AuthenticationException):
            with a.transfer(user, password):
                pass


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
