"""The transfer host: an SFTP server that shows each user only their own files.

A user's view has one folder, /f, holding their file contents named by file
id: the Location "/f/123" that the listing hands out.  The client's path is
only ever matched against that pattern; the file on disk is found from the
id, so no path a client sends can reach anything else.

Files are created by the create_file action, never through SFTP; here they
are read at any offset, written at an offset, appended to (resumed uploads
open with the append flag, and then every write goes to the end, whatever
offset it carries) and rewritten from scratch (truncating open).

The data path touches no database: the quota is looked up once per open and
each read or write is one pread/pwrite.
"""

import os
import posixpath
import re
import socket
import stat as stat_mod
import threading
import time

import paramiko
import paramiko.common
import paramiko.packet
import paramiko.sftp
from paramiko.sftp import (SFTP_FAILURE, SFTP_NO_SUCH_FILE, SFTP_OK,
                           SFTP_OP_UNSUPPORTED, SFTP_PERMISSION_DENIED)


def _quick_asbytes(value, _slow=paramiko.common.asbytes):
    """paramiko turns each outgoing Message into bytes by first trying b(),
    whose TypeError message holds repr() of the whole packet: two reprs of
    every 30 KB data reply, most of a download's server time.  Messages go
    straight to their bytes here; everything else takes the usual path."""
    if type(value) is bytes:
        return value
    if type(value) is paramiko.Message:
        return value.asbytes()
    return _slow(value)


paramiko.packet.asbytes = _quick_asbytes
paramiko.sftp.asbytes = _quick_asbytes

LOCATION = re.compile(r"/f/([0-9]{1,19})\Z")
WINDOW = 8 * 1024 * 1024
MAX_PACKET = 32768


class Connection(paramiko.ServerInterface):
    """One SSH connection: its login and its fault state."""

    def __init__(self, host, transport, peer):
        self.host = host
        self.transport = transport
        self.peer = peer
        self.user_id = None
        self.user_name = None
        self.drop_pending = False
        self.dropped = False
        # Closed at its next SFTP request, unanswered (the sftp_disconnect control).
        self.cut_pending = False

    def get_allowed_auths(self, username):
        return "password"

    def check_auth_password(self, username, password):
        found = self.host.service.store.sftp_user(username, password)
        if found is None:
            self.host.service.log(f"sftp login refused user={username!r} from {self.peer}")
            return paramiko.AUTH_FAILED
        self.user_id, self.user_name = found
        self.host.service.control.record_session(self.user_name)
        return paramiko.AUTH_SUCCESSFUL

    def check_channel_request(self, kind, chanid):
        if kind == "session":
            return paramiko.OPEN_SUCCEEDED
        return paramiko.OPEN_FAILED_ADMINISTRATIVELY_PROHIBITED

    def close(self):
        """Ends the connection at once, as a host that goes away does."""
        self.transport.close()

    def drop(self):
        """Cut the connection as a network failure would: everything already
        answered is on its way, nothing after it is.  Only our sending half
        is shut, so the socket keeps draining what the client still sends and
        closes without a reset once the client gives up."""
        self.dropped = True
        try:
            self.transport.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class SFTPSession(paramiko.SFTPServer):
    def _process(self, t, request_number, msg):
        conn = self.get_server()
        if conn.dropped:
            return
        if conn.cut_pending:
            conn.close()
            return
        super()._process(t, request_number, msg)
        if conn.drop_pending:
            conn.drop_pending = False
            conn.drop()


def _dir_attrs():
    attrs = paramiko.SFTPAttributes()
    attrs.st_mode = stat_mod.S_IFDIR | 0o755
    attrs.st_size = 0
    attrs.st_mtime = attrs.st_atime = int(time.time())
    return attrs


class UserView(paramiko.SFTPServerInterface):
    def __init__(self, conn, *args, **kwargs):
        super().__init__(conn, *args, **kwargs)
        self.conn = conn
        self.host = conn.host
        self.store = conn.host.service.store

    @staticmethod
    def canonicalize(path):
        # Relative paths start at "/"; normpath keeps a leading "//", we do not.
        return "/" + posixpath.normpath("/" + (path or ".")).lstrip("/")

    def _file_id(self, path):
        """The user's file id for a path, or None."""
        match = LOCATION.match(self.canonicalize(path))
        if not match:
            return None
        file_id = int(match.group(1))
        if self.store.transfer_limits(self.conn.user_id, file_id) is None:
            return None
        return file_id

    def stat(self, path):
        norm = self.canonicalize(path)
        if norm in ("/", "/f"):
            return _dir_attrs()
        file_id = self._file_id(norm)
        if file_id is None:
            return SFTP_NO_SUCH_FILE
        try:
            return paramiko.SFTPAttributes.from_stat(os.stat(self.store.content_path(file_id)),
                                                     str(file_id))
        except FileNotFoundError:
            return SFTP_NO_SUCH_FILE

    lstat = stat

    def list_folder(self, path):
        norm = self.canonicalize(path)
        if norm == "/":
            attrs = _dir_attrs()
            attrs.filename = "f"
            return [attrs]
        if norm != "/f":
            return SFTP_NO_SUCH_FILE
        found = []
        for file_id in self.store.file_ids(self.conn.user_id):
            attrs = self.stat(f"/f/{file_id}")
            if isinstance(attrs, paramiko.SFTPAttributes):
                attrs.filename = str(file_id)
                found.append(attrs)
        return found

    def open(self, path, flags, attr):
        norm = self.canonicalize(path)
        match = LOCATION.match(norm)
        if not match:
            return SFTP_PERMISSION_DENIED if flags & os.O_CREAT else SFTP_NO_SUCH_FILE
        file_id = int(match.group(1))
        limits = self.store.transfer_limits(self.conn.user_id, file_id)
        if limits is None:
            return SFTP_NO_SUCH_FILE
        if flags & os.O_EXCL:
            return SFTP_FAILURE
        access = flags & (os.O_RDONLY | os.O_WRONLY | os.O_RDWR)
        writing = access != os.O_RDONLY
        # No O_CREAT: the content exists from create_file on, and creating it
        # here could leave an orphan behind a file removed meanwhile.
        os_flags = access
        if writing:
            os_flags |= flags & (os.O_APPEND | os.O_TRUNC)
        if hasattr(os, "O_BINARY"):
            os_flags |= os.O_BINARY
        try:
            fd = os.open(self.store.content_path(file_id), os_flags)
        except OSError as err:
            return paramiko.SFTPServer.convert_errno(err.errno)
        if not writing:
            direction = "read"
        elif flags & os.O_APPEND:
            direction = "append"
        elif flags & os.O_TRUNC:
            direction = "rewrite"
        else:
            direction = "write"
        drop = self.host.service.control.sftp_drop_rule(
            "read" if direction == "read" else "write", self.conn.user_name, file_id)
        return Transfer(self.conn, file_id, fd, flags, direction, limits[0], drop)

    def _refuse(self, *args, **kwargs):
        return SFTP_PERMISSION_DENIED

    remove = rename = mkdir = rmdir = symlink = _refuse

    def readlink(self, path):
        return SFTP_OP_UNSUPPORTED

    def chattr(self, path, attr):
        # Times and modes are accepted and ignored; sizes only change by writing.
        if attr._flags & attr.FLAG_SIZE:
            return SFTP_PERMISSION_DENIED
        return SFTP_OK if self._file_id(path) is not None else SFTP_NO_SUCH_FILE


class Transfer(paramiko.SFTPHandle):
    """One open file.  Counts the bytes moved, for the log and for the drop switch."""

    def __init__(self, conn, file_id, fd, flags, direction, max_size, drop_rule):
        super().__init__(flags)
        self.conn = conn
        self.file_id = file_id
        self.fd = fd
        self.direction = direction
        self.append = bool(flags & os.O_APPEND)
        self.readable = direction == "read" or (flags & os.O_RDWR) == os.O_RDWR
        self.writable = direction != "read"
        self.max_size = max_size
        self.drop_rule = drop_rule
        self.size = os.fstat(fd).st_size
        self.moved = 0
        self.first_offset = None
        self.did_read = self.did_write = False
        self.refused = None
        self.dropped = False
        self.started = time.monotonic()
        self.closed = False

    def _limit(self, length, withholds=True):
        """How many of length bytes may move now.  Past the drop point of an
        armed rule the transfer is cut there and the connection is dropped
        after this request has been answered."""
        rule = self.drop_rule
        if rule is None:
            return length
        allowed = max(0, min(length, rule.payload["after"] - self.moved))
        if allowed == length or not withholds:
            return length
        if self.conn.host.service.control.fire(rule):
            self.dropped = True
            self.conn.drop_pending = True
            return allowed
        self.drop_rule = None  # another transfer used the rule up meanwhile
        return length

    def _pace(self, length):
        """Holds a request back as the user's throttle says: once the transfer
        has moved the throttle's `after` bytes, a request of length bytes is
        answered length / rate seconds late, and at rate 0 not at all until the
        throttle is lifted.  Requests are never shortened (clients read ahead
        and take a short answer for a protocol error), and reads past the end
        cost nothing.  False when the client went away meanwhile."""
        control = self.conn.host.service.control
        direction = "read" if self.direction == "read" else "write"
        while True:
            throttle = control.throttle(self.conn.user_name, direction)
            if throttle is None or self.moved < throttle[1]:
                return True
            if throttle[0]:
                time.sleep(length / throttle[0])
                return True
            if not self.conn.transport.is_active():
                return False
            time.sleep(0.05)

    def read(self, offset, length):
        if not self.readable:
            return SFTP_PERMISSION_DENIED
        if self.first_offset is None:
            self.first_offset = offset
        if self.drop_rule is not None:
            remaining = self.drop_rule.payload["after"] - self.moved
            length = self._limit(length, withholds=offset + max(0, remaining) < self.size)
        data = os.pread(self.fd, length, offset) if length else b""
        if data and not self._pace(len(data)):
            return SFTP_FAILURE
        self.did_read = True
        self.moved += len(data)
        if self.dropped and not data:
            return SFTP_FAILURE
        return data

    def write(self, offset, data):
        if not self.writable:
            return SFTP_PERMISSION_DENIED
        start = self.size if self.append else offset
        if self.first_offset is None:
            self.first_offset = start
        if self.max_size is not None and start + len(data) > max(self.max_size, self.size):
            self.refused = "quota"
            return SFTP_FAILURE
        if not self._pace(len(data)):
            return SFTP_FAILURE
        allowed = self._limit(len(data))
        chunk = data if allowed == len(data) else data[:allowed]
        try:
            if chunk:
                if self.append:
                    os.write(self.fd, chunk)
                else:
                    os.pwrite(self.fd, chunk, offset)
        except OSError as err:
            return paramiko.SFTPServer.convert_errno(err.errno)
        self.did_write = True
        self.moved += len(chunk)
        self.size = max(self.size, start + len(chunk))
        return SFTP_FAILURE if self.dropped else SFTP_OK

    def stat(self):
        return paramiko.SFTPAttributes.from_stat(os.fstat(self.fd), str(self.file_id))

    def chattr(self, attr):
        if attr._flags & attr.FLAG_SIZE:
            return SFTP_PERMISSION_DENIED
        return SFTP_OK

    def close(self):
        if self.closed:
            return
        self.closed = True
        service = self.conn.host.service
        now = time.time()
        try:
            # Reading marks the content accessed, writing marks it modified;
            # update_file_info copies these dates into the listing.
            if self.did_write:
                os.utime(self.fd, (now, now))
            elif self.did_read:
                os.utime(self.fd, (now, os.fstat(self.fd).st_mtime))
        except OSError:
            pass
        os.close(self.fd)
        seconds = time.monotonic() - self.started
        rate = self.moved / seconds / 1e6 if seconds > 0 else 0.0
        result = "dropped" if self.dropped else (self.refused or "ok")
        service.control.record_transfer({
            "user": self.conn.user_name, "file_id": self.file_id, "path": f"/f/{self.file_id}",
            "mode": self.direction, "first_offset": self.first_offset, "bytes": self.moved,
            "size_after": self.size, "result": result, "seconds": round(seconds, 4)})
        service.log(f"sftp {self.direction} user={self.conn.user_name} file={self.file_id}"
                    f" offset={self.first_offset} bytes={self.moved} result={result}"
                    f" {seconds:.3f}s {rate:.1f}MB/s")


class SFTPHost:
    def __init__(self, service, host, port, host_key):
        self.service = service
        self.host_key = host_key
        self.listener = socket.create_server((host, port))
        self.port = self.listener.getsockname()[1]
        self.connections = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._accept_loop, name="sftp-accept")

    def start(self):
        self.thread.start()

    def _accept_loop(self):
        while not self.stopping.is_set():
            try:
                sock, peer = self.listener.accept()
            except OSError:
                break
            if self.stopping.is_set():
                sock.close()
                break
            self._reap()
            sock.settimeout(None)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                transport = paramiko.Transport(sock, default_window_size=WINDOW,
                                               default_max_packet_size=MAX_PACKET)
                transport.add_server_key(self.host_key)
                conn = Connection(self, transport, f"{peer[0]}:{peer[1]}")
                transport.set_subsystem_handler("sftp", SFTPSession, UserView)
                transport.start_server(event=threading.Event(), server=conn)
            except Exception as err:  # noqa: BLE001 - a bad handshake only loses that client
                self.service.log(f"sftp connection failed: {err}")
                sock.close()
                continue
            self.service.control.record_connection()
            with self.lock:
                self.connections.append(conn)

    def _reap(self):
        with self.lock:
            self.connections = [c for c in self.connections if c.transport.is_alive()]

    def disconnect(self, user=None, at_next_request=False):
        """Ends the open connections (of one user): at once, or each when its client next asks
        for something, so that the client finds out only by using it.  Answers how many."""
        self._reap()
        with self.lock:
            chosen = [c for c in self.connections if user in (None, c.user_name)]
        for conn in chosen:
            if at_next_request:
                conn.cut_pending = True
            else:
                conn.close()
        return len(chosen)

    def stop(self):
        self.stopping.set()
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        except OSError:
            pass
        self.thread.join()
        self.listener.close()
        with self.lock:
            transports = [c.transport for c in self.connections]
            self.connections = []
        for transport in transports:
            transport.close()
        for transport in transports:
            transport.join(5)
