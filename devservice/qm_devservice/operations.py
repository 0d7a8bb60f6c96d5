"""The actions of the operations endpoint: parameters in, document out."""

import re

from .store import parse_id
from .wire import ServiceError, bytes_to_text, document, error_document

UNSIGNED_64 = 2 ** 64 - 1
INT32 = re.compile(r"-?[0-9]{1,10}\Z")


def text_param(params, name, required=True):
    raw = params.get(name)
    if raw is None:
        if not required:
            return None
        raise ServiceError("Missing parameter", f"The request has no '{name}' parameter.")
    try:
        return bytes_to_text(raw)
    except UnicodeError:
        raise ServiceError("Invalid parameter",
                           f"The parameter '{name}' is not valid UTF-8 text.") from None


def dir_param(params, name="dir_id"):
    return parse_id(text_param(params, name), "dir")


def file_param(params, name="file_id"):
    return parse_id(text_param(params, name), "file")


def size_param(params, name="size"):
    text = text_param(params, name)
    if not (text.isascii() and text.isdigit()) or int(text) > UNSIGNED_64:
        raise ServiceError("Invalid parameter",
                           f"The parameter '{name}' must be a decimal number of bytes.")
    size = int(text)
    if size >= 2 ** 63:
        raise ServiceError("Invalid parameter", f"A size of {size} bytes cannot be stored.")
    return size


def int32_param(params, name):
    text = text_param(params, name)
    if not INT32.match(text) or not -2 ** 31 <= int(text) < 2 ** 31:
        raise ServiceError("Invalid parameter",
                           f"The parameter '{name}' must be a 32-bit decimal number.")
    return int(text)


OK = [("Result", "OK")]


class Operations:
    """Runs one action for one request.

    links_base is the http URL prefix of public links; sftp_host the
    transfer host URL handed out with the credentials.  Both are set by the
    service once its sockets are bound.
    """

    def __init__(self, store, links_base="", sftp_host=""):
        self.store = store
        self.links_base = links_base
        self.sftp_host = sftp_host
        # (user, password) that every account gets when another host carries the transfers.
        self.sftp_login = None
        self.table = {
            "login": (self.login, False),
            "get_ftp_params": (self.get_ftp_params, False),
            "get_user_info": (self.get_user_info, True),
            "get_storage_info": (self.get_storage_info, True),
            "list_dir": (self.list_dir, True),
            "create_dir": (self.create_dir, True),
            "create_file": (self.create_file, True),
            "rename_dir": (self.rename_dir, True),
            "rename_file": (self.rename_file, True),
            "remove_dir": (self.remove_dir, True),
            "remove_file": (self.remove_file, True),
            "set_dir_access": (self.set_dir_access, True),
            "set_dir_description": (self.set_dir_description, True),
            "update_file_info": (self.update_file_info, True),
        }

    def user_name_of(self, params):
        """Best-effort user name for logs and fault matching; never raises."""
        try:
            action = params.get("action")
            if action == b"login":
                return text_param(params, "user")
            token = params.get("user_id")
            if token:
                return self.store.session_user(bytes_to_text(token))["name"]
        except (ServiceError, UnicodeError):
            pass
        return None

    def run(self, params):
        """-> (document bytes, error name or None)."""
        try:
            action = text_param(params, "action")
            entry = self.table.get(action)
            if entry is None:
                raise ServiceError("Unknown action",
                                   f"The action '{action}' is not supported by the service.")
            handler, needs_session = entry
            if needs_session:
                user = self.store.session_user(text_param(params, "user_id"))
                return handler(params, user), None
            return handler(params), None
        except ServiceError as err:
            return error_document(err.name, err.description), err.name

    # -- account ---------------------------------------------------------

    def credentials(self, user):
        login = self.sftp_login or (user["sftp_user"], user["sftp_pass"])
        return [("SFTP_Host", self.sftp_host), ("SFTP_User", login[0]), ("SFTP_Pass", login[1])]

    def login(self, params):
        name = text_param(params, "user")
        password = text_param(params, "pass")
        token, user = self.store.login(name, password)
        return document([("UserID", token)] + self.credentials(user))

    def get_ftp_params(self, params):
        user = self.store.session_user(text_param(params, "user_id"))
        return document(self.credentials(user))

    def get_user_info(self, params, user):
        return document([("UserName", user["name"]), ("UserLevel", user["level"])])

    def get_storage_info(self, params, user):
        capacity, used, free = self.store.storage_info(user["id"])
        return document([("Capacity", capacity), ("SpaceUsed", used), ("SpaceFree", free)])

    # -- tree ------------------------------------------------------------

    def list_dir(self, params, user):
        dirs, files = self.store.list_dir(user["id"], dir_param(params))
        records = []
        for d in dirs:
            records.append(("Directory", [
                ("HasSubfolders", bool(d["has_subfolders"])),
                ("IsDeleteable", bool(d["deleteable"])),
                ("IsRenameable", bool(d["renameable"])),
                ("IsHomeFolder", bool(d["is_home"])),
                ("IsMP3", bool(d["is_mp3"])),
                ("IsGallery", bool(d["is_gallery"])),
                ("Access", d["access"]),
                ("Permission", d["permission"]),
                ("Description", d["description"]),
                ("Name", d["name"]),
                ("ID", d["id"]),
            ]))
        for f in files:
            records.append(("File", [
                ("DateModified", f["date_modified"]),
                ("DateAccessed", f["date_accessed"]),
                ("Size", f["size"]),
                ("Description", f["description"]),
                ("Location", f"/f/{f['id']}"),
                ("Link", f"{self.links_base}/link/{f['link_token']}"),
                ("Name", f["name"]),
                ("ID", f["id"]),
            ]))
        return document(records=records)

    def create_dir(self, params, user):
        parent = dir_param(params)
        new_id = self.store.create_dir(user["id"], parent, text_param(params, "name"))
        return document(OK + [("ID", new_id)])

    def create_file(self, params, user):
        parent = dir_param(params)
        name = text_param(params, "name")
        new_id = self.store.create_file(user["id"], parent, name, size_param(params))
        return document(OK + [("ID", new_id), ("Location", f"/f/{new_id}")])

    def rename_dir(self, params, user):
        self.store.rename_dir(user["id"], dir_param(params), text_param(params, "new_name"))
        return document(OK)

    def rename_file(self, params, user):
        self.store.rename_file(user["id"], file_param(params), text_param(params, "new_name"))
        return document(OK)

    def remove_dir(self, params, user):
        self.store.remove_dir(user["id"], dir_param(params))
        return document(OK)

    def remove_file(self, params, user):
        self.store.remove_file(user["id"], file_param(params))
        return document(OK)

    def set_dir_access(self, params, user):
        dir_id = dir_param(params)
        access = int32_param(params, "access")
        permission = int32_param(params, "permission")
        self.store.set_dir_access(user["id"], dir_id, access, permission)
        return document(OK)

    def set_dir_description(self, params, user):
        dir_id = dir_param(params)
        self.store.set_dir_description(user["id"], dir_id, text_param(params, "description"))
        return document(OK)

    def update_file_info(self, params, user):
        self.store.update_file_info(user["id"], file_param(params))
        return document(OK)

