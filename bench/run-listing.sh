#!/usr/bin/env bash
# Runs bench_listing end to end: fills a dev service data folder once (kept in the build folder
# for later runs), starts the dev service on free ports, runs the benchmark under Wine, stops the
# service. Usage: bash bench/run-listing.sh [BUILD_DIR] [REPEATS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/x86_64}" && pwd)
repeats=${2:-3}
# The build's architecture, from the toolchain file it was configured with.
arch=i686
grep -q '^CMAKE_TOOLCHAIN_FILE:.*mingw64' "$build/CMakeCache.txt" && arch=x86_64
ninja -C "$build" bench_listing >/dev/null

data="$build/bench-listing-data"
if [ ! -f "$data/.filled" ]; then
    rm -rf "$data"
    echo "filling $data (once; takes a minute or two)"
    /usr/bin/python3 "$here/bench/populate-listing.py" "$data"
    touch "$data/.filled"
fi

log=$(mktemp)
setsid /usr/bin/python3 "$here/devservice/run.py" --data "$data" --host 127.0.0.1 --port 0 --sftp-port 0 \
    >"$log" 2>&1 </dev/null &
pid=$!
stop() { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -f "$log"; }
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
"$QM_WINE" "$build/bin/bench_listing.exe" "http://127.0.0.1:$port" bench bench-pass "$repeats"
