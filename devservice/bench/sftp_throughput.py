#!/usr/bin/python3
"""Transfer host throughput, measured with curl (libcurl over libssh2, the
same stack the drive uses) against a dev service on loopback.

Prints MB/s for SFTP download, upload and resumed upload, next to a
baseline from the same run: the same bytes fetched by the same curl over
the dev service's own HTTP public link (no encryption, no SFTP requests).

    /usr/bin/python3 bench/sftp_throughput.py [--mib 256]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from qm_devservice import DevService  # noqa: E402


def timed(label, size, func, baseline=None):
    """Run func, print its rate (and its share of the baseline rate); return the rate."""
    start = time.monotonic()
    func()
    seconds = time.monotonic() - start
    rate = size / seconds / 1e6
    share = f"  {rate / baseline:5.2f} x HTTP" if baseline else ""
    print(f"{label:<34} {rate:8.1f} MB/s  ({seconds:.2f} s){share}", flush=True)
    return rate


def curl(*args):
    subprocess.run(["curl", "-sS", "-k", *args], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=256, help="file size in MiB")
    args = parser.parse_args()
    size = args.mib * 1024 * 1024

    with tempfile.TemporaryDirectory() as tmp:
        log = open(os.path.join(tmp, "service.log"), "w")
        service = DevService(os.path.join(tmp, "data"), http_port=0, sftp_port=0,
                             log_stream=log)
        store = service.store
        uid = store.add_user("bench", "bench")
        store.set_dir_access(uid, store.create_dir(uid, 0, "public"), 1, 0)
        public = store.list_dir(uid, 0)[0][-1]["id"]
        service.start()
        try:
            user = store.user("bench")
            creds = f"{user['sftp_user']}:{user['sftp_pass']}"
            host = service.operations.sftp_host
            source = os.path.join(tmp, "source.bin")
            with open(source, "wb") as f:
                for _ in range(args.mib):
                    f.write(os.urandom(1024 * 1024))
            down = store.create_file(uid, public, "down.bin", size)
            up = store.create_file(uid, 0, "up.bin", size)
            with open(source, "rb") as src, open(store.content_path(down), "wb") as dst:
                dst.write(src.read())
            link = store.db.execute("SELECT link_token FROM files WHERE id=?",
                                    (down,)).fetchone()[0]

            print(f"{args.mib} MiB over loopback, curl {curl_version()}")
            http = timed("baseline: HTTP link download", size,
                  lambda: curl("-o", os.devnull, f"{service.base_url}/link/{link}"))
            timed("SFTP download", size,
                  lambda: curl("-u", creds, "-o", os.devnull, f"{host}/f/{down}"), http)
            timed("SFTP upload", size,
                  lambda: curl("-u", creds, "-T", source, f"{host}/f/{up}"), http)
            half = size // 2
            os.truncate(store.content_path(up), half)
            timed("SFTP resumed upload (second half)", size - half,
                  lambda: curl("-u", creds, "-C", str(half), "-T", source, f"{host}/f/{up}"),
                  http)
            with open(store.content_path(up), "rb") as f:
                same = f.read() == open(source, "rb").read()
            print(f"uploaded content identical: {same}")
        finally:
            service.stop()
            log.close()


def curl_version():
    words = subprocess.run(["curl", "-V"], capture_output=True, text=True).stdout.split()
    return " ".join(w for w in words if w.startswith(("libcurl/", "libssh2/")))


if __name__ == "__main__":
    main()
