"""A small client that talks to the service exactly the way the drive does:
its body encoding, its UTF-8 reader and its tag parser with the backslash
rule.  Tests use it so that "parses" means "parses for the real client".

Text is handled as UTF-16 code units (Python str holding surrogates where
needed), as the drive's wide strings are.
"""

import contextlib
import http.client
import socket
import urllib.parse

import paramiko

ESCAPED = set(b'"#%&/<>?[]\\^`{|}')


def utf16_units(text):
    """str -> str of UTF-16 code units (astral characters become surrogate pairs)."""
    data = text.encode("utf-16-le", "surrogatepass")
    return "".join(chr(int.from_bytes(data[i:i + 2], "little")) for i in range(0, len(data), 2))


def url_encode(text):
    out = bytearray()
    for unit in map(ord, utf16_units(text)):
        if unit < 0x80:
            out += b"%%%02X" % unit if unit in ESCAPED else bytes([unit])
        elif unit < 0x800:
            out += bytes([0xC0 + unit // 64, 0x80 + unit % 64])
        else:
            out += bytes([0xE0 + unit // 4096, 0x80 + (unit // 64) % 64, 0x80 + unit % 64])
    return bytes(out)


def encode_body(params):
    return b"&".join(url_encode(name) + b"=" + url_encode(value) for name, value in params)


def decode_utf8(data):
    """What the drive's reader takes: 1- to 3-byte sequences, surrogate halves encoded one by
    one.  Its handling of anything else (stray bytes, cut or 4-byte sequences) is not something
    the service may lean on, so here it fails."""
    text = data.decode("utf-8", "surrogatepass")
    assert all(ord(c) <= 0xFFFF for c in text), "a 4-byte UTF-8 sequence"
    return text


class ParseError(Exception):
    pass


class ServiceErrorSeen(Exception):
    def __init__(self, name, description):
        super().__init__(f"{name}: {description}")
        self.name = name
        self.description = description


class Node:
    def __init__(self):
        self.name, self.value, self.leaf, self.children = "", "", True, []

    def get(self, name):
        for child in self.children:
            if child.name == name:
                return child.value
        raise KeyError(f"Variable '{name}' not found")

    def records(self, name):
        return [c for c in self.children if c.name == name and not c.leaf]


def find_marker(text, marker, start):
    pos = text.find(marker, start)
    while pos != -1 and pos > start and text[pos - 1] == "\\":
        pos = text.find(marker, pos + 1)
    if pos == -1:
        raise ParseError(f"'{marker}' not found from {start}")
    return pos


def next_tag(text, start):
    open_ = find_marker(text, "<", start)
    close = find_marker(text, ">", open_)
    tag = text[open_ + 1:close]
    return open_, close, tag, tag.startswith("/")


def unescape(text):
    return text.replace("\\<", "<").replace("\\>", ">")


def parse_element(node, text, start):
    _, close, tag, _ = next_tag(text, start)
    node.name = unescape(tag)
    value_start = pos = close + 1
    while True:
        open_, close, _, closing = next_tag(text, pos)
        if not closing:
            node.leaf = False
            child = Node()
            pos = parse_element(child, text, open_)
            node.children.append(child)
            continue
        if node.leaf:
            node.value = unescape(text[value_start:open_])
        return close + 1


def parse_response(data):
    root = Node()
    parse_element(root, decode_utf8(data), 0)
    errors = root.records("Error")
    if errors:
        raise ServiceErrorSeen(errors[0].get("Name"), errors[0].get("Description"))
    return root


DIR_FIELDS = ("HasSubfolders", "IsDeleteable", "IsRenameable", "IsHomeFolder", "IsMP3",
              "IsGallery", "Access", "Permission", "Description", "Name", "ID")
FILE_FIELDS = ("DateModified", "DateAccessed", "Size", "Description", "Location", "Link",
               "Name", "ID")


class Client:
    """One account's view of the service, requests made as the drive makes them."""

    def __init__(self, base_url):
        parts = urllib.parse.urlsplit(base_url)
        self.host, self.port = parts.hostname, parts.port
        self.path = None
        self.user_id = ""
        self.sftp = None

    def post_raw(self, path, body):
        conn = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            conn.request("POST", path, body, {
                "Content-Type": "application/x-www-form-urlencoded"})
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def discover(self):
        _, data = self.post_raw("/qm_get_path.php", encode_body([("version", "1.0")]))
        self.path = parse_response(data).get("Path")
        return self.path

    def op_raw(self, params):
        if self.path is None:
            self.discover()
        body = encode_body(list(params) + [("user_id", self.user_id)])
        return self.post_raw(self.path + "/qm_operations.php", body)[1]

    def op(self, *params):
        """op(("action", "list_dir"), ("dir_id", "0")) -> root node."""
        return parse_response(self.op_raw(params))

    def login(self, user, password):
        root = self.op(("action", "login"), ("user", user), ("pass", password))
        self.user_id = root.get("UserID")
        self.sftp = {k: root.get(k) for k in ("SFTP_Host", "SFTP_User", "SFTP_Pass")}
        return root

    def list_dir(self, dir_id="0"):
        root = self.op(("action", "list_dir"), ("dir_id", str(dir_id)))
        dirs = [{f: r.get(f) for f in DIR_FIELDS} for r in root.records("Directory")]
        files = [{f: r.get(f) for f in FILE_FIELDS} for r in root.records("File")]
        return dirs, files

    def find(self, dir_id, name):
        dirs, files = self.list_dir(dir_id)
        for item in dirs + files:
            if item["Name"] == utf16_units(name):
                return item
        raise KeyError(name)

    def create_dir(self, dir_id, name):
        self.op(("action", "create_dir"), ("dir_id", str(dir_id)), ("name", name))
        return self.find(dir_id, name)["ID"]

    def create_file(self, dir_id, name, size=0):
        self.op(("action", "create_file"), ("dir_id", str(dir_id)), ("name", name),
                ("size", str(size)))
        return self.find(dir_id, name)

    def thumbnail(self, file_id):
        if self.path is None:
            self.discover()
        body = encode_body([("user_id", self.user_id), ("file_id", str(file_id))])
        return self.post_raw(self.path + "/qm_thumbnail.php", body)

    @contextlib.contextmanager
    def transfer(self):
        """An SFTP session on the transfer host named at login."""
        host = urllib.parse.urlsplit(self.sftp["SFTP_Host"])
        assert host.scheme == "sftp"
        sock = socket.create_connection((host.hostname, host.port), timeout=30)
        # Without this every 32 KiB write waits out a delayed ACK.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        transport = paramiko.Transport(sock)
        try:
            transport.connect(username=self.sftp["SFTP_User"], password=self.sftp["SFTP_Pass"])
            sftp = paramiko.SFTPClient.from_transport(transport)
            try:
                yield sftp
            finally:
                sftp.close()
        finally:
            transport.close()
