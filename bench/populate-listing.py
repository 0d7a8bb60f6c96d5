#!/usr/bin/python3
"""Fills a dev service data folder for bench_listing: user "bench" (password "bench-pass")
whose root holds folder "10000" and folder "100000" with that many children each, one in ten a
folder, the rest files, names and descriptions with accents so that decoding has work to do.

    /usr/bin/python3 bench/populate-listing.py DATA_DIR

Uses the dev service's own store, so the rows are exactly what the service writes. An index on
the names is added first: without it every insert checks the name against the whole folder.
"""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "devservice"))

from qm_devservice.store import ROOT, Store  # noqa: E402

USER, PASSWORD = "bench", "bench-pass"


def fill(store, uid, parent, count):
    for i in range(count):
        if i % 10 == 0:
            store.create_dir(uid, parent, f"Dossier n° {i:06d} – été",
                             description=f"Sous-dossier {i} <bench> & co")
        else:
            store.create_file(uid, parent, f"Fichier café {i:06d}.txt", i * 7)


def main():
    data = sys.argv[1]
    os.makedirs(data, exist_ok=True)
    store = Store(data)
    store.db.execute("CREATE INDEX IF NOT EXISTS bench_dirs_key ON dirs(owner, parent, name_key)")
    store.db.execute("CREATE INDEX IF NOT EXISTS bench_files_key ON files(owner, dir, name_key)")
    started = time.monotonic()
    uid = store.add_user(USER, PASSWORD)
    for count in (10000, 100000):
        folder = store.create_dir(uid, ROOT, str(count))
        fill(store, uid, folder, count)
        print(f"folder {count}: filled after {time.monotonic() - started:.0f} s", flush=True)
    store.close()


if __name__ == "__main__":
    main()
