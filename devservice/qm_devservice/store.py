"""Accounts, sessions and the folder tree, kept in SQLite.

File contents live beside the database as files/<id>; the database only
knows their names and places, so renaming never moves bytes.  Directory and
file ids come from one counter and are never reused, so an id names at most
one item for the lifetime of a data folder.

Every method takes the store lock: the HTTP and SFTP threads share one
connection, and each request is a handful of small statements.
"""

import hashlib
import hmac
import os
import secrets
import sqlite3
import threading
import time
import unicodedata

from .wire import ServiceError, utf16_length

ROOT = 0
MAX_NAME_UTF16 = 255
MAX_DESCRIPTION = 10000
MAX_ID = 2 ** 63 - 1

SCHEMA = """
CREATE TABLE IF NOT EXISTS users (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    salt BLOB NOT NULL,
    pass_hash BLOB NOT NULL,
    level TEXT NOT NULL,
    capacity INTEGER NOT NULL,
    sftp_user TEXT UNIQUE,
    sftp_pass TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS sessions (
    token TEXT PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    created INTEGER NOT NULL,
    last_used INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS ids (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    kind TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS dirs (
    id INTEGER PRIMARY KEY,
    owner INTEGER NOT NULL REFERENCES users(id),
    parent INTEGER NOT NULL,
    name TEXT NOT NULL,
    name_key TEXT NOT NULL,
    description TEXT NOT NULL DEFAULT '',
    access INTEGER NOT NULL DEFAULT 0,
    permission INTEGER NOT NULL DEFAULT 0,
    is_home INTEGER NOT NULL DEFAULT 0,
    is_mp3 INTEGER NOT NULL DEFAULT 0,
    is_gallery INTEGER NOT NULL DEFAULT 0,
    renameable INTEGER NOT NULL DEFAULT 1,
    deleteable INTEGER NOT NULL DEFAULT 1
);
CREATE INDEX IF NOT EXISTS dirs_parent ON dirs(owner, parent);
CREATE TABLE IF NOT EXISTS files (
    id INTEGER PRIMARY KEY,
    owner INTEGER NOT NULL REFERENCES users(id),
    dir INTEGER NOT NULL,
    name TEXT NOT NULL,
    name_key TEXT NOT NULL,
    size INTEGER NOT NULL DEFAULT 0,
    date_modified INTEGER NOT NULL DEFAULT 0,
    date_accessed INTEGER NOT NULL DEFAULT 0,
    description TEXT NOT NULL DEFAULT '',
    link_token TEXT NOT NULL UNIQUE
);
CREATE INDEX IF NOT EXISTS files_dir ON files(owner, dir);
"""

# What a fresh account starts with: (name, home, music, gallery).
STANDARD_FOLDERS = (
    ("Home", True, False, False),
    ("Music", False, True, False),
    ("Photos", False, False, True),
)

PBKDF2_ROUNDS = 20000


def name_key(name):
    """Names are unique per folder regardless of case, as Explorer expects."""
    return unicodedata.normalize("NFC", name).casefold()


def check_name(name):
    if name == "":
        raise ServiceError("Invalid name", "A name cannot be empty.")
    if name in (".", ".."):
        raise ServiceError("Invalid name", f"The name '{name}' is reserved.")
    if "/" in name or "\\" in name:
        raise ServiceError("Invalid name", "A name cannot contain '/' or '\\'.")
    if any(ord(ch) < 0x20 or ord(ch) == 0x7F for ch in name):
        raise ServiceError("Invalid name", "A name cannot contain control characters.")
    if utf16_length(name) > MAX_NAME_UTF16:
        raise ServiceError("Invalid name",
                           f"A name cannot be longer than {MAX_NAME_UTF16} characters.")


def parse_id(text, kind):
    """Ids are plain decimal numbers written the way the service writes them."""
    if not text.isascii() or not text.isdigit() or str(int(text)) != text or int(text) > MAX_ID:
        raise not_found(kind)
    return int(text)


def not_found(kind):
    if kind == "dir":
        return ServiceError("Folder not found",
                            "The folder does not exist or has been deleted.")
    return ServiceError("File not found", "The file does not exist or has been deleted.")


def hash_password(password, salt):
    return hashlib.pbkdf2_hmac("sha256", password.encode("utf-8"), salt, PBKDF2_ROUNDS)


class Store:
    def __init__(self, data_dir, session_ttl=24 * 3600):
        self.data_dir = os.path.abspath(data_dir)
        self.files_dir = os.path.join(self.data_dir, "files")
        os.makedirs(self.files_dir, exist_ok=True)
        self.session_ttl = session_ttl
        self.lock = threading.RLock()
        self.db = sqlite3.connect(os.path.join(self.data_dir, "service.db"),
                                  check_same_thread=False, isolation_level=None)
        self.db.row_factory = sqlite3.Row
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.db.execute("PRAGMA foreign_keys=ON")
        self.db.executescript(SCHEMA)

    def close(self):
        with self.lock:
            self.db.close()

    # -- helpers ---------------------------------------------------------

    def content_path(self, file_id):
        return os.path.join(self.files_dir, str(int(file_id)))

    def _tx(self):
        return _Transaction(self.db)

    def _new_id(self, kind):
        return self.db.execute("INSERT INTO ids(kind) VALUES (?)", (kind,)).lastrowid

    def _dir(self, user_id, dir_id):
        row = self.db.execute("SELECT * FROM dirs WHERE id=? AND owner=?",
                              (dir_id, user_id)).fetchone()
        if row is None:
            raise not_found("dir")
        return row

    def _file(self, user_id, file_id):
        row = self.db.execute("SELECT * FROM files WHERE id=? AND owner=?",
                              (file_id, user_id)).fetchone()
        if row is None:
            raise not_found("file")
        return row

    def _check_parent(self, user_id, dir_id):
        if dir_id != ROOT:
            self._dir(user_id, dir_id)

    def _check_free(self, user_id, parent, name, exclude_dir=None, exclude_file=None):
        key = name_key(name)
        hit = self.db.execute(
            "SELECT 1 FROM dirs WHERE owner=? AND parent=? AND name_key=? AND id IS NOT ?"
            " UNION ALL "
            "SELECT 1 FROM files WHERE owner=? AND dir=? AND name_key=? AND id IS NOT ?",
            (user_id, parent, key, exclude_dir, user_id, parent, key, exclude_file)).fetchone()
        if hit:
            raise ServiceError("Name already in use",
                               f"An item named '{name}' already exists in this folder.")
        return key

    def _used(self, user_id):
        return self.db.execute("SELECT COALESCE(SUM(size), 0) FROM files WHERE owner=?",
                               (user_id,)).fetchone()[0]

    # -- accounts --------------------------------------------------------

    def add_user(self, name, password, capacity=0, level="Standard"):
        if not name or any(ord(ch) < 0x20 for ch in name) or len(name) > 63:
            raise ServiceError("Invalid user name",
                               "A user name must have 1 to 63 printable characters.")
        if not password:
            raise ServiceError("Invalid password", "A password cannot be empty.")
        if capacity < 0:
            raise ServiceError("Invalid capacity", "A capacity cannot be negative.")
        salt = secrets.token_bytes(16)
        with self.lock, self._tx():
            if self.db.execute("SELECT 1 FROM users WHERE name=?", (name,)).fetchone():
                raise ServiceError("User exists", f"A user named '{name}' already exists.")
            uid = self.db.execute(
                "INSERT INTO users(name, salt, pass_hash, level, capacity, sftp_pass)"
                " VALUES (?,?,?,?,?,?)",
                (name, salt, hash_password(password, salt), level, capacity,
                 secrets.token_hex(16))).lastrowid
            self.db.execute("UPDATE users SET sftp_user=? WHERE id=?", (f"qm{uid}", uid))
            for folder, home, music, gallery in STANDARD_FOLDERS:
                did = self._new_id("dir")
                self.db.execute(
                    "INSERT INTO dirs(id, owner, parent, name, name_key, is_home, is_mp3,"
                    " is_gallery, renameable, deleteable) VALUES (?,?,?,?,?,?,?,?,0,0)",
                    (did, uid, ROOT, folder, name_key(folder), home, music, gallery))
        return uid

    def user(self, name):
        with self.lock:
            row = self.db.execute("SELECT * FROM users WHERE name=?", (name,)).fetchone()
        if row is None:
            raise ServiceError("Unknown user", f"There is no user named '{name}'.")
        return row

    def set_password(self, name, password):
        uid = self.user(name)["id"]
        salt = secrets.token_bytes(16)
        with self.lock:
            self.db.execute("UPDATE users SET salt=?, pass_hash=? WHERE id=?",
                            (salt, hash_password(password, salt), uid))

    def set_quota(self, name, capacity):
        if capacity < 0:
            raise ServiceError("Invalid capacity", "A capacity cannot be negative.")
        uid = self.user(name)["id"]
        with self.lock:
            self.db.execute("UPDATE users SET capacity=? WHERE id=?", (capacity, uid))

    def set_level(self, name, level):
        uid = self.user(name)["id"]
        with self.lock:
            self.db.execute("UPDATE users SET level=? WHERE id=?", (level, uid))

    # -- sessions --------------------------------------------------------

    def login(self, name, password):
        with self.lock:
            row = self.db.execute("SELECT * FROM users WHERE name=?", (name,)).fetchone()
        # Hash even for unknown users so the answer takes the same time.
        salt = row["salt"] if row else b"\0" * 16
        digest = hash_password(password, salt)
        if row is None or not hmac.compare_digest(digest, row["pass_hash"]):
            raise ServiceError("Login failed", "The user name or password is incorrect.")
        token = secrets.token_hex(16)
        now = int(time.time())
        with self.lock:
            self.db.execute("INSERT INTO sessions VALUES (?,?,?,?)",
                            (token, row["id"], now, now))
        return token, row

    def session_user(self, token):
        """The user behind a UserID; sessions expire after session_ttl idle seconds."""
        now = int(time.time())
        with self.lock:
            row = self.db.execute(
                "SELECT u.*, s.last_used FROM sessions s JOIN users u ON u.id = s.user_id"
                " WHERE s.token=?", (token,)).fetchone() if token else None
            if row is not None and self.session_ttl and now - row["last_used"] > self.session_ttl:
                self.db.execute("DELETE FROM sessions WHERE token=?", (token,))
                row = None
            if row is None:
                raise ServiceError("Session expired",
                                   "Your session is not valid or has expired. Please log in again.")
            if now - row["last_used"] >= 60:
                self.db.execute("UPDATE sessions SET last_used=? WHERE token=?", (now, token))
        return row

    def expire_sessions(self, name):
        uid = self.user(name)["id"]
        with self.lock:
            return self.db.execute("DELETE FROM sessions WHERE user_id=?", (uid,)).rowcount

    # -- transfer host ---------------------------------------------------

    def sftp_user(self, sftp_user, sftp_pass):
        with self.lock:
            row = self.db.execute("SELECT id, name, sftp_pass FROM users WHERE sftp_user=?",
                                  (sftp_user,)).fetchone()
        if row is None or not hmac.compare_digest(row["sftp_pass"].encode(),
                                                  sftp_pass.encode("utf-8", "replace")):
            return None
        return row["id"], row["name"]

    def transfer_limits(self, user_id, file_id):
        """None when the user has no such file; else (largest allowed size or None)."""
        with self.lock:
            row = self.db.execute(
                "SELECT f.size, u.capacity FROM files f JOIN users u ON u.id = f.owner"
                " WHERE f.id=? AND f.owner=?", (file_id, user_id)).fetchone()
            if row is None:
                return None
            if not row["capacity"]:
                return (None,)
            others = self._used(user_id) - row["size"]
        return (max(0, row["capacity"] - others),)

    def file_ids(self, user_id):
        with self.lock:
            return [r[0] for r in self.db.execute(
                "SELECT id FROM files WHERE owner=? ORDER BY id", (user_id,))]

    # -- tree ------------------------------------------------------------

    def list_dir(self, user_id, dir_id):
        with self.lock:
            self._check_parent(user_id, dir_id)
            dirs = self.db.execute(
                "SELECT d.*, EXISTS(SELECT 1 FROM dirs c WHERE c.owner=d.owner AND c.parent=d.id)"
                " AS has_subfolders FROM dirs d WHERE d.owner=? AND d.parent=?"
                " ORDER BY d.name_key, d.id", (user_id, dir_id)).fetchall()
            files = self.db.execute(
                "SELECT * FROM files WHERE owner=? AND dir=? ORDER BY name_key, id",
                (user_id, dir_id)).fetchall()
        return dirs, files

    def create_dir(self, user_id, parent, name, description="", access=0, checked=True):
        if checked:
            check_name(name)
        with self.lock, self._tx():
            self._check_parent(user_id, parent)
            key = self._check_free(user_id, parent, name)
            did = self._new_id("dir")
            self.db.execute(
                "INSERT INTO dirs(id, owner, parent, name, name_key, description, access)"
                " VALUES (?,?,?,?,?,?,?)", (did, user_id, parent, name, key, description, access))
        return did

    def create_file(self, user_id, parent, name, size, checked=True):
        if checked:
            check_name(name)
        now = int(time.time())
        with self.lock, self._tx():
            self._check_parent(user_id, parent)
            key = self._check_free(user_id, parent, name)
            capacity = self.db.execute("SELECT capacity FROM users WHERE id=?",
                                       (user_id,)).fetchone()[0]
            if capacity:
                free = max(0, capacity - self._used(user_id))
                if size > free:
                    raise ServiceError(
                        "Quota exceeded",
                        f"There is not enough free space for a file of {size} bytes"
                        f" ({free} bytes free).")
            fid = self._new_id("file")
            self.db.execute(
                "INSERT INTO files(id, owner, dir, name, name_key, size, date_modified,"
                " date_accessed, link_token) VALUES (?,?,?,?,?,?,?,?,?)",
                (fid, user_id, parent, name, key, size, now, now, secrets.token_urlsafe(18)))
            # The empty content exists from the start so that a resumed upload
            # can open it for append.
            open(self.content_path(fid), "wb").close()
        return fid

    POPULATE_EXTENSIONS = (".txt", ".jpg", ".pdf", ".doc", ".zip", ".mp3", "")

    def populate(self, user_id, parent, count, prefix="item", folders_every=10, content=None):
        """Makes count children of a folder in one transaction, for listing benchmarks: every
        folders_every-th one a folder, the others empty files of a few extensions, named
        prefix + a 6-digit number. Answers (folders, files) made."""
        now = int(time.time())
        made = [0, 0]
        with self.lock:
            # Without these each name check scans the whole folder: quadratic at 100 000.
            self.db.execute("CREATE INDEX IF NOT EXISTS dirs_name ON dirs(owner, parent, name_key)")
            self.db.execute("CREATE INDEX IF NOT EXISTS files_name ON files(owner, dir, name_key)")
        with self.lock, self._tx():
            self._check_parent(user_id, parent)
            for i in range(count):
                if folders_every and i % folders_every == 0:
                    name = f"{prefix}{i:06d}"
                    key = self._check_free(user_id, parent, name)
                    did = self._new_id("dir")
                    self.db.execute(
                        "INSERT INTO dirs(id, owner, parent, name, name_key, description, access)"
                        " VALUES (?,?,?,?,?,?,?)", (did, user_id, parent, name, key, "", 0))
                    made[0] += 1
                else:
                    ext = self.POPULATE_EXTENSIONS[i % len(self.POPULATE_EXTENSIONS)]
                    if content is not None:
                        ext = ".png"
                    name = f"{prefix}{i:06d}{ext}"
                    key = self._check_free(user_id, parent, name)
                    fid = self._new_id("file")
                    self.db.execute(
                        "INSERT INTO files(id, owner, dir, name, name_key, size, date_modified,"
                        " date_accessed, link_token) VALUES (?,?,?,?,?,?,?,?,?)",
                        (fid, user_id, parent, name, key, i if content is None else len(content), now,
                         now, secrets.token_urlsafe(18)))
                    with open(self.content_path(fid), "wb") as f:
                        f.write(content or b"")
                    made[1] += 1
        return tuple(made)

    def rename_dir(self, user_id, dir_id, new_name):
        check_name(new_name)
        if dir_id == ROOT:
            raise ServiceError("Cannot rename folder", "The root folder cannot be renamed.")
        with self.lock, self._tx():
            row = self._dir(user_id, dir_id)
            if not row["renameable"]:
                raise ServiceError("Cannot rename folder",
                                   f"The folder '{row['name']}' cannot be renamed.")
            key = self._check_free(user_id, row["parent"], new_name, exclude_dir=dir_id)
            self.db.execute("UPDATE dirs SET name=?, name_key=? WHERE id=?",
                            (new_name, key, dir_id))

    def rename_file(self, user_id, file_id, new_name):
        check_name(new_name)
        with self.lock, self._tx():
            row = self._file(user_id, file_id)
            key = self._check_free(user_id, row["dir"], new_name, exclude_file=file_id)
            self.db.execute("UPDATE files SET name=?, name_key=? WHERE id=?",
                            (new_name, key, file_id))

    def remove_dir(self, user_id, dir_id):
        if dir_id == ROOT:
            raise ServiceError("Cannot delete folder", "The root folder cannot be deleted.")
        with self.lock, self._tx():
            row = self._dir(user_id, dir_id)
            if not row["deleteable"]:
                raise ServiceError("Cannot delete folder",
                                   f"The folder '{row['name']}' cannot be deleted.")
            doomed, frontier = [dir_id], [dir_id]
            while frontier:
                marks = ",".join("?" * len(frontier))
                frontier = [r[0] for r in self.db.execute(
                    f"SELECT id FROM dirs WHERE owner=? AND parent IN ({marks})",
                    (user_id, *frontier))]
                doomed.extend(frontier)
            file_ids = []
            for start in range(0, len(doomed), 500):
                chunk = doomed[start:start + 500]
                marks = ",".join("?" * len(chunk))
                file_ids.extend(r[0] for r in self.db.execute(
                    f"SELECT id FROM files WHERE owner=? AND dir IN ({marks})",
                    (user_id, *chunk)))
                self.db.execute(f"DELETE FROM files WHERE owner=? AND dir IN ({marks})",
                                (user_id, *chunk))
                self.db.execute(f"DELETE FROM dirs WHERE owner=? AND id IN ({marks})",
                                (user_id, *chunk))
        self._unlink(file_ids)

    def remove_file(self, user_id, file_id):
        with self.lock, self._tx():
            self._file(user_id, file_id)
            self.db.execute("DELETE FROM files WHERE id=?", (file_id,))
        self._unlink([file_id])

    def _unlink(self, file_ids):
        for fid in file_ids:
            try:
                os.unlink(self.content_path(fid))
            except FileNotFoundError:
                pass

    def set_dir_access(self, user_id, dir_id, access, permission):
        if dir_id == ROOT:
            raise ServiceError("Cannot change folder", "The root folder cannot be changed.")
        with self.lock:
            self._dir(user_id, dir_id)
            self.db.execute("UPDATE dirs SET access=?, permission=? WHERE id=?",
                            (access, permission, dir_id))

    def set_dir_description(self, user_id, dir_id, description):
        if dir_id == ROOT:
            raise ServiceError("Cannot change folder", "The root folder cannot be changed.")
        if len(description) > MAX_DESCRIPTION or "\0" in description:
            raise ServiceError("Invalid description",
                               f"A description must have at most {MAX_DESCRIPTION} characters"
                               " and no null characters.")
        with self.lock:
            self._dir(user_id, dir_id)
            self.db.execute("UPDATE dirs SET description=? WHERE id=?", (description, dir_id))

    def set_file_description(self, user_id, file_id, description):
        with self.lock:
            self._file(user_id, file_id)
            self.db.execute("UPDATE files SET description=? WHERE id=?", (description, file_id))

    def update_file_info(self, user_id, file_id):
        """Size and dates come from the content on disk, which the transfer host touched."""
        with self.lock:
            self._file(user_id, file_id)
            try:
                st = os.stat(self.content_path(file_id))
                size, mtime, atime = st.st_size, int(st.st_mtime), int(st.st_atime)
            except FileNotFoundError:
                open(self.content_path(file_id), "wb").close()
                size, mtime, atime = 0, int(time.time()), int(time.time())
            self.db.execute(
                "UPDATE files SET size=?, date_modified=?, date_accessed=? WHERE id=?",
                (size, mtime, atime, file_id))

    def set_file_dates(self, user_id, file_id, modified):
        with self.lock, self._tx():
            self._file(user_id, file_id)
            self.db.execute("UPDATE files SET date_modified=? WHERE id=?", (modified, file_id))

    def file(self, user_id, file_id):
        with self.lock:
            return self._file(user_id, file_id)

    def storage_info(self, user_id):
        with self.lock:
            capacity = self.db.execute("SELECT capacity FROM users WHERE id=?",
                                       (user_id,)).fetchone()[0]
            used = self._used(user_id)
        free = max(0, capacity - used) if capacity else 0
        return capacity, used, free

    def link_target(self, token):
        """(content path, name, access of its folder) or None."""
        with self.lock:
            row = self.db.execute(
                "SELECT f.id, f.name, COALESCE(d.access, 0) AS access FROM files f"
                " LEFT JOIN dirs d ON d.id = f.dir AND d.owner = f.owner"
                " WHERE f.link_token=?", (token,)).fetchone()
        if row is None:
            return None
        return self.content_path(row["id"]), row["name"], row["access"]


class _Transaction:
    """BEGIN IMMEDIATE / COMMIT, rolled back on any exception."""

    def __init__(self, db):
        self.db = db

    def __enter__(self):
        self.db.execute("BEGIN IMMEDIATE")
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.db.execute("COMMIT")
        else:
            self.db.execute("ROLLBACK")
        return False
