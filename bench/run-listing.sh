#!/usr/bin/env bash
# Runs bench_listing end to end: fills a dev service data folder once (kept in the build folder
# for later runs), starts the dev service on free ports, runs the benchmark under Wine, stops the
# service. Usage: bash bench/run-listing.sh [BUILD_DIR] [REPEATS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
repeats=${2:-3}
bench_setup "$build" bench_listing

data="$build/bench-listing-data"
if [ ! -f "$data/.filled" ]; then
    rm -rf "$data"
    echo "filling $data (once; takes a minute or two)"
    /usr/bin/python3 "$here/bench/populate-listing.py" "$data"
    touch "$data/.filled"
fi

bench_service "$data"
bench_run bench_listing "http://127.0.0.1:$port" bench bench-pass "$repeats"
