"""The control endpoint (test mode only): /_control/<name>.

Parameters come from the query string and/or a form body, decoded like the
service's own bodies ("+" stays a plus, %XX decoded), or from a JSON object
body.  Answers are JSON, except last_body which answers the raw bytes.
See README.md for the list.
"""

import json

from .control import Rule
from .demo import DEMO_USER, ensure_demo
from .wire import ServiceError

MALFORMED = b"<Response><Result>OK</Result>"  # the root is never closed


class ControlError(Exception):
    pass


def _text(params, name, default=None, required=False):
    raw = params.get(name)
    if raw is None and required:
        raise ControlError(f"missing parameter '{name}'")
    if raw is None or (raw == b"" and not required):
        return default
    try:
        return raw.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        raise ControlError(f"'{name}' is not UTF-8 text") from None


def _int(params, name, default=None, required=False, minimum=0):
    text = _text(params, name, None, required)
    if text is None:
        return default
    try:
        value = int(text)
    except ValueError:
        raise ControlError(f"'{name}' must be an integer") from None
    if value < minimum:
        raise ControlError(f"'{name}' must be at least {minimum}")
    return value


def _flag(params, name):
    return _text(params, name, "0").lower() in ("1", "true", "yes")


def _rule_args(params):
    return {"action": _text(params, "action", "*"), "user": _text(params, "user"),
            "count": _int(params, "count", 1)}


def _picture():
    """A small PNG every populated file holds, for thumbnail benchmarks."""
    import io
    from PIL import Image
    out = io.BytesIO()
    Image.new("RGB", (64, 48), (40, 90, 200)).save(out, "PNG")
    return out.getvalue()


def _reply(payload, status=200):
    return status, json.dumps(payload).encode(), "application/json"


def handle(svc, name, params):
    try:
        return _handle(svc, name.rstrip("/"), params)
    except ControlError as err:
        return _reply({"ok": False, "error": str(err)}, 400)
    except ServiceError as err:
        return _reply({"ok": False, "error": err.description}, 400)


def _handle(svc, name, params):
    control = svc.control
    if name == "reset":
        control.reset()
        return _reply({"ok": True})
    if name == "state":
        return _reply({"ok": True, "rules": control.pending()})

    if name == "fault/error":
        rule = Rule("error", **_rule_args(params),
                    name=_text(params, "name", required=True),
                    description=_text(params, "description", required=True),
                    status=_int(params, "status", 200, minimum=100),
                    perform=_flag(params, "perform"))
    elif name in ("fault/body", "fault/malformed"):
        raw = params.get("body")
        if raw is None:
            if name == "fault/body":
                raise ControlError("missing parameter 'body'")
            raw = MALFORMED
        rule = Rule("body", **_rule_args(params), body=raw,
                    content_type=_text(params, "content_type"),
                    set_cookie=_text(params, "set_cookie"),
                    status=_int(params, "status", 200, minimum=100),
                    perform=_flag(params, "perform"))
    elif name == "fault/delay":
        try:
            seconds = float(_text(params, "seconds", required=True))
        except ValueError:
            raise ControlError("'seconds' must be a number") from None
        if not 0 <= seconds <= 600:
            raise ControlError("'seconds' must be between 0 and 600")
        rule = Rule("delay", **_rule_args(params), seconds=seconds)
    elif name == "fault/sftp_drop":
        direction = _text(params, "direction", "any")
        if direction not in ("read", "write", "any"):
            raise ControlError("'direction' must be read, write or any")
        rule = Rule("sftp_drop", action="*", user=_text(params, "user"),
                    count=_int(params, "count", 1), after=_int(params, "after", required=True),
                    direction=direction, file_id=_int(params, "file_id"))
    elif name == "throttle":
        direction = _text(params, "direction", "any")
        if direction not in ("read", "write", "any"):
            raise ControlError("'direction' must be read, write or any")
        user = _text(params, "user", required=True)
        for one in ("read", "write") if direction == "any" else (direction,):
            control.set_throttle(user, one, _int(params, "rate"), _int(params, "after", 0))
        return _reply({"ok": True})
    elif name == "add_user":
        # Test programs that cannot run the command line (they run under Wine) make their
        # accounts here, each with a fresh name, so parallel tests never share a tree.
        uid = svc.store.add_user(_text(params, "name", required=True),
                                 _text(params, "password", required=True),
                                 capacity=_int(params, "capacity", 0),
                                 level=_text(params, "level", "Standard"))
        return _reply({"ok": True, "id": uid})
    elif name == "demo":
        # The demo account of --demo, for tests that show a login to it (made once, given the
        # password asked for, or a fresh one, on every call).
        password = ensure_demo(svc.store, _text(params, "password"))
        return _reply({"ok": True, "user": DEMO_USER, "password": password})
    elif name == "populate":
        # Big folders for the listing benchmarks, made in one go instead of request by request.
        user_id = svc.store.user(_text(params, "user", required=True))["id"]
        folders, files = svc.store.populate(user_id, _int(params, "dir", 0),
                                            _int(params, "count", required=True),
                                            prefix=_text(params, "prefix", "item"),
                                            folders_every=_int(params, "folders_every", 10),
                                            content=_picture() if _flag(params, "pictures") else None)
        return _reply({"ok": True, "folders": folders, "files": files})
    elif name == "raw_item":
        # An item under a name the operations refuse ("..", "a\\b", "CON", control characters):
        # the client must stay safe with whatever a service answers.
        user_id = svc.store.user(_text(params, "user", required=True))["id"]
        parent = _int(params, "dir", 0)
        item_name = _text(params, "name", required=True)
        if _text(params, "kind", "file") == "dir":
            item_id = svc.store.create_dir(user_id, parent, item_name, checked=False)
        else:
            data = (_text(params, "data", "") or "").encode("utf-8")
            item_id = svc.store.create_file(user_id, parent, item_name, len(data), checked=False)
            with open(svc.store.content_path(item_id), "wb") as f:
                f.write(data)
            svc.store.update_file_info(user_id, item_id)
        return _reply({"ok": True, "id": item_id})
    elif name == "touch":
        # A file's modification date moved to a given moment (seconds since 1970), so a test
        # need not wait for the clock to pass a cached copy's date.
        user_id = svc.store.user(_text(params, "user", required=True))["id"]
        svc.store.set_file_dates(user_id, _int(params, "file", required=True),
                                 _int(params, "modified", required=True))
        return _reply({"ok": True})
    elif name == "sessions":
        connections, logins = control.sessions()
        return _reply({"ok": True, "connections": connections, "logins": logins})
    elif name == "sftp_disconnect":
        when = _text(params, "when", "now")
        if when not in ("now", "next_request"):
            raise ControlError("'when' must be now or next_request")
        closed = svc.sftp.disconnect(_text(params, "user"), when == "next_request")
        return _reply({"ok": True, "connections": closed})
    elif name == "regenerate_host_key":
        key = svc.regenerate_host_key()
        return _reply({"ok": True, "type": key.get_name(), "key": key.get_base64()})
    elif name == "expire_sessions":
        removed = svc.store.expire_sessions(_text(params, "user", required=True))
        return _reply({"ok": True, "expired": removed})
    elif name == "requests":
        found = control.select_requests(_text(params, "endpoint"), _text(params, "action"),
                                        _text(params, "user"), _int(params, "since", 0))
        return _reply({"ok": True, "requests": found, "last_seq": control.seq})
    elif name == "counts":
        return _reply({"ok": True, "counts": control.snapshot_counts()})
    elif name == "transfers":
        found = control.select_transfers(_text(params, "user"), _int(params, "since", 0))
        return _reply({"ok": True, "transfers": found, "last_seq": control.seq})
    elif name == "last_body":
        body = control.last_body(_text(params, "endpoint", "operations"))
        if body is None:
            return 404, b"", "application/octet-stream"
        return 200, body, "application/octet-stream"
    else:
        return _reply({"ok": False, "error": f"unknown control '{name}'"}, 404)
    control.add(rule)
    return _reply({"ok": True, "rule": rule.describe()})
