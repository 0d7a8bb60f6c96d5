import os

import pytest

from qmclient import Client, ServiceErrorSeen, encode_body, parse_response


def error_of(client, *params):
    with pytest.raises(ServiceErrorSeen) as info:
        client.op(*params)
    assert info.value.description.endswith("."), "a description is a full sentence"
    return info.value.name


def test_discovery_login_and_sessions(svc):
    # The path, the transfer credentials and get_ftp_params by UserID are the C++ client tests'.
    a, b = svc.user(), svc.user()
    client = Client(svc.url)
    _, data = client.post_raw("/qm_get_path.php", encode_body([("version", "2.0")]))
    with pytest.raises(ServiceErrorSeen):
        parse_response(data)
    assert error_of(client, ("action", "login"), ("user", a.name), ("pass", "wrong")) \
        == "Login failed"
    assert error_of(client, ("action", "login"), ("user", "nobody"), ("pass", "x")) \
        == "Login failed"
    for token in ("", "0123456789abcdef"):
        client.user_id = token
        assert error_of(client, ("action", "get_ftp_params")) == "Session expired"
    assert a.op(("action", "get_user_info")).get("UserName") == a.name

    svc.store.expire_sessions(a.name)
    assert error_of(a, ("action", "list_dir"), ("dir_id", "0")) == "Session expired"
    b.list_dir("0")


def test_subfolder_flags_follow_the_folders_inside(svc):
    user = svc.user()
    home = user.find("0", "Home")["ID"]
    assert error_of(user, ("action", "remove_dir"), ("dir_id", home)) == "Cannot delete folder"
    sub = user.create_dir(home, "Sub")
    created = user.find(home, "Sub")
    assert (created["IsRenameable"], created["IsDeleteable"], created["HasSubfolders"]) \
        == ("True", "True", "False")
    user.create_file(sub, "only a file")
    assert user.find(home, "Sub")["HasSubfolders"] == "False"
    user.op(("action", "remove_dir"), ("dir_id", sub))
    assert user.find("0", "Home")["HasSubfolders"] == "False"


@pytest.mark.parametrize("params, name", [
    ([("action", "create_dir"), ("dir_id", "0"), ("name", ".")], "Invalid name"),
    ([("action", "create_dir"), ("dir_id", "0"), ("name", "..")], "Invalid name"),
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
