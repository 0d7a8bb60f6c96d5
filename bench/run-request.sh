#!/usr/bin/env bash
# Runs bench_request end to end: a dev service in test mode on free ports with an empty data
# folder, the benchmark under Wine, then the service is stopped and the folder removed.
# Usage: bash bench/run-request.sh [BUILD_DIR] [REQUESTS_PER_ROUND] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
bench_setup "$build" bench_request

data=$(mktemp -d)
bench_cleanup() { rm -rf "$data"; }
bench_service "$data" --test-mode
bench_run bench_request "http://127.0.0.1:$port" "${2:-200}" "${3:-5}"
