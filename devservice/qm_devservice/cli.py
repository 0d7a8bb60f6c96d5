"""Command line: serve (the default), add-user, set-quota."""

import argparse
import os
import signal
import sys
import threading

from .demo import DEMO_USER, ensure_demo
from .service import DevService
from .store import Store
from .wire import ServiceError

DEFAULT_DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data")


def _size(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("must be a whole number of bytes") from None
    if value < 0:
        raise argparse.ArgumentTypeError("cannot be negative")
    return value


def build_parser():
    data = argparse.ArgumentParser(add_help=False)
    data.add_argument("--data", default=argparse.SUPPRESS, metavar="DIR",
                      help=f"data folder (default: {DEFAULT_DATA})")

    parser = argparse.ArgumentParser(
        prog="run.py", parents=[data],
        description="Quillmere dev service: the storage service's endpoints and its SFTP "
                    "transfer host on one machine.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=8460, help="HTTP port (0: any free port)")
    parser.add_argument("--sftp-port", type=int, default=8461,
                        help="SFTP port (0: any free port)")
    parser.add_argument("--demo", action="store_true",
                        help='create the demo account "demo" if missing and print its password')
    parser.add_argument("--demo-password", metavar="PASS",
                        help="use this demo password instead of a random one")
    parser.add_argument("--test-mode", action="store_true",
                        help="enable the /_control/ endpoint with fault switches")
    parser.add_argument("--session-ttl", type=int, default=24 * 3600, metavar="SECONDS",
                        help="idle time after which a UserID expires (0: never)")
    parser.add_argument("--transfer-host", nargs=3, metavar=("URL", "USER", "PASS"),
                        help="name this SFTP host and login to every account instead of the "
                             "service's own (benchmarks against another SSH server)")
    parser.add_argument("--exit-on-stdin-eof", action="store_true",
                        help="stop when standard input closes (for fixtures that may die)")

    sub = parser.add_subparsers(dest="command")
    add = sub.add_parser("add-user", parents=[data], help="create an account")
    add.add_argument("name")
    add.add_argument("password")
    add.add_argument("--capacity", type=_size, default=0,
                     help="quota in bytes (0: unlimited, the default)")
    add.add_argument("--level", default="Standard", help="user level text")
    quota = sub.add_parser("set-quota", parents=[data], help="change an account's quota")
    quota.add_argument("name")
    quota.add_argument("bytes", type=_size, help="quota in bytes (0: unlimited)")
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    data_dir = getattr(args, "data", DEFAULT_DATA)
    if args.command in ("add-user", "set-quota"):
        os.makedirs(data_dir, exist_ok=True)
        store = Store(data_dir)
        try:
            if args.command == "add-user":
                store.add_user(args.name, args.password, args.capacity, args.level)
                print(f"added user {args.name}")
            else:
                store.set_quota(args.name, args.bytes)
                print(f"quota of {args.name}: {args.bytes or 'unlimited'}")
        except ServiceError as err:
            print(f"error: {err.description}", file=sys.stderr)
            return 1
        finally:
            store.close()
        return 0
    return serve(args, data_dir)


def serve(args, data_dir):
    service = DevService(data_dir, host=args.host, http_port=args.port,
                         sftp_port=args.sftp_port, test_mode=args.test_mode,
                         session_ttl=args.session_ttl, transfer_host=args.transfer_host)
    if args.demo:
        password = ensure_demo(service.store, args.demo_password)
        print(f"DEMO user={DEMO_USER} password={password}", flush=True)
    try:
        service.start()
    except OSError as err:
        print(f"error: cannot listen on {args.host}: {err}", file=sys.stderr)
        return 2

    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    if args.exit_on_stdin_eof:
        threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()

    sys.stderr.write(service.banner())
    print(f"READY http={service.http_port} sftp={service.sftp_port}", flush=True)
    while not stop.wait(1.0):
        pass
    service.log("stopping")
    service.stop()
    return 0
