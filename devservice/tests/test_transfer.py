import hashlib
import os
import shutil
import subprocess
import time

import paramiko
import pytest

from qmclient import ServiceErrorSeen

MiB = 1024 * 1024


def sha(data):
    return hashlib.sha256(data).hexdigest()


def new_file(client, name, data=b"", dir_id="0"):
    item = client.create_file(dir_id, name, len(data))
    if data:
        with client.transfer() as sftp, sftp.open(item["Location"], "wb") as f:
            f.write(data)
        client.op(("action", "update_file_info"), ("file_id", item["ID"]))
    return item


def info(client, item):
    client.op(("action", "update_file_info"), ("file_id", item["ID"]))
    return client.find("0", from_name(item))


def from_name(item):
    return item["Name"].encode("utf-16-le", "surrogatepass").decode("utf-16-le")


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


def download_until_failure(client, location, chunk=32768):
    got = bytearray()
    with pytest.raises((IOError, EOFError, paramiko.SSHException)):
        with client.transfer() as sftp, sftp.open(location, "rb") as f:
            while True:
                part = f.read(chunk)
                if not part:
                    break
                got += part
    return bytes(got)


def transfers_seen(svc, count, timeout=10.0):
    """The service's transfer records once there are at least count of them: the server thread
    writes a record when it closes the handle, which can be after the client has returned."""
    deadline = time.monotonic() + timeout
    while True:
        transfers = svc.control("transfers")["transfers"]
        if len(transfers) >= count or time.monotonic() > deadline:
            return transfers
        time.sleep(0.05)


def test_download_dropped_and_resumed_is_identical(svc):
    user = svc.user()
    data = os.urandom(3 * MiB + 17)
    item = new_file(user, "big.bin", data)
    svc.control("fault/sftp_drop", after=1_000_000, direction="read")
    got = download_until_failure(user, item["Location"])
    # The client may lose the last partial reply with the connection; it
    # resumes from what it really has.
    assert 900_000 < len(got) <= 1_000_000
    with user.transfer() as sftp, sftp.open(item["Location"], "rb") as f:
        f.seek(len(got))
        rest = f.read()
    assert sha(got + rest) == sha(data)
    transfers = transfers_seen(svc, 3)  # the upload that made the file, then the two reads
    assert [(t["mode"], t["first_offset"], t["bytes"], t["result"]) for t in transfers[-2:]] \
        == [("read", 0, 1_000_000, "dropped"), ("read", len(got), len(data) - len(got), "ok")]


def test_upload_dropped_and_resumed_by_append_is_identical(svc):
    user = svc.user()
    data = os.urandom(3 * MiB + 5)
    item = new_file(user, "up.bin")
    svc.control("fault/sftp_drop", after=1_234_567, direction="write", count=2)
    for expected in (1_234_567, 2_469_134):                # two transfers in a row are cut
        with pytest.raises((IOError, EOFError, paramiko.SSHException)):
            with user.transfer() as sftp:
                mode = "ab" if expected > 1_234_567 else "wb"
                with sftp.open(item["Location"], mode) as f:
                    start = os.path.getsize(svc.store.content_path(item["ID"]))
                    for pos in range(start, len(data), 32768):
                        f.write(data[pos:pos + 32768])
        assert os.path.getsize(svc.store.content_path(item["ID"])) == min(expected, len(data))
    with user.transfer() as sftp:
        done = sftp.stat(item["Location"]).st_size
        with sftp.open(item["Location"], "ab") as f:
            f.write(data[done:])
    got = info(user, item)
    assert got["Size"] == str(len(data))
    with user.transfer() as sftp:
        assert sha(sftp.open(item["Location"], "rb").read()) == sha(data)
    assert [t["mode"] for t in transfers_seen(svc, 4)] \
        == ["rewrite", "append", "append", "read"]


@pytest.mark.skipif(shutil.which("curl") is None, reason="no curl")
def test_curl_with_libssh2_resumes_both_ways(svc, tmp_path):
    """The drive moves contents with libcurl over libssh2; so does curl."""
    if "sftp" not in subprocess.run(["curl", "-V"], capture_output=True, text=True).stdout:
        pytest.skip("curl without SFTP")
    user = svc.user()
    data = os.urandom(4 * MiB + 3)
    source = tmp_path / "source.bin"
    source.write_bytes(data)
    item = new_file(user, "curl.bin")
    url = user.sftp["SFTP_Host"] + item["Location"]
    creds = f"{user.sftp['SFTP_User']}:{user.sftp['SFTP_Pass']}"

    def curl(*args):
        return subprocess.run(["curl", "-sS", "-k", "-u", creds, *args, url],
                              capture_output=True, timeout=60).returncode

    svc.control("fault/sftp_drop", after=1_500_000, direction="write")
    assert curl("-T", str(source)) != 0
    size = os.path.getsize(svc.store.content_path(item["ID"]))
    assert size == 1_500_000
    assert curl("-C", str(size), "-T", str(source)) == 0       # opens for append
    assert sha(open(svc.store.content_path(item["ID"]), "rb").read()) == sha(data)

    target = tmp_path / "target.bin"
    svc.control("fault/sftp_drop", after=2_000_000, direction="read")
    assert curl("-o", str(target)) != 0
    assert 0 < target.stat().st_size <= 2_000_000
    assert curl("-C", "-", "-o", str(target)) == 0
    assert sha(target.read_bytes()) == sha(data)
