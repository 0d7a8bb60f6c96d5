#!/usr/bin/env bash
# Runs bench_upload_many end to end: OpenSSH's sshd on a free loopback port with a throwaway
# account, and a dev service in test mode that names that host and account at login
# (bench_transfer_service in bench/common.sh). Everything is stopped and removed on exit. Needs root.
# Usage: bash bench/run-upload-many.sh [BUILD_DIR] [FILES] [ROUNDS] [FILES_PER_ROUND]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
files=${2:-1000}
rounds=${3:-3}
per_round=${4:-100}
bench_setup "$build" bench_upload_many

work=$(mktemp -d)
bench_transfer_service "$work"
bench_run bench_upload_many "http://127.0.0.1:$port" bench bench-pass "Z:$sshd_log" "$files" "$rounds" "$per_round" ||
    { echo "sshd's log:"; tail -n 20 "$sshd_log"; exit 1; }
