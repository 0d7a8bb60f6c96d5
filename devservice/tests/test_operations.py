import os

import pytest

from qmclient import (Client, ServiceErrorSeen, encode_body, parse_response, url_encode,
                      utf16_units)


def error_of(client, *params):
    with pytest.raises(ServiceErrorSeen) as info:
        client.op(*params)
    assert info.value.description.endswith("."), "a description is a full sentence"
    return info.value.name


def test_discovery_login_and_transfer_credentials(svc):
    a, b = svc.user(), svc.user()
    client = Client(svc.url)
    assert client.discover() == "/api"
    _, data = client.post_raw("/qm_get_path.php", encode_body([("version", "2.0")]))
    with pytest.raises(ServiceErrorSeen):
        parse_response(data)

    assert error_of(client, ("action", "login"), ("user", a.name), ("pass", "wrong")) \
        == "Login failed"
    assert error_of(client, ("action", "login"), ("user", "nobody"), ("pass", "x")) \
        == "Login failed"
    assert a.sftp["SFTP_Host"] == f"sftp://127.0.0.1:{svc.service.sftp_port}"
    assert a.sftp["SFTP_User"] != b.sftp["SFTP_User"]
    assert a.sftp["SFTP_Pass"] != b.sftp["SFTP_Pass"]

    # A drive that kept its UserID asks for the credentials with it as user_id.
    for token in ("", "0123456789abcdef", a.user_id):
        client.user_id = token
        if token != a.user_id:
            assert error_of(client, ("action", "get_ftp_params")) == "Session expired"
    ftp = client.op(("action", "get_ftp_params"))
    assert {k: ftp.get(k) for k in a.sftp} == a.sftp
    assert a.op(("action", "get_user_info")).get("UserName") == a.name

    svc.store.expire_sessions(a.name)
    assert error_of(a, ("action", "list_dir"), ("dir_id", "0")) == "Session expired"
    b.list_dir("0")


def test_fresh_account_and_subfolder_flags(svc):
    user = svc.user()
    dirs, files = user.list_dir("0")
    assert files == []
    flags = {d["Name"]: (d["IsHomeFolder"], d["IsMP3"], d["IsGallery"]) for d in dirs}
    assert flags == {"Home": ("True", "False", "False"), "Music": ("False", "True", "False"),
                     "Photos": ("False", "False", "True")}
    for d in dirs:
        assert (d["IsRenameable"], d["IsDeleteable"], d["HasSubfolders"]) == ("False",) * 3
        assert d["ID"].isdigit() and d["ID"] != "0"
        assert error_of(user, ("new_name", "X"), ("action", "rename_dir"),
                        ("dir_id", d["ID"])) == "Cannot rename folder"
        assert error_of(user, ("action", "remove_dir"), ("dir_id", d["ID"])) \
            == "Cannot delete folder"

    home = user.find("0", "Home")["ID"]
    sub = user.create_dir(home, "Sub")
    assert user.find("0", "Home")["HasSubfolders"] == "True"
    created = user.find(home, "Sub")
    assert (created["IsRenameable"], created["IsDeleteable"], created["HasSubfolders"]) \
        == ("True", "True", "False")
    user.create_file(sub, "only a file")
    assert user.find(home, "Sub")["HasSubfolders"] == "False"
    user.op(("action", "remove_dir"), ("dir_id", sub))
    assert user.find("0", "Home")["HasSubfolders"] == "False"


NASTY = "a+b=c%d&e<f>g ÿ Жук 日本 😀"


def test_names_round_trip_byte_for_byte(svc):
    user = svc.user()
    folder = user.create_dir("0", NASTY)
    raw = user.op_raw([("action", "list_dir"), ("dir_id", "0")])
    # What the drive sent for the name (minus its %XX escapes) comes back unchanged.
    sent = url_encode(NASTY)
    for escaped, plain in ((b"%25", b"%"), (b"%26", b"&"), (b"%3C", b"\\<"), (b"%3E", b"\\>")):
        sent = sent.replace(escaped, plain)
    assert b"<Name>" + sent + b"</Name>" in raw

    file_name = NASTY + " (file)"
    item = user.create_file(folder, file_name, 5)
    assert item["Name"] == utf16_units(file_name) and item["Size"] == "5"
    renamed = "Ünïcödé + 😀 =%"
    user.op(("new_name", renamed), ("action", "rename_file"), ("file_id", item["ID"]))
    assert user.find(folder, renamed)["ID"] == item["ID"]
    # The same name written in real 4-byte UTF-8 (as a curl user would) is the same name.
    body = b"action=create_dir&dir_id=0&name=" + NASTY.encode().replace(b"%", b"%25") \
        .replace(b"&", b"%26") + b"&user_id=" + user.user_id.encode()
    with pytest.raises(ServiceErrorSeen, match="Name already in use"):
        parse_response(user.post_raw("/api/qm_operations.php", body)[1])


@pytest.mark.parametrize("params, name", [
    ([("action", "create_dir"), ("dir_id", "0"), ("name", "")], "Invalid name"),
    ([("action", "create_dir"), ("dir_id", "0"), ("name", ".")], "Invalid name"),
    ([("action", "create_dir"), ("dir_id", "0"), ("name", "..")], "Invalid name"),
    ([("action", "create_dir"), ("dir_id", "0"), ("name", "a/b")], "Invalid name"),
    ([("action", "create_dir"), ("dir_id", "0"), ("name", "a\\b")], "Invalid name"),
    ([("action", "create_dir"), ("dir_id", "0"), ("name", "a\x01b")], "Invalid name"),
    ([("action", "create_file"), ("dir_id", "0"), ("name", "x" * 256), ("size", "0")],
     "Invalid name"),
    ([("action", "create_file"), ("dir_id", "0"), ("name", "😀" * 128), ("size", "0")],
     "Invalid name"),
    ([("action", "create_dir"), ("dir_id", "0"), ("name", "HOME")], "Name already in use"),
    ([("action", "create_file"), ("dir_id", "0"), ("name", "x"), ("size", "-1")],
     "Invalid parameter"),
    ([("action", "create_file"), ("dir_id", "0"), ("name", "x"), ("size", "1e3")],
     "Invalid parameter"),
    ([("action", "create_file"), ("dir_id", "0"), ("name", "x")], "Missing parameter"),
    ([("action", "create_dir"), ("name", "x")], "Missing parameter"),
    ([("dir_id", "0")], "Missing parameter"),
    ([("action", "format_disk")], "Unknown action"),
    ([("action", "list_dir"), ("dir_id", "dir_1")], "Folder not found"),
    ([("action", "list_dir"), ("dir_id", "-1")], "Folder not found"),
    ([("action", "list_dir"), ("dir_id", "01")], "Folder not found"),
    ([("action", "list_dir"), ("dir_id", "99999999999999999999999")], "Folder not found"),
    ([("action", "remove_file"), ("file_id", "1")], "File not found"),
    ([("action", "update_file_info"), ("file_id", "")], "File not found"),
    ([("new_name", "x"), ("action", "rename_dir"), ("dir_id", "0")], "Cannot rename folder"),
    ([("action", "remove_dir"), ("dir_id", "0")], "Cannot delete folder"),
    ([("action", "set_dir_access"), ("dir_id", "1"), ("access", "x"), ("permission", "0")],
     "Invalid parameter"),
    ([("action", "set_dir_access"), ("dir_id", "1"), ("access", "4294967296"),
      ("permission", "0")], "Invalid parameter"),
])
def test_error_records(svc, params, name):
    user = svc.user()
    assert error_of(user, *params) == name


def test_name_limits_and_renames(svc):
    user = svc.user()
    user.create_file("0", "x" * 255)
    user.create_file("0", "😀" * 127 + "x")                 # 255 UTF-16 units
    item = user.create_file("0", "Report.txt")
    user.create_dir("0", "Other")
    user.op(("new_name", "REPORT.TXT"), ("action", "rename_file"), ("file_id", item["ID"]))
    assert error_of(user, ("new_name", "other"), ("action", "rename_file"),
                    ("file_id", item["ID"])) == "Name already in use"


def test_quota_and_storage_info(svc):
    user = svc.user(capacity=1000)

    def info():
        root = user.op(("action", "get_storage_info"))
        return [int(root.get(k)) for k in ("Capacity", "SpaceUsed", "SpaceFree")]

    user.create_file("0", "a", 600)
    assert info() == [1000, 600, 400]
    assert error_of(user, ("action", "create_file"), ("dir_id", "0"), ("name", "b"),
                    ("size", "401")) == "Quota exceeded"
    user.create_file("0", "b", 400)
    svc.store.set_quota(user.name, 0)
    assert info() == [0, 1000, 0]
    user.create_file("0", "c", 10 ** 15)


def test_removing_a_folder_removes_its_tree(svc):
    user = svc.user()
    top = user.create_dir("0", "top")
    mid = user.create_dir(top, "mid")
    files = [user.create_file(d, f"f{i}", 1)["ID"] for i, d in enumerate((top, mid, mid))]
    paths = [svc.store.content_path(f) for f in files]
    assert all(os.path.exists(p) for p in paths)
    user.op(("action", "remove_dir"), ("dir_id", top))
    assert not any(os.path.exists(p) for p in paths)
    assert error_of(user, ("action", "list_dir"), ("dir_id", mid)) == "Folder not found"
    assert error_of(user, ("action", "update_file_info"), ("file_id", files[2])) \
        == "File not found"
    assert int(user.op(("action", "get_storage_info")).get("SpaceUsed")) == 0
