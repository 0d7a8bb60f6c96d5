#!/usr/bin/env bash
# Runs bench_stream end to end: OpenSSH's sshd on a free loopback port with a throwaway account,
# and a dev service in test mode that names that host and account at login (bench_transfer_service
# in bench/common.sh). Everything is stopped and removed on exit. Needs root.
# Usage: bash bench/run-stream.sh [BUILD_DIR] [MIB] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
mib=${2:-256}
rounds=${3:-5}
bench_setup "$build" bench_stream

work=$(mktemp -d)
bench_transfer_service "$work"
bench_run bench_stream "http://127.0.0.1:$port" bench bench-pass "$mib" "$rounds" ||
    { echo "sshd's log:"; tail -n 20 "$sshd_log"; exit 1; }
