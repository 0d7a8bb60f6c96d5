#!/usr/bin/env bash
# Runs bench_thumbnails end to end: starts a dev service in test mode on free ports (its data folder
# is kept in the build folder, so the folders are filled only once), runs the benchmark
# under Wine, stops the service and the display it started. Usage: bash bench/run-thumbnails.sh [BUILD_DIR] [REPEATS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
repeats=${2:-3}
bench_setup "$build" bench_thumbnails

data="$build/bench-thumbnails-data"
mkdir -p "$data"
# The size worker's dialog needs a display: an Xvfb of the script's own when none is set.
bench_cleanup() { bench_display_stop; }
bench_display
bench_service "$data" --test-mode
bench_run bench_thumbnails "http://127.0.0.1:$port" "$repeats"
