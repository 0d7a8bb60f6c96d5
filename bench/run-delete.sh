#!/usr/bin/env bash
# Runs bench_delete end to end: a dev service in test mode on free ports with a fresh data folder,
# the benchmark under Wine, then the service stopped and its data removed.
# Usage: bash bench/run-delete.sh [BUILD_DIR] [COUNTS...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
shift || true
bench_setup "$build" bench_delete

data=$(mktemp -d)
bench_cleanup() { rm -rf "$data"; }
trap bench_cleanup EXIT
bench_service "$data" --test-mode
bench_run bench_delete "http://127.0.0.1:$port" bench bench-pass "$@"
