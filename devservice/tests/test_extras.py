"""Public links, thumbnails and the control endpoint."""

import io
import os
import time
import urllib.error
import urllib.request

import pytest
from PIL import Image

from qm_devservice import DevService
from qmclient import Client, ParseError, ServiceErrorSeen, encode_body, parse_response


def put(svc, client, dir_id, name, data):
    item = client.create_file(dir_id, name, len(data))
    with open(svc.store.content_path(item["ID"]), "wb") as f:
        f.write(data)
    return item


def fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as resp:
            return resp.status, resp.read()
    except urllib.error.HTTPError as err:
        return err.code, b""


def test_public_links_follow_the_folder_access(svc):
    user = svc.user()
    folder = user.create_dir("0", "shared")
    item = put(svc, user, folder, "note.txt", b"hello")
    at_root = put(svc, user, "0", "root.txt", b"x")
    for access, expected in ((0, 403), (1, 200), (2, 200), (7, 403)):
        user.op(("action", "set_dir_access"), ("dir_id", folder), ("access", str(access)),
                ("permission", "3"))
        assert fetch(item["Link"]) == (expected, b"hello" if expected == 200 else b"")
        assert user.find("0", "shared")["Access"] == str(access)
    assert user.find("0", "shared")["Permission"] == "3"
    assert fetch(at_root["Link"])[0] == 403
    assert fetch(item["Link"][:-3] + "xyz")[0] == 404
    assert item["Link"].startswith(svc.url + "/link/")


def picture(fmt, size, mode="RGB"):
    img = Image.effect_noise(size, 90).convert(mode)
    out = io.BytesIO()
    img.save(out, fmt)
    return out.getvalue()


@pytest.mark.parametrize("fmt, size, mode", [
    ("PNG", (1600, 900), "RGBA"), ("PNG", (256, 256), "RGBA"), ("JPEG", (300, 2000), "RGB"),
    ("GIF", (500, 500), "P"), ("BMP", (640, 480), "RGB"), ("PNG", (40, 30), "L"),
])
def test_thumbnails_are_small_pngs(svc, fmt, size, mode):
    user = svc.user()
    item = put(svc, user, "0", f"pic.{fmt.lower()}", picture(fmt, size, mode))
    status, data = user.thumbnail(item["ID"])
    thumb = Image.open(io.BytesIO(data))
    assert status == 200 and thumb.format == "PNG"
    assert max(thumb.size) == min(256, max(size)) and max(thumb.size) <= 256
    assert len(data) < 128 * 1024      # the drive's buffer is 256 KiB


def test_no_thumbnail_for_other_files(svc):
    user, other = svc.user(), svc.user()
    text = put(svc, user, "0", "a.png", b"not really a picture")
    empty = put(svc, user, "0", "empty.jpg", b"")
    pic = put(svc, user, "0", "p.png", picture("PNG", (10, 10)))
    assert user.thumbnail(text["ID"])[1] == b""
    assert user.thumbnail(empty["ID"])[1] == b""
    assert user.thumbnail("999999")[1] == b""
    assert other.thumbnail(pic["ID"])[1] == b""


def test_error_body_and_malformed_switches(svc):
    user = svc.user()
    svc.control("fault/error", action="list_dir", name="Boom <1>",
                description="It broke in C:\\", count=2)
    for _ in range(2):
        with pytest.raises(ServiceErrorSeen) as info:
            user.list_dir("0")
        assert (info.value.name, info.value.description) == ("Boom <1>", "It broke in C:\\ ")
    user.list_dir("0")

    svc.control("fault/malformed", action="list_dir")
    with pytest.raises(ParseError):
        user.list_dir("0")
    body = "<Response><File><Name>x</Name></File></Response>"
    svc.control("fault/body", action="list_dir", body=body, user=user.name)
    assert user.op_raw([("action", "list_dir"), ("dir_id", "0")]) == body.encode()

    # perform=1: the action is carried out, only the answer is replaced.
    svc.control("fault/error", action="create_dir", name="Lost", description="Reply lost.",
                perform=1)
    with pytest.raises(ServiceErrorSeen, match="Lost"):
        user.op(("action", "create_dir"), ("dir_id", "0"), ("name", "made anyway"))
    user.find("0", "made anyway")

    svc.control("fault/error", action="*", name="Any", description="Any.", user="someone else")
    svc.control("fault/error", action="get_path", name="Gone", description="Gone.", count=0)
    user.list_dir("0")
    assert len(svc.control("state")["rules"]) == 2
    for _ in range(2):
        _, data = user.post_raw("/qm_get_path.php", encode_body([("version", "1.0")]))
        with pytest.raises(ServiceErrorSeen, match="Gone"):
            parse_response(data)
    svc.control("reset")
    assert svc.control("state")["rules"] == []
    user.discover()


def test_delay_switch(svc):
    user = svc.user()
    svc.control("fault/delay", action="get_storage_info", seconds=0.5)
    start = time.monotonic()
    user.op(("action", "get_storage_info"))
    assert time.monotonic() - start >= 0.5
    start = time.monotonic()
    user.op(("action", "get_storage_info"))
    assert time.monotonic() - start < 0.5


def test_what_the_service_saw(svc):
    user = svc.user()
    svc.control("reset")
    user.list_dir("0")
    item = user.create_file("0", "a+b&c.txt", 3)
    user.op(("action", "update_file_info"), ("file_id", item["ID"]))
    body = svc.control("last_body", endpoint="operations")
    assert body == (b"action=update_file_info&file_id=" + item["ID"].encode()
                    + b"&user_id=" + user.user_id.encode())
    counts = svc.control("counts")["counts"][user.name]
    assert counts == {"list_dir": 2, "create_file": 1, "update_file_info": 1}
    found = svc.control("requests", action="create_file", user=user.name)["requests"]
    assert [r["params"]["name"] for r in found] == ["a+b&c.txt"]
    roots = [r for r in svc.control("requests", action="list_dir")["requests"]
             if r["params"]["dir_id"] == "0"]
    assert len(roots) == 2 and all(r["result"] == "ok" for r in roots)


def test_control_exists_only_in_test_mode(tmp_path, host_key):
    with open(os.devnull, "w") as log, DevService(tmp_path, http_port=0, sftp_port=0,
                                                  host_key=host_key, log_stream=log) as service:
        assert fetch(f"{service.base_url}/_control/state")[0] == 404


def test_control_makes_accounts(svc):
    assert svc.control("add_user", name="made-by-control", password="p+w&", capacity="5000")["ok"]
    client = Client(svc.url)
    client.login("made-by-control", "p+w&")
    assert client.op(("action", "get_storage_info")).get("Capacity") == "5000"
    # A second account of the same name is refused with the service's own error text.
    with pytest.raises(urllib.error.HTTPError) as refused:
        svc.control("add_user", name="made-by-control", password="x")
    assert b"already exists" in refused.value.read()


def test_control_makes_the_demo_account(svc):
    reply = svc.control("demo", password="demo-pass")
    assert reply == {"ok": True, "user": "demo", "password": "demo-pass"}
    client = Client(svc.url)
    client.login("demo", "demo-pass")
    names = {d["Name"] for d in client.list_dir("0")[0]}
    assert {"Home", "Music", "Photos"} <= names
    # Asked again, the account stays as it is and only the password changes.
    again = svc.control("demo")
    assert again["ok"] and again["password"] != "demo-pass"
    Client(svc.url).login("demo", again["password"])
    assert {d["Name"] for d in client.list_dir("0")[0]} == names


def test_populate_makes_a_big_folder_in_one_go(svc):
    user = svc.user()
    folder = user.create_dir("0", "big")
    reply = svc.control("populate", user=user.name, dir=folder, count=25, prefix="n", folders_every=10)
    assert reply == {"ok": True, "folders": 3, "files": 22}
    dirs, files = user.list_dir(folder)
    assert [d["Name"] for d in dirs] == ["n000000", "n000010", "n000020"]
    assert len(files) == 22
    assert files[0]["Name"] == "n000001.jpg" and files[0]["Size"] == "1"
    # Names stay unique: populating again with the same prefix is refused as a whole.
    with pytest.raises(urllib.error.HTTPError):
        svc.control("populate", user=user.name, dir=folder, count=2, prefix="n")
    assert len(user.list_dir(folder)[1]) == 22
