#!/usr/bin/env bash
# Runs bench_descriptor end to end: fills a dev service data folder once (kept in the build
# folder for later runs) with user "bench" whose root holds "tree": 100 folders of 100 files,
# starts the dev service in test mode (its request records give the listing count), runs the
# benchmark under Wine, stops the service. Usage: bash bench/run-descriptor.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
bench_setup "$build" bench_descriptor

data="$build/bench-descriptor-data"
if [ ! -f "$data/.filled" ]; then
    rm -rf "$data"
    mkdir -p "$data"
    /usr/bin/python3 - "$data" "$here/devservice" <<'PY'
import sys
sys.path.insert(0, sys.argv[2])
from qm_devservice.store import ROOT, Store
store = Store(sys.argv[1])
uid = store.add_user("bench", "bench-pass")
tree = store.create_dir(uid, ROOT, "tree")
for d in range(100):
    sub = store.create_dir(uid, tree, f"Dossier {d:03d}")
    for f in range(100):
        store.create_file(uid, sub, f"Fichier café {f:03d}.txt", f * 7)
store.close()
PY
    touch "$data/.filled"
fi

bench_service "$data" --test-mode
bench_run bench_descriptor "http://127.0.0.1:$port" "${2:-5}"
