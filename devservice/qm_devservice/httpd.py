"""The HTTP side: path discovery, operations, thumbnails, public links and,
in test mode, the control endpoint."""

import json
import mimetypes
import os
import shutil
import socket
import threading
import time
import traceback
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import control_api
from .store import parse_id
from .thumbs import make_thumbnail
from .wire import ServiceError, bytes_to_text, decode_body, document, error_document, log_safe

MAX_BODY = 4 * 1024 * 1024
API_VERSION = "1.0"


class BadRequest(Exception):
    pass


class ServiceHTTPServer(ThreadingHTTPServer):
    # Handler threads are joined on close; open keep-alive connections are
    # shut down first so that nobody waits for an idle client.
    daemon_threads = False
    block_on_close = True
    allow_reuse_address = True

    def __init__(self, address, service):
        self.service = service
        self._conns = set()
        self._conns_lock = threading.Lock()
        super().__init__(address, Handler)

    def process_request(self, request, client_address):
        with self._conns_lock:
            self._conns.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        with self._conns_lock:
            self._conns.discard(request)
        super().shutdown_request(request)

    def drop_connections(self):
        with self._conns_lock:
            conns = list(self._conns)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QuillmereDev/1.0"
    sys_version = ""
    timeout = 60
    # An answer leaves in one piece and at once. Written unbuffered, the headers and the body go
    # out as two small segments, and Nagle holds the second until the client acknowledges the
    # first, which a client on a kept-alive connection delays by up to 40 ms: every request of a
    # reused connection then cost that much. Web servers set TCP_NODELAY for the same reason.
    wbufsize = 64 * 1024
    disable_nagle_algorithm = True

    def log_message(self, fmt, *args):
        pass  # one line per request is written by _log instead

    def do_POST(self):
        self._dispatch()

    def do_GET(self):
        self._dispatch()

    def do_HEAD(self):
        self._dispatch()

    # -- plumbing --------------------------------------------------------

    @property
    def svc(self):
        return self.server.service

    def _read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = bytearray()
            while True:
                line = self.rfile.readline(1024)
                try:
                    size = int(line.split(b";")[0].strip(), 16)
                except ValueError:
                    raise BadRequest("bad chunk size") from None
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(body)
                if len(body) + size > MAX_BODY:
                    raise BadRequest("body too large")
                body += self.rfile.read(size)
                self.rfile.readline(1024)
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        try:
            length = int(length)
        except ValueError:
            raise BadRequest("bad Content-Length") from None
        if length < 0 or length > MAX_BODY:
            raise BadRequest("body too large")
        body = self.rfile.read(length)
        if len(body) != length:
            raise BadRequest("body cut short")
        return body

    def _send(self, status, body, content_type="text/xml; charset=utf-8", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        if self.request_version == "HTTP/1.0" and not self.close_connection:
            self.send_header("Connection", "keep-alive")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.wfile.flush()

    def _log(self, endpoint, action, user, result, started, extra=""):
        ms = (time.monotonic() - started) * 1000
        self.svc.log(f"http {self.command} {endpoint} action={log_safe(action or '-')}"
                     f" user={log_safe(user or '-')} result={log_safe(result)}"
                     f"{extra} {ms:.1f}ms")

    def _dispatch(self):
        started = time.monotonic()
        path = urllib.parse.urlsplit(self.path).path
        api = self.svc.api_path
        try:
            body = self._read_body()
        except BadRequest as err:
            self.close_connection = True
            self._send(400, error_document("Bad request", f"The request could not be read: {err}."))
            self._log(path, None, None, "bad-request", started)
            return
        try:
            if path == "/qm_get_path.php":
                self._service_endpoint("get_path", body, started)
            elif path == api + "/qm_operations.php":
                self._service_endpoint("operations", body, started)
            elif path == api + "/qm_thumbnail.php":
                self._service_endpoint("thumbnail", body, started)
            elif path.startswith("/link/"):
                self._link(path, body, started)
            elif path.startswith("/_control/") and self.svc.test_mode:
                self._control(path[len("/_control/"):], body, started)
            elif path == "/" and self.command in ("GET", "HEAD"):
                self._send(200, self.svc.banner().encode(), "text/plain; charset=utf-8")
            else:
                self._send(404, error_document("Not found", f"There is nothing at '{path}'."))
                self._log(path, None, None, "404", started)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        except Exception:  # noqa: BLE001 - a failing request must not take the service down
            self.svc.log("http internal error:\n" + traceback.format_exc().rstrip())
            self.close_connection = True
            try:
                self._send(500, error_document(
                    "Internal error", "The service failed to carry out the request."))
            except OSError:
                pass

    # -- the three service endpoints --------------------------------------

    def _service_endpoint(self, endpoint, body, started):
        svc = self.svc
        if self.command != "POST":
            self._send(405, error_document("Method not allowed",
                                           "The service only accepts POST requests here."),
                       headers=[("Allow", "POST")])
            self._log(endpoint, None, None, "405", started)
            return
        params = decode_body(body)
        if endpoint == "operations":
            action = _lenient(params.get("action"))
            user = svc.operations.user_name_of(params)
        else:
            action = endpoint
            user = svc.user_name_for_token(params.get("user_id")) if endpoint == "thumbnail" else None

        override = delay = None
        if svc.test_mode:
            override = svc.control.take(("error", "body"), action, user)
            delay = svc.control.take(("delay",), action, user)

        status, content_type, headers = 200, "text/xml; charset=utf-8", []
        if override is not None and not override.payload.get("perform"):
            reply, result = None, None
        elif endpoint == "get_path":
            reply, result = self._get_path(params)
        elif endpoint == "operations":
            reply, result = svc.operations.run(params)
            result = "ok" if result is None else "error:" + result
        else:
            reply, result, status = self._thumbnail(params)
            content_type = "image/png" if reply else "application/octet-stream"

        if override is not None:
            if override.kind == "error":
                reply = error_document(override.payload["name"], override.payload["description"])
            else:
                reply = override.payload["body"]
                content_type = override.payload.get("content_type") or content_type
                if override.payload.get("set_cookie"):
                    headers.append(("Set-Cookie", override.payload["set_cookie"]))
            status = override.payload.get("status", 200)
            result = f"fault:{override.kind}" + (f"({result})" if result else "")
        if delay is not None:
            svc.stop_event.wait(delay.payload["seconds"])
            result += f" delayed={delay.payload['seconds']}s"

        svc.control.record_request(endpoint, action, user, params, body, result,
                                   self.headers.get("Cookie"))
        self._send(status, reply, content_type, headers)
        self._log(endpoint, action, user, result, started)

    def _get_path(self, params):
        version = _lenient(params.get("version"))
        if version is None:
            return error_document("Missing parameter",
                                  "The request has no 'version' parameter."), "error:missing"
        if version != API_VERSION:
            return error_document("Unsupported version",
                                  f"Protocol version '{version}' is not supported; use"
                                  f" {API_VERSION}."), "error:version"
        return document([("Path", self.svc.api_path)]), "ok"

    def _thumbnail(self, params):
        """-> (body, result, status).  Raw bytes have no error convention: every
        failure is an empty body."""
        svc = self.svc
        try:
            user = svc.store.session_user(bytes_to_text(params.get("user_id") or b""))
            file_id = parse_id(bytes_to_text(params.get("file_id") or b""), "file")
            svc.store.file(user["id"], file_id)
        except (ServiceError, UnicodeError):
            return b"", "not-found", 404
        data = make_thumbnail(svc.store.content_path(file_id))
        return data, ("png" if data else "no-picture"), 200

    # -- public links ----------------------------------------------------

    def _link(self, path, body, started):
        svc = self.svc
        if self.command not in ("GET", "HEAD"):
            self._send(405, b"Use GET.\n", "text/plain", headers=[("Allow", "GET")])
            return
        token = path[len("/link/"):].split("/", 1)[0]
        target = svc.store.link_target(token)
        if target is None:
            status, result = 404, "not-found"
        elif target[2] not in (1, 2):
            status, result = 403, "private"
        else:
            status, result = 200, "ok"
        svc.control.record_request("link", "link", None, {"token": token.encode()}, body, result)
        if status != 200:
            message = b"No such file.\n" if status == 404 else b"This file is not shared.\n"
            self._send(status, message, "text/plain; charset=utf-8")
            self._log("link", "link", None, result, started)
            return
        content, name, _ = target
        try:
            f = open(content, "rb")
        except FileNotFoundError:
            self._send(404, b"No such file.\n", "text/plain; charset=utf-8")
            return
        with f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type",
                             mimetypes.guess_type(name)[0] or "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.send_header("Content-Disposition", "attachment; filename*=UTF-8''"
                             + urllib.parse.quote(name.encode("utf-8", "surrogatepass")))
            if self.request_version == "HTTP/1.0" and not self.close_connection:
                self.send_header("Connection", "keep-alive")
            self.end_headers()
            if self.command == "GET":
                shutil.copyfileobj(f, self.wfile, 1024 * 1024)
            self.wfile.flush()
        self._log("link", "link", None, result, started, f" bytes={size}")

    # -- control -----------------------------------------------------------

    def _control(self, name, body, started):
        query = urllib.parse.urlsplit(self.path).query.encode("latin-1", "replace")
        params = decode_body(query)
        if not self.headers.get("Content-Type", "").startswith("application/json"):
            params.update(decode_body(body))
        elif body:
            try:
                params.update({k: (v if isinstance(v, str) else json.dumps(v)).encode()
                               for k, v in json.loads(body).items()})
            except (ValueError, AttributeError):
                self._send(400, b'{"ok": false, "error": "bad JSON"}', "application/json")
                return
        status, reply, content_type = control_api.handle(self.svc, name, params)
        self._send(status, reply, content_type)
        self._log("control", name, None, str(status), started)


def _lenient(raw):
    if raw is None:
        return None
    return raw.decode("utf-8", "replace")
