#!/usr/bin/env bash
# Runs bench_transfer end to end: starts a dev service in test mode on free ports with a fresh
# data folder, runs the benchmark under Wine, stops the service and removes the data.
# Usage: bash bench/run-transfer.sh [BUILD_DIR] [MIB] [REPEATS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
mib=${2:-256}
repeats=${3:-1}
bench_setup "$build" bench_transfer

data=$(mktemp -d)
bench_cleanup() { rm -rf "$data"; }
bench_service "$data" --test-mode
bench_run bench_transfer "http://127.0.0.1:$port" "$mib" "$repeats"
