"""Fault switches and the record of what the service saw.

Tests arm rules through the control endpoint; the HTTP handler and the
transfer host consult them.  A rule applies to a number of matching events
(count, 0 meaning until reset) and is dropped once used up.
"""

import collections
import itertools
import threading
import time


class Rule:
    _ids = itertools.count(1)

    def __init__(self, kind, action="*", user=None, count=1, **payload):
        self.id = next(self._ids)
        self.kind = kind            # error, body, delay, sftp_drop
        self.action = action        # action name, "get_path", "thumbnail", "link" or "*"
        self.user = user            # user name or None for anybody
        self.remaining = count or None
        self.payload = payload

    def matches(self, action, user):
        return (self.action in ("*", action)) and (self.user is None or self.user == user)

    def describe(self):
        return {"id": self.id, "kind": self.kind, "action": self.action, "user": self.user,
                "remaining": self.remaining, **{k: _jsonable(v) for k, v in self.payload.items()}}


def _jsonable(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return value


def _text(raw):
    """Parameters as the record shows them; undecodable bytes as \\xNN."""
    if not isinstance(raw, bytes):
        return raw
    try:
        return raw.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        return raw.decode("utf-8", "backslashreplace")


class Control:
    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with self.lock:
            self.rules = []
            self.throttles = {}
            self.requests = collections.deque(maxlen=5000)
            self.transfers = collections.deque(maxlen=1000)
            self.last_bodies = {}
            self.counts = collections.defaultdict(collections.Counter)
            self.connections = 0
            self.logins = collections.Counter()
            self.seq = 0

    # -- rules -----------------------------------------------------------

    def add(self, rule):
        with self.lock:
            self.rules.append(rule)
        return rule

    def _consume(self, rule):
        if rule.remaining is not None:
            rule.remaining -= 1
            if rule.remaining <= 0:
                self.rules.remove(rule)

    def take(self, kinds, action, user):
        """Use up the first rule of one of these kinds that matches."""
        with self.lock:
            for rule in self.rules:
                if rule.kind in kinds and rule.matches(action, user):
                    self._consume(rule)
                    return rule
        return None

    def sftp_drop_rule(self, direction, user, file_id):
        """Peek: the drop rule a new transfer is subject to, without using it up."""
        with self.lock:
            for rule in self.rules:
                if rule.kind != "sftp_drop" or rule.user not in (None, user):
                    continue
                if rule.payload["direction"] not in ("any", direction):
                    continue
                if rule.payload.get("file_id") not in (None, file_id):
                    continue
                return rule
        return None

    def fire(self, rule):
        """A transfer reached its drop point; True when the rule still had a use left."""
        with self.lock:
            if rule not in self.rules:
                return False
            self._consume(rule)
            return True

    def set_throttle(self, user, direction, rate, after):
        """Slows the user's transfers in one direction to rate bytes a second
        (0 stalls them) once each has moved after bytes; rate None lifts it."""
        with self.lock:
            if rate is None:
                self.throttles.pop((user, direction), None)
            else:
                self.throttles[(user, direction)] = (rate, after)

    def throttle(self, user, direction):
        """(rate, after) for the user's transfers in this direction, or None."""
        with self.lock:
            return self.throttles.get((user, direction))

    def pending(self):
        with self.lock:
            return [r.describe() for r in self.rules]

    # -- observations ----------------------------------------------------

    def record_request(self, endpoint, action, user, params, body, result, cookie=None):
        with self.lock:
            self.seq += 1
            self.last_bodies[endpoint] = body
            self.counts[user or ""][action or ""] += 1
            self.requests.append({
                "seq": self.seq, "time": time.time(), "endpoint": endpoint,
                "action": action, "user": user,
                "params": {k: _text(v) for k, v in params.items()},
                "result": result, "cookie": cookie,
            })

    def record_transfer(self, entry):
        with self.lock:
            self.seq += 1
            self.transfers.append(dict(entry, seq=self.seq))

    def record_connection(self):
        with self.lock:
            self.connections += 1

    def record_session(self, user):
        with self.lock:
            self.logins[user] += 1

    def sessions(self):
        """SSH connections the transfer host accepted, and logins per user."""
        with self.lock:
            return self.connections, dict(self.logins)

    def select_requests(self, endpoint=None, action=None, user=None, since=0):
        with self.lock:
            return [r for r in self.requests
                    if r["seq"] > since
                    and endpoint in (None, r["endpoint"])
                    and action in (None, r["action"])
                    and user in (None, r["user"])]

    def select_transfers(self, user=None, since=0):
        with self.lock:
            return [t for t in self.transfers if t["seq"] > since and user in (None, t["user"])]

    def snapshot_counts(self):
        with self.lock:
            return {user: dict(c) for user, c in self.counts.items()}

    def last_body(self, endpoint):
        with self.lock:
            return self.last_bodies.get(endpoint)
