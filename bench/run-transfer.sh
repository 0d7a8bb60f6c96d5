#!/usr/bin/env bash
# Runs bench_transfer end to end: starts a dev service in test mode on free ports with a fresh
# data folder, runs the benchmark under Wine, stops the service and removes the data.
# Usage: bash bench/run-transfer.sh [BUILD_DIR] [MIB] [REPEATS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/x86_64}" && pwd)
mib=${2:-256}
repeats=${3:-1}
arch=i686
grep -q '^CMAKE_TOOLCHAIN_FILE:.*mingw64' "$build/CMakeCache.txt" && arch=x86_64
ninja -C "$build" bench_transfer >/dev/null

data=$(mktemp -d)
log=$(mktemp)
setsid /usr/bin/python3 "$here/devservice/run.py" --data "$data" --host 127.0.0.1 --port 0 --sftp-port 0 \
    --test-mode >"$log" 2>&1 </dev/null &
pid=$!
stop() { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$log" "$data"; }
trap stop EXIT
port=""
for _ in $(seq 200); do
    port=$(sed -n 's/^READY http=\([0-9]*\).*/\1/p' "$log")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "the dev service did not start:"; cat "$log"; exit 1; }

. "$here/cmake/wine-env.sh"
qm_wine_env "$arch" "$build/wineprefix"
"$here/cmake/make-prefix.sh" "$arch" "$WINEPREFIX"
"$QM_WINE" "$build/bin/bench_transfer.exe" "http://127.0.0.1:$port" "$mib" "$repeats"
