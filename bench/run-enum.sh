#!/usr/bin/env bash
# Runs bench_enum end to end: starts a dev service in test mode on free ports (its data folder
# is kept in the build folder, so the big folders are filled only once), runs the benchmark
# under Wine, stops the service. Usage: bash bench/run-enum.sh [BUILD_DIR] [REPEATS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
repeats=${2:-3}
bench_setup "$build" bench_enum

data="$build/bench-enum-data"
mkdir -p "$data"
bench_service "$data" --test-mode
bench_run bench_enum "http://127.0.0.1:$port" "$repeats"
