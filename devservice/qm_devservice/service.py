"""The whole dev service: store, HTTP endpoints and transfer host, started
and stopped together (by the command line or by a test fixture)."""

import logging
import os
import sys
import threading
import time

import paramiko

from .control import Control
from .httpd import ServiceHTTPServer
from .operations import Operations
from .sftpd import SFTPHost
from .store import Store
from .wire import bytes_to_text

HOST_KEY_FILE = "host_rsa.key"


def load_host_key(data_dir, regenerate=False):
    """The transfer host's key, made once per data folder so that clients
    that remember it are not alarmed by every restart."""
    path = os.path.join(data_dir, HOST_KEY_FILE)
    if os.path.exists(path) and not regenerate:
        return paramiko.RSAKey(filename=path)
    key = paramiko.RSAKey.generate(2048)
    key.write_private_key_file(path)
    return key


class _LogForwarder(logging.Handler):
    """paramiko reports handshake and socket trouble through logging; put it
    in the service's log, where a failing client's developer will look."""

    def __init__(self, service):
        super().__init__(logging.WARNING)
        self.service = service

    def emit(self, record):
        self.service.log(f"sftp {record.levelname.lower()}: {record.getMessage()}")


class DevService:
    def __init__(self, data_dir, host="127.0.0.1", http_port=8460, sftp_port=8461,
                 test_mode=False, session_ttl=24 * 3600, log_stream=None, host_key=None,
                 api_path="/api", transfer_host=None):
        self.data_dir = os.path.abspath(data_dir)
        self.host = host
        self.requested_ports = (http_port, sftp_port)
        self.test_mode = test_mode
        self.api_path = api_path
        self.log_stream = sys.stderr if log_stream is None else log_stream
        self._log_lock = threading.Lock()
        self.stop_event = threading.Event()
        os.makedirs(self.data_dir, exist_ok=True)
        self.store = Store(self.data_dir, session_ttl=session_ttl)
        self.control = Control()
        self.operations = Operations(self.store)
        self.host_key = host_key
        # (URL, user, password) of another transfer host that login names instead of ours.
        self.transfer_host = transfer_host
        self.http = self.sftp = None
        self._http_thread = None

    # -- life cycle --------------------------------------------------------

    def start(self):
        if self.host_key is None:
            self.host_key = load_host_key(self.data_dir)
        try:
            self.http = ServiceHTTPServer((self.host, self.requested_ports[0]), self)
            self.sftp = SFTPHost(self, self.host, self.requested_ports[1], self.host_key)
        except OSError:
            if self.http is not None:
                self.http.server_close()
            self.store.close()
            raise
        public_host = "127.0.0.1" if self.host in ("", "0.0.0.0") else self.host
        self.operations.links_base = f"http://{public_host}:{self.http_port}"
        self.operations.sftp_host = f"sftp://{public_host}:{self.sftp_port}"
        if self.transfer_host:
            self.operations.sftp_host, self.operations.sftp_login = \
                self.transfer_host[0], tuple(self.transfer_host[1:])
        self._http_thread = threading.Thread(target=self.http.serve_forever,
                                             kwargs={"poll_interval": 0.05}, name="http-accept")
        self._http_thread.start()
        self._log_forwarder = _LogForwarder(self)
        logging.getLogger("paramiko").addHandler(self._log_forwarder)
        self.sftp.start()
        return self

    def stop(self):
        self.stop_event.set()
        if self.http is not None:
            self.http.shutdown()
            self._http_thread.join()
            self.http.drop_connections()
            self.http.server_close()
        if self.sftp is not None:
            self.sftp.stop()
            logging.getLogger("paramiko").removeHandler(self._log_forwarder)
        self.store.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def regenerate_host_key(self):
        """A new key for the transfer host, kept for restarts too, as when a
        host is reinstalled (or impersonated): the open connections end, and
        those made from now on show it."""
        self.host_key = self.sftp.host_key = load_host_key(self.data_dir, regenerate=True)
        # Its connections end with it: whoever was talking to the old host meets the new one.
        self.sftp.disconnect()
        return self.host_key

    # -- facts for clients and people ---------------------------------------

    @property
    def http_port(self):
        return self.http.server_address[1]

    @property
    def sftp_port(self):
        return self.sftp.port

    @property
    def base_url(self):
        return self.operations.links_base

    def banner(self):
        lines = [
            "Quillmere dev service",
            f"path discovery: POST {self.base_url}/qm_get_path.php (version=1.0)",
            f"operations:     POST {self.base_url}{self.api_path}/qm_operations.php",
            f"thumbnails:     POST {self.base_url}{self.api_path}/qm_thumbnail.php",
            f"transfer host:  {self.operations.sftp_host}",
        ]
        if self.test_mode:
            lines.append(f"control:        {self.base_url}/_control/ (test mode)")
        return "\n".join(lines) + "\n"

    def user_name_for_token(self, raw):
        try:
            return self.store.session_user(bytes_to_text(raw or b""))["name"]
        except Exception:  # noqa: BLE001 - only used to label logs and match faults
            return None

    def log(self, line):
        now = time.time()
        stamp = time.strftime("%H:%M:%S", time.localtime(now)) + f".{int(now * 1000) % 1000:03d}"
        with self._log_lock:
            try:
                self.log_stream.write(f"{stamp} {line}\n")
                self.log_stream.flush()
            except (OSError, ValueError):
                pass
